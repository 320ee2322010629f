// The link engine: reader and writer threads, synchronisation, heartbeat
// answers and force-route.
//
// Wire rules (every byte stream):
//   [0xAD][0]          to the module: synchronisation request; it answers
//                      [A][0] from its own address A (non-zero, even)
//   [0xAF][1][on]      to the module: force-route on (1) or off (0)
//   [A][2][0][n]       from the module: heartbeat, n = 0 up, 1 down
//   [A][2][0][n + 2]   to the module: its answer

#include <chrono>
#include <cstdio>

#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aTime.h"

namespace {

// The reader waits for data in slices this long, so that a stop is seen
// within one slice on streams whose wait cannot be interrupted.
constexpr uint32_t kReaderWaitSliceMS = 20;
// A synchronisation in progress is restarted only after this long without
// a byte: answers that arrive split across reads are not cut short.
constexpr uint64_t kSyncQuietMS = 500;
// Pause after a failed read before the next one.
constexpr uint64_t kReadErrorPauseMS = 100;
// Two waits in a row that said "ready" without a byte following count as a
// stream that cannot wait (a hung-up terminal): the reader pauses a slice.
constexpr int kQuickMissesBeforePause = 2;
constexpr auto kQuickMiss = std::chrono::milliseconds(1);
// Longest wait of the writer for a packet; a stop wakes it earlier.
constexpr uint64_t kWriterWaitMS = 1000;
// Start and synchronisation wait this long for the threads or the module.
constexpr uint64_t kStartWaitMS = 2000;
constexpr uint64_t kSyncWaitMS = 2000;
// After a synchronisation, the module's surplus answers arrive within this.
constexpr uint64_t kSyncSettleMS = 100;
constexpr int kSyncRequestCount = 6;

constexpr uint8_t kHeartbeatLength = 2;
constexpr uint8_t kHeartbeatUp = 0;
constexpr uint8_t kHeartbeatDown = 1;
constexpr uint8_t kHeartbeatAnswerOffset = 2;

using Clock = std::chrono::steady_clock;

bool sAcceptAll(const aPacket*, const void*) { return true; }

void sNotify(aLinkRecord* link) {
  { std::lock_guard<std::mutex> hold(link->signalMutex); }
  link->signal.notify_all();
}

// Sleeps up to ms, ending early when the link is told to stop.
void sPause(aLinkRecord* link, uint64_t ms) {
  std::unique_lock<std::mutex> hold(link->signalMutex);
  link->signal.wait_for(hold, std::chrono::milliseconds(ms), [link] { return link->running.load() == 0; });
}

template <typename Predicate>
bool sWaitFor(aLinkRecord* link, uint64_t ms, Predicate ready) {
  std::unique_lock<std::mutex> hold(link->signalMutex);
  return link->signal.wait_for(hold, std::chrono::milliseconds(ms), ready);
}

void sRecord(aLinkRecord* link, int kind, const aPacket* packet) {
  aPacketLog* log = link->packetLog.load(std::memory_order_acquire);
  if (log == nullptr) {
    return;
  }
  aMutex* sema = link->logSema.load(std::memory_order_acquire);
  aMutex_Lock(sema);
  if (log->enabled) {
    aPacketLog_Put(log, kind, static_cast<uint32_t>(aPacket_WireLength(packet)), aPacket_WireBytes(packet));
  }
  aMutex_Unlock(sema);
}

aErr sQueueControl(aLinkRecord* link, uint8_t address, uint8_t length, const uint8_t* data) {
  aPacket* packet = aPacket_CreateWithData(address, length, data);
  if (packet == nullptr) {
    return aErrMemory;
  }
  aErr err = aPacketFifo_Put(link->outFifo.load(), packet);
  aPacket_Destroy(&packet);
  return err;
}

aErr sForceRoute(aLinkRecord* link, int on) {
  const uint8_t value = static_cast<uint8_t>(on);
  return sQueueControl(link, aPACKET_ADDR_FORCE_ROUTE, 1, &value);
}

bool sIsForceRouteOff(const aPacket* packet) {
  return packet->address == aPACKET_ADDR_FORCE_ROUTE && packet->dataSize == 1 && packet->data[0] == 0;
}

// Six requests, so that a module that lost a byte or two still sees at
// least two whole ones and answers twice in a row.
void sStartSync(aLinkRecord* link) {
  link->state.store(kLinkStateSyncing);
  link->syncState = kSyncStateStart;
  aPacket_Reset(link->inPacket);
  const uint8_t none = 0;
  aPacket* request = aPacket_CreateWithData(aPACKET_ADDR_SYNC, 0, &none);
  if (request == nullptr) {
    return;
  }
  aErr last = aErrNone;
  for (int i = 0; i < kSyncRequestCount; ++i) {
    last = aPacketFifo_Put(link->outFifo.load(), request);
  }
  aPacket_Destroy(&request);
  if (last == aErrNone) {
    link->syncState = kSyncStateByte1;
  }
}

// The link is in step after two identical answers A, 0, A, 0 in a row.
void sSyncByte(aLinkRecord* link, uint8_t byte) {
  switch (link->syncState) {
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2:
      link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
      break;
    case kSyncStateByte3:
      link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link->syncState = kSyncStateNone;
        link->state.store(kLinkStateRunning);
        sNotify(link);
      } else {
        link->syncState = kSyncStateStart;
      }
      break;
    default:
      sStartSync(link);
      break;
  }
}

