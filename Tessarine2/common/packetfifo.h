#ifndef TESSARINE2_COMMON_PACKETFIFO_H
#define TESSARINE2_COMMON_PACKETFIFO_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aPacket.h"

// Thread-safe queues of packet copies, named by handle. 0 is no handle.
// Packets put in are copied; packets taken out are new copies the caller
// frees with aPacket_Destroy. No exception leaves these functions.
typedef uint64_t aPacketFifoHandle;

// Accepts a packet; called with the FIFO's mutex held, so it must not call
// back into the same FIFO. A NULL filter accepts nothing and the call
// returns at once (NULL packet, 0 drained).
typedef bool (*aPacketFilter)(const aPacket* packet, const void* reference);

// A queue holding more than this many packets is emptied, the newest packet
// included.
constexpr size_t aPACKETFIFO_OVERFLOW = 1000;

aPacketFifoHandle aPacketFifo_Create();
aErr aPacketFifo_Destroy(aPacketFifoHandle* handle);
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);
size_t aPacketFifo_GetLength(aPacketFifoHandle handle);
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);
// Timeouts are in milliseconds on the monotonic clock; 0 does not wait, and
// one too long for the clock waits until a put or a destroy.
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint64_t timeoutMS);
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter, const void* reference);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter, const void* reference,
                                uint64_t timeoutMS);
size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter, const void* reference);

#endif
