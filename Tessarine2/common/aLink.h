#ifndef TESSARINE2_COMMON_ALINK_H
#define TESSARINE2_COMMON_ALINK_H

#include <cstdint>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/common/aStream.h"
#include "Tessarine2/common/packetfifo.h"

// A link: one open connection to a module (or to a router module and the
// modules behind it) over a byte stream, named by its linkID and reached
// through the process-wide link table. A reader thread frames the stream's
// bytes into packets, answers heartbeats and queues the rest in the
// in-FIFO; a writer thread writes what callers queue on the out-FIFO.

// Handed out from 1 upward and never reused; 0 is none.
typedef int32_t linkID;

typedef int32_t linkState;
enum : linkState {
  kLinkStateStopped = 0,      // initialised with a stream, or stopped
  kLinkStateStarting = 1,     // threads being started
  kLinkStateRunning = 2,      // packets flow
  kLinkStateStopping = 3,     // a stop is under way
  kLinkStateSyncing = 4,      // received bytes feed the synchronisation
  kLinkStateNoStream = 5,     // no stream; also the answer for an unknown id
  kLinkStateIOError = 6,      // the last stream read failed
  kLinkStatePacketError = 8,  // a complete packet could not be queued
};

// Runs on the reader thread for every complete incoming packet, before
// heartbeats are answered. The packet is the reader's own: copy what you
// keep. True consumes the packet.
typedef bool (*aUserPacketFilter)(const aPacket* packet, void* reference);

// Creation. Each returns a linkID holding one use for the caller, or 0 on
// any failure (nothing stays behind). A create for an identifier that has a
// link already shares it (one more use), whatever its transport and port.

// A running, synchronised link to the module with this serial number on
// USB. 0 when that module is served by a module-sharing server.
linkID aLink_CreateUSB(uint32_t serialNumber);
// A running link over a TCP socket; address in network order.
linkID aLink_CreateTCPIP(uint32_t address, uint16_t port);
// A running link over a serial port; the serial number is the link's
// identifier. Rates: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400.
linkID aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A link over a stream made by the caller; the link takes the stream over
// (it is destroyed with the link, or at once when the create fails). Never
// shared.
linkID aLink_Create(aStream* stream);
// The link a discovered record names: USB, TCPIP or serial. 0 for any other
// type.
linkID aLink_Create(const linkSpec* spec);

// A module-sharing server on the USB link of the module with this serial
// number, and a client link to it, which is returned: the caller talks to
// its module through the server like every other client. *networkInterface
// (network order) is the interface wanted (0 or 127.0.0.1: the machine's
// first one unless localOnly); on success it receives the interface served
// on and *port the server's TCP port. The server lives until the returned
// link's last release. 0 when the module already has a server, or on any
// failure.
linkID aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, bool localOnly);
// A new client link to the module-sharing server at address (network
// order) and port; with an existing link (not 0), one more use of that link
// instead (0 when it is not in the table).
linkID aLink_CreateClient(uint32_t address, uint16_t port, linkID existing);

// Releases one use; the last one tears the link down. Always clears the
// caller's id. aErrParam for an id not in the table.
aErr aLink_Destroy(linkID* link);

// Stops the link, makes a new stream for its transport (up to 20 tries,
// 100 ms apart) and starts it again. The id, its uses, the user packet
// filter and the packet log stay. When no stream can be made the link is
// left stopped without a stream and the stream's error is the result.
// aErrParam for an id not in the table.
aErr aLink_Reset(linkID link);

// kLinkStateNoStream for an id not in the table.
linkState aLink_GetStatus(linkID link);

// Queues a copy on the out-FIFO; the caller keeps its packet. A link in
// kLinkStateIOError or kLinkStatePacketError queues nothing and answers
// the code of the read or put that failed.
aErr aLink_PutPacket(linkID link, const aPacket* packet);

// Every packet returned is new; the caller frees it with aPacket_Destroy.
aPacket* aLink_GetPacket(linkID link);
aPacket* aLink_AwaitPacket(linkID link, uint64_t timeoutMS);
aPacket* aLink_GetFirst(linkID link, aPacketFilter filter, const void* reference);
// The first in-FIFO packet the filter accepts, waiting up to timeoutMS.
// NULL at the time limit, at once when the link is not running (even with a
// matching packet queued), or for an id not in the table.
aPacket* aLink_AwaitFirst(linkID link, aPacketFilter filter, const void* reference, uint64_t timeoutMS);
// Removes and frees every in-FIFO packet the filter accepts; how many.
uint32_t aLink_DrainPackets(linkID link, aPacketFilter filter, const void* reference);

// NULL removes the filter; once this returns, a removed filter is not
// running and will not run again.
aErr aLink_InstallUserPacketFilter(linkID link, aUserPacketFilter filter, void* reference);
// Removes the filter only while it is this very filter with this reference,
// so that one user of a shared link never takes another user's filter off.
// Returns like the install; once it returns, the filter is not running.
aErr aLink_RemoveUserPacketFilter(linkID link, aUserPacketFilter filter, void* reference);

// Packet debugging: a ring of the packets the link writes and receives.
// All answer aErrParam for an id not in the table.

// Largest ring a link takes, and the one it takes by default.
constexpr int32_t aLINK_MAX_LOG_SIZE = 0x4000000;
constexpr int32_t aLINK_DEFAULT_LOG_SIZE = 0x10000;

// Capacity of the log to be made: negative sets the default; aErrParam
// above aLINK_MAX_LOG_SIZE; aErrBusy once the link has a log.
aErr aLink_PacketDebug_SetLogSize(linkID link, int32_t size);
// Makes the log when there is none and starts recording. aErrResource when
// the log or its mutex cannot be made.
aErr aLink_PacketDebug_Enable(linkID link);
// Stops recording; the log stays. aErrNotReady when there is no log.
aErr aLink_PacketDebug_Disable(linkID link);
// aPacketLog_Get on the link's log; aErrNotReady when there is no log.
aErr aLink_PacketDebug_Read(linkID link, int32_t* kind, uint32_t* length, uint8_t* buffer);
// aPacketLog_Put on the link's log; aErrNotReady when there is no log.
aErr aLink_PacketDebug_Write(linkID link, int kind, uint32_t length, const uint8_t* bytes);

#endif