// Answers a heartbeat and consumes it; false for any other packet.
bool sHandleHBBackChannel(aLinkRecord* link, const aPacket* packet) {
  if (packet->dataSize != kHeartbeatLength || packet->data[0] != 0 || link->hbState != kHBStateIdle) {
    return false;
  }
  const uint8_t n = packet->data[1];
  if (n == kHeartbeatUp) {
    link->hbState = kHBStateUpReply;
  } else if (n == kHeartbeatDown) {
    link->hbState = kHBStateDownReply;
  }
  const uint8_t answer[kHeartbeatLength] = {0, static_cast<uint8_t>(n + kHeartbeatAnswerOffset)};
  // Whether or not the answer could be made and queued, the next
  // heartbeat is answered again.
  sQueueControl(link, packet->address, kHeartbeatLength, answer);
  link->hbState = kHBStateIdle;
  return true;
}

aErr sHandlePacket(aLinkRecord* link) {
  aPacket* packet = link->inPacket;
  if (!aPacket_IsComplete(packet)) {
    return aErrNone;
  }
  sRecord(link, aPACKETLOG_INCOMING, packet);
  bool consumed = false;
  aMutex_Lock(link->userFilterSema);
  if (link->userFilter != nullptr) {
    consumed = link->userFilter(packet, link->userFilterRef);
  }
  aMutex_Unlock(link->userFilterSema);
  aErr err = aErrNone;
  if (!consumed && !sHandleHBBackChannel(link, packet)) {
    err = aPacketFifo_Put(link->inFifo.load(), packet);
  }
  aPacket_Reset(packet);
  return err;
}

void sTakeByte(aLinkRecord* link, uint8_t byte) {
  if (link->state.load() == kLinkStateSyncing) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->inPacket, byte) != aErrNone) {
    // Framing lost (address 0 or odd, length above 28, too many bytes).
    sStartSync(link);
    return;
  }
  const aErr err = sHandlePacket(link);
  if (err != aErrNone) {
    link->error.store(err);
    link->state.store(kLinkStatePacketError);
  }
}

// A read that works again after read errors (a socket stream connected
// again in place) ends the error state: the link runs again without a
// reset. A stop or synchronisation begun meanwhile is left as it is.
void sEndReadError(aLinkRecord* link) {
  linkState failed = kLinkStateIOError;
  if (link->state.load() == failed && link->state.compare_exchange_strong(failed, kLinkStateRunning)) {
    link->error.store(aErrNone);
  }
}

void* sInPipeProcess(void* argument) {
  aLinkRecord* link = static_cast<aLinkRecord*>(argument);
  link->hbState = kHBStateIdle;
  link->syncState = kSyncStateNone;
  link->state.store(kLinkStateRunning);
  link->inReady.store(1);
  sNotify(link);

  Clock::time_point lastByte = Clock::now();
  int quickMisses = 0;
  while (link->running.load()) {
    const Clock::time_point began = Clock::now();
    uint8_t byte = 0;
    aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNone) {
      sEndReadError(link);
      lastByte = Clock::now();
      quickMisses = 0;
      sTakeByte(link, byte);
      continue;
    }
    if (err != aErrNotReady) {
      link->error.store(err);
      link->state.store(kLinkStateIOError);
      sPause(link, kReadErrorPauseMS);
      continue;
    }
    sEndReadError(link);
    if (link->state.load() == kLinkStateSyncing) {
      // A synchronisation just asked for starts at once; one under way
      // starts again only after a whole quiet period.
      const bool quiet = Clock::now() - lastByte >= std::chrono::milliseconds(kSyncQuietMS);
      if (link->syncState == kSyncStateNone || quiet) {
        sStartSync(link);
        lastByte = Clock::now();
        continue;
      }
    }
    aStream_WaitReadable(link->stream, kReaderWaitSliceMS);
    if (Clock::now() - began < kQuickMiss) {
      if (++quickMisses >= kQuickMissesBeforePause) {
        sPause(link, kReaderWaitSliceMS);
        quickMisses = 0;
      }
    } else {
      quickMisses = 0;
    }
  }
  return nullptr;
}

