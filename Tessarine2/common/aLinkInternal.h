#ifndef TESSARINE2_COMMON_ALINKINTERNAL_H
#define TESSARINE2_COMMON_ALINKINTERNAL_H

// The link record and the engine operations that only the link unit and
// the link table call (creation, reset, teardown, and the module-sharing
// server's own links).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aMutex.h"
#include "Tessarine2/common/aPacketLog.h"
#include "Tessarine2/common/aThread.h"

constexpr uint16_t aLINK_CHECK = 0xCEED;

// Heartbeat state.
enum : int32_t {
  kHBStateIdle = 0,
  kHBStateUpReply = 2,    // sending the reply to an up heartbeat
  kHBStateDownReply = 3,  // sending the reply to a down heartbeat
};

enum : uint8_t {
  kOutDrainNone = 0,
  kOutDrainLeave = 1,
  kOutDrainQueued = 2,
};

// Synchronisation state: where the reader is in the answer A, 0, A, 0.
enum : int32_t {
  kSyncStateNone = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

// One link. Made zeroed with its table entry; filled by aLink_Init.
struct aLinkRecord {
  uint16_t check;
  linkID id;
  std::atomic<uint8_t> running;
  std::atomic<linkState> state;
  // What put the link in kLinkStateIOError or kLinkStatePacketError: the
  // failed read's or put's code, stored before the state.
  std::atomic<aErr> error;
  // FIFO handles are replaced by a reset while callers may read them.
  std::atomic<aPacketFifoHandle> inFifo;
  aPacket* inPacket;
  std::atomic<aPacketFifoHandle> outFifo;
  aThread* inThread;
  aThread* outThread;
  aThreadFunction inProcess;
  aThreadFunction outProcess;
  std::atomic<uint8_t> inReady;
  std::atomic<uint8_t> outReady;
  // Where a stop has got to, for the writer: kOutDrainLeave once it may
  // leave its loop, kOutDrainQueued once force-route off is queued behind
  // everything else; the writer then empties its FIFO and ends.
  std::atomic<uint8_t> outDrain;
  aStream* stream;
  // Reader thread only.
  int32_t hbState;
  int32_t syncState;
  uint8_t syncAddress;
  // Published only after logSema exists; both stay until teardown.
  std::atomic<aPacketLog*> packetLog;
  int32_t logSize;
  std::atomic<aMutex*> logSema;
  aUserPacketFilter userFilter;
  void* userFilterRef;
  aMutex* userFilterSema;

  // Serialises start, stop, synchronise, reset and packet-debug set-up.
  std::mutex control;
  // Signalled when readiness or the state changes, and when a stop wants
  // the threads to look at `running` now rather than after their pause.
  std::mutex signalMutex;
  std::condition_variable signal;
};

// Initialises the record of the table entry `link`; returns the id, or 0
// when the id has no entry or a FIFO, the packet or the filter mutex cannot
// be made. A NULL stream makes a link without stream (kLinkStateNoStream).
linkID aLink_Init(linkID link, aStream* stream);
// Starts the reader and writer and waits up to 2 s for both; then queues
// force-route on. aErrResource when a thread cannot be made, aErrIndexRange
// when the threads do not come up in time.
aErr aLink_Start(linkID link);
// Synchronises the framing with the module, waiting up to 2 s; then drops
// unsent requests and, 100 ms later, the surplus answers. aErrNotReady when
// the module does not answer.
aErr aLink_Sync(linkID link);
// Queues [0xAF][1][on]. aErrNotFound for an id not in the table.
aErr aLink_ForceRoute(linkID link, int on);
// Stops the threads: everything queued before is written, force-route off
// last. Given the record, so that a link already taken out of the table
// can be stopped.
aErr aLink_Stop(aLinkRecord* link);

// The same steps on a record the caller holds; the caller holds the
// record's control mutex.
aErr aLink_StartLocked(aLinkRecord* link);
aErr aLink_StopLocked(aLinkRecord* link);
// Fills a fresh record; false when a FIFO, the packet or the filter mutex
// cannot be made (what was made is released by aLink_ReleaseRecord).
bool aLink_InitRecord(aLinkRecord* link, linkID id, aStream* stream);
// After a stop: new FIFOs and an empty packet around a new stream (or
// none), keeping the user filter, the packet log and the mutexes.
bool aLink_ReinitRecord(aLinkRecord* link, aStream* stream);
// Destroys both FIFOs, waking every waiter.
void aLink_DestroyFifos(aLinkRecord* link);
// Frees what the record holds besides its stream: FIFOs, packet, packet
// log and mutexes.
void aLink_ReleaseRecord(aLinkRecord* link);

// Undoes a creation that failed after its entry was made (not yet
// published): the entry leaves the table and is torn down with whatever
// stream its record holds. Always 0, the failed creation's result.
linkID aLink_AbandonCreation(linkID link);

#endif