aErr sWritePacket(aLinkRecord* link, const aPacket* packet) {
  return aStream_Write(link->stream, aPacket_WireBytes(packet), aPacket_WireLength(packet));
}

void* sOutPipeProcess(void* argument) {
  aLinkRecord* link = static_cast<aLinkRecord*>(argument);
  link->outReady.store(1);
  sNotify(link);
  while (link->running.load() || link->outDrain.load() == kOutDrainNone) {
    aPacket* packet = aPacketFifo_Await(link->outFifo.load(), kWriterWaitMS);
    if (packet == nullptr) {
      continue;
    }
    // Recorded before it goes out, so that a reply never precedes its
    // request in the log.
    sRecord(link, aPACKETLOG_OUTGOING, packet);
    sWritePacket(link, packet);
    aPacket_Destroy(&packet);
  }
  sWaitFor(link, kWriterWaitMS, [link] { return link->outDrain.load() == kOutDrainQueued; });
  // What is left, force-route off last. The count is taken once, so that
  // puts made meanwhile cannot keep the writer here; after a failed write
  // the rest is dropped, but force-route off is still tried.
  size_t left = aPacketFifo_GetLength(link->outFifo.load());
  bool failed = false;
  while (left-- > 0) {
    aPacket* packet = aPacketFifo_Get(link->outFifo.load());
    if (packet == nullptr) {
      break;
    }
    if (!failed || sIsForceRouteOff(packet)) {
      failed = sWritePacket(link, packet) != aErrNone || failed;
    }
    aPacket_Destroy(&packet);
  }
  return nullptr;
}

}  // namespace

bool aLink_InitRecord(aLinkRecord* link, linkID id, aStream* stream) {
  link->id = id;
  link->check = aLINK_CHECK;
  link->running.store(0);
  link->stream = stream;
  link->state.store(stream != nullptr ? kLinkStateStopped : kLinkStateNoStream);
  link->inThread = nullptr;
  link->outThread = nullptr;
  link->inFifo.store(aPacketFifo_Create());
  link->outFifo.store(aPacketFifo_Create());
  link->inProcess = sInPipeProcess;
  link->outProcess = sOutPipeProcess;
  link->inReady.store(0);
  link->outReady.store(0);
  link->outDrain.store(kOutDrainNone);
  link->hbState = kHBStateIdle;
  link->syncState = kSyncStateNone;
  link->inPacket = aPacket_Create();
  link->packetLog.store(nullptr);
  link->logSize = 0;
  link->logSema.store(nullptr);
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
  char name[aMUTEX_MAX_NAME + 1];
  snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
  link->userFilterSema = aMutex_Create(name);
  return link->inFifo.load() != 0 && link->outFifo.load() != 0 && link->inPacket != nullptr &&
         link->userFilterSema != nullptr;
}

bool aLink_ReinitRecord(aLinkRecord* link, aStream* stream) {
  aLink_DestroyFifos(link);
  link->stream = stream;
  link->state.store(stream != nullptr ? kLinkStateStopped : kLinkStateNoStream);
  link->inFifo.store(aPacketFifo_Create());
  link->outFifo.store(aPacketFifo_Create());
  link->inReady.store(0);
  link->outReady.store(0);
  link->outDrain.store(kOutDrainNone);
  link->hbState = kHBStateIdle;
  link->syncState = kSyncStateNone;
  aPacket_Reset(link->inPacket);
  return link->inFifo.load() != 0 && link->outFifo.load() != 0;
}

void aLink_DestroyFifos(aLinkRecord* link) {
  aPacketFifoHandle in = link->inFifo.exchange(0);
  aPacketFifoHandle out = link->outFifo.exchange(0);
  if (in != 0) {
    aPacketFifo_Destroy(&in);
  }
  if (out != 0) {
    aPacketFifo_Destroy(&out);
  }
}

void aLink_ReleaseRecord(aLinkRecord* link) {
  aLink_DestroyFifos(link);
  if (link->inPacket != nullptr) {
    aPacket_Destroy(&link->inPacket);
  }
  aPacketLog* log = link->packetLog.exchange(nullptr);
  aPacketLog_Destroy(&log);
  aMutex* logSema = link->logSema.exchange(nullptr);
  if (logSema != nullptr) {
    aMutex_Destroy(&logSema);
  }
  if (link->userFilterSema != nullptr) {
    aMutex_Destroy(&link->userFilterSema);
  }
}

linkID aLink_Init(linkID id, aStream* stream) {
  aLinkPin pin(id);
  if (pin.link() == nullptr) {
    return 0;
  }
  return aLink_InitRecord(pin.link(), id, stream) ? id : 0;
}

aErr aLink_StartLocked(aLinkRecord* link) {
  if (link->running.load()) {
    return aErrNone;
  }
  link->running.store(1);
  link->state.store(kLinkStateStarting);
  link->hbState = kHBStateIdle;
  link->inReady.store(0);
  link->outReady.store(0);
  link->outDrain.store(kOutDrainNone);
  link->inThread = aThread_Create(link->inProcess, link);
  if (link->inThread == nullptr) {
    return aErrResource;
  }
  link->outThread = aThread_Create(link->outProcess, link);
  if (link->outThread == nullptr) {
    // The reader runs; the stop that follows ends and joins it.
    return aErrResource;
  }
  if (!sWaitFor(link, kStartWaitMS, [link] { return link->inReady.load() && link->outReady.load(); })) {
    return aErrIndexRange;
  }
  return sForceRoute(link, 1);
}

aErr aLink_Start(linkID id) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(link->control);
  return aLink_StartLocked(link);
}

aErr aLink_Sync(linkID id) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(link->control);
  link->state.store(kLinkStateSyncing);
  const bool inStep =
      sWaitFor(link, kSyncWaitMS, [link] { return link->state.load() == kLinkStateRunning; });
  // Requests not yet written are no use now; the module's answers to the
  // ones it got arrive as empty packets and are dropped after a moment.
  aPacketFifo_DrainPackets(link->outFifo.load(), sAcceptAll, nullptr);
  aTime_MSSleep(kSyncSettleMS);
  aPacketFifo_DrainPackets(link->inFifo.load(), sAcceptAll, nullptr);
  return inStep ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(linkID id, int on) {
  aLinkPin pin(id);
  if (pin.entry() == nullptr) {
    return aErrNotFound;
  }
  if (pin.link() == nullptr) {
    return aErrParam;
  }
  return sForceRoute(pin.link(), on);
}

aErr aLink_StopLocked(aLinkRecord* link) {
  const bool threads = link->inThread != nullptr || link->outThread != nullptr;
  const linkState state = link->state.load();
  if (!threads && (state == kLinkStateStopped || state == kLinkStateStopping)) {
    link->running.store(0);
    return aErrNone;
  }
  link->state.store(kLinkStateStopping);
  link->running.store(0);
  if (!threads) {
    // Never started: it stays stopping.
    return aErrNone;
  }
  sNotify(link);
  aErr result = aErrNone;
  // The reader first, so that no heartbeat answer or synchronisation
  // request can follow force-route off.
  if (link->inThread != nullptr && aThread_Destroy(&link->inThread) != 0) {
    result = aErrUnknown;
  }
  if (link->outThread != nullptr) {
    // On this link's own FIFO: the link may already be out of the table.
    // Its put also wakes the writer from its wait.
    link->outDrain.store(kOutDrainLeave);
    aErr routed = sForceRoute(link, 0);
    link->outDrain.store(kOutDrainQueued);
    sNotify(link);
    if (routed != aErrNone && result == aErrNone) {
      result = routed;
    }
    if (aThread_Destroy(&link->outThread) != 0) {
      result = aErrUnknown;
    }
  }
  link->inReady.store(0);
  link->outReady.store(0);
  aPacket_Reset(link->inPacket);
  link->hbState = kHBStateIdle;
  link->state.store(kLinkStateStopped);
  return result;
}

aErr aLink_Stop(aLinkRecord* link) {
  if (link == nullptr) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(link->control);
  return aLink_StopLocked(link);
}
