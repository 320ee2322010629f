// Link: stream subscriptions. The table of subscriptions, the stream
// control command that tells the module, the cache that gets consult, the
// stream filter on the link's reader thread and the callback worker behind
// it.
//
// Threads and locks:
//   reader thread  runs linkStreamFilter with the link's filter mutex held,
//                  takes streamLock inside it, pushes onto asyncQueue (the
//                  only producer) and notifies asyncWake;
//   worker         the only consumer of asyncQueue; runs each callback
//                  holding callbackLock, with streamLock taken only to see
//                  that the subscription is still there;
//   owner thread   subscribes, reads the cache, stops the worker. So do
//                  callbacks, on the worker: the worker never joins itself.
// The filter sits in a filter shared by every Link on the link
// (SharedUserFilter). filterLock is taken before the shared filter's locks
// and workerLock, and never while streamLock is held. No thread holds
// streamLock while it waits for the filter mutex, for callbackLock or for
// workerLock.

#include <chrono>
#include <exception>
#include <new>
#include <system_error>

#include "Tessarine2/common/aDebug.h"
#include "Tessarine2/common/aUEI.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LinkImpl.h"
#include "Tessarine2/objects/SharedUserFilter.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

constexpr uint8_t kWildcard = 0xFF;
constexpr int kWildcardMasks = 15;

// Stream control, command 93, on entity index 0:
//   [93, 0x81, 0x20, module, command, option, index]  stream this key
//   [93, 0x82, 0x20, module, command, option, index]  stop streaming it
//   acknowledged with option 0xC1 / 0xC2; [93, 0x41, 0x20] reads the
//   module's streaming state (8-bit, option 1 in the reply).
constexpr uint8_t kCommandStream = 93;
constexpr uint8_t kStreamOptionEnable = 1;
constexpr uint8_t kStreamOptionDisable = 2;
constexpr uint8_t kStreamIndex = 0;

// The worker whose thread this is, for the Link that owns it: a callback
// that changes subscriptions must not wait for itself.
thread_local const void* tWorkerOf = nullptr;

// Mask number i (0..14) covers the elements whose bits are set in i + 1:
// bit 0 index, bit 1 option, bit 2 command, bit 3 subindex.
uint64_t _getGenericStreamKeyMask(int number) {
  if (number < 0 || number >= kWildcardMasks) {
    return 0;
  }
  const unsigned bits = static_cast<unsigned>(number + 1);
  uint64_t mask = 0;
  if (bits & 0x1) {
    mask |= 0xFFull;
  }
  if (bits & 0x2) {
    mask |= 0xFF00ull;
  }
  if (bits & 0x4) {
    mask |= 0xFF0000ull;
  }
  if (bits & 0x8) {
    mask |= 0xFF00000000ull;
  }
  return mask;
}

// Data bytes of a valid sample, by kind:
//   [cmd, opt, 0x40 | idx, kind, (subindex,) timestamp high 4, timestamp
//    low 4, value 1/2/4, sequence 0]
bool _checkStreamSampleLength(Link::STREAM_PACKET kind, uint8_t length) {
  switch (kind) {
    case Link::STREAM_PACKET_U8:
      return length == 14;
    case Link::STREAM_PACKET_U16:
      return length == 15;
    case Link::STREAM_PACKET_U32:
      return length == 17;
    case Link::STREAM_PACKET_SUBINDEX_U8:
      return length == 15;
    case Link::STREAM_PACKET_SUBINDEX_U16:
      return length == 16;
    case Link::STREAM_PACKET_SUBINDEX_U32:
      return length == 18;
    default:
      return false;
  }
}

bool elementMatches(uint8_t wanted, uint8_t element) { return wanted == kWildcard || wanted == element; }

bool keyMatches(uint64_t key, uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return elementMatches(module, Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE)) &&
         elementMatches(command, Link::getStreamKeyElement(key, Link::STREAM_KEY_CMD)) &&
         elementMatches(option, Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION)) &&
         elementMatches(index, Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX)) &&
         elementMatches(subindex, Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX));
}

bool hasWildcard(uint64_t key) {
  return Link::getStreamKeyElement(key, Link::STREAM_KEY_CMD) == kWildcard ||
         Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION) == kWildcard ||
         Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX) == kWildcard ||
         Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX) == kWildcard;
}

}  // namespace

// --- keys and packets

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return (static_cast<uint64_t>(subindex) << 32) | (static_cast<uint64_t>(module) << 24) |
         (static_cast<uint64_t>(command) << 16) | (static_cast<uint64_t>(option) << 8) | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
  switch (element) {
    case STREAM_KEY_MODULE:
      return static_cast<uint8_t>(key >> 24);
    case STREAM_KEY_CMD:
      return static_cast<uint8_t>(key >> 16);
    case STREAM_KEY_OPTION:
      return static_cast<uint8_t>(key >> 8);
    case STREAM_KEY_INDEX:
      return static_cast<uint8_t>(key);
    case STREAM_KEY_SUBINDEX:
      return static_cast<uint8_t>(key >> 32);
    default:
      return 0;
  }
}

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
  STREAM_PACKET kind = STREAM_PACKET_NONE;
  if (isStreamPacket(packet)) {
    if (aUEI_getBytesSequence(packet) != 0 || aUEI_getBytesContinue(packet)) {
      kind = STREAM_PACKET_BYTES;
    } else if (packet->data[3] >= STREAM_PACKET_U8 && packet->data[3] <= STREAM_PACKET_SUBINDEX_U32) {
      kind = static_cast<STREAM_PACKET>(packet->data[3]);
    }
  }
  if (type != nullptr) {
    *type = kind;
  }
  return kind != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(STREAM_PACKET type) {
  return type >= STREAM_PACKET_SUBINDEX_U8 && type <= STREAM_PACKET_SUBINDEX_U32;
}

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET kind = STREAM_PACKET_NONE;
  if (!getStreamPacketType(packet, &kind) || kind == STREAM_PACKET_BYTES) {
    return false;
  }
  return _checkStreamSampleLength(kind, packet->dataSize) && packet->data[packet->dataSize - 1] == 0;
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  STREAM_PACKET kind = STREAM_PACKET_NONE;
  if (!getStreamPacketType(packet, &kind)) {
    return aErrPacket;
  }
  if (kind == STREAM_PACKET_BYTES) {
    return aErrSize;
  }
  if (!isStreamSample(packet)) {
    return aErrPacket;
  }
  const bool withSubindex = isSubindexType(kind);
  const uint8_t at = withSubindex ? 5 : 4;
  const uint64_t high = aUEI_RetrieveInt(&packet->data[at]);
  const uint64_t low = aUEI_RetrieveInt(&packet->data[at + 4]);
  const uint8_t* v = &packet->data[at + 8];
  uint32_t sample = 0;
  switch (kind) {
    case STREAM_PACKET_U8:
    case STREAM_PACKET_SUBINDEX_U8:
      sample = v[0];
      break;
    case STREAM_PACKET_U16:
    case STREAM_PACKET_SUBINDEX_U16:
      sample = aUEI_RetrieveShort(v);
      break;
    default:
      sample = aUEI_RetrieveInt(v);
      break;
  }
  if (timestamp != nullptr) {
    *timestamp = (high << 32) | low;
  }
  if (value != nullptr) {
    *value = sample;
  }
  if (subindex != nullptr) {
    *subindex = withSubindex ? packet->data[4] : 0;
  }
  return aErrNone;
}

aErr Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high != nullptr) {
    *high = static_cast<uint32_t>(timestamp >> 32);
  }
  if (low != nullptr) {
    *low = static_cast<uint32_t>(timestamp);
  }
  return aErrNone;
}

// --- the table and the cache

bool Link::impl::eraseMatching(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  for (auto entry = streams.begin(); entry != streams.end();) {
    if (keyMatches(entry->first, module, command, option, index, subindex)) {
      entry = streams.erase(entry);
    } else {
      ++entry;
    }
  }
  return streams.empty();
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (m_impl == nullptr || value == nullptr) {
    return aErrParam;
  }
  const uint64_t key = createStreamKey(module, command, option, index, subindex);
  std::lock_guard<std::mutex> hold(m_impl->streamLock);
  auto entry = m_impl->streams.find(key);
  if (entry == m_impl->streams.end()) {
    return aErrNotFound;
  }
  *value = entry->second.lastValue;
  if (entry->second.fresh == 1) {
    entry->second.fresh = 0;
    return aErrNone;
  }
  return aErrStreamStale;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  std::vector<uint64_t> keys;
  if (m_impl == nullptr) {
    return keys;
  }
  std::unique_lock<std::mutex> hold(m_impl->streamLock, std::defer_lock);
  if (lock) {
    hold.lock();
  }
  for (const auto& entry : m_impl->streams) {
    if (keyMatches(entry.first, module, command, option, index, subindex)) {
      keys.push_back(entry.first);
    }
  }
  return keys;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           std::map<uint64_t, uint32_t>* status) {
  if (status == nullptr) {
    return aErrParam;
  }
  status->clear();
  if (m_impl == nullptr) {
    return aErrNone;
  }
  std::lock_guard<std::mutex> hold(m_impl->streamLock);
  for (uint64_t key : filterActiveStreamKeys(module, command, option, index, subindex, false)) {
    auto entry = m_impl->streams.find(key);
    if (entry != m_impl->streams.end() && !hasWildcard(key)) {
      (*status)[key] = entry->second.lastValue;
    }
  }
  return aErrNone;
}

// --- the filter on the reader thread

bool Link::linkStreamFilter(const aPacket* packet, void* reference) {
  if (!isStreamPacket(packet)) {
    return false;
  }
  impl* self = static_cast<impl*>(reference);
  STREAM_PACKET kind = STREAM_PACKET_NONE;
  getStreamPacketType(packet, &kind);
  const uint8_t subindex = isSubindexType(kind) ? packet->data[4] : 0;
  const uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & UEI_OPTION_MASK,
                                       packet->data[2] & UEI_SPECIFIER_INDEX, subindex);
  uint32_t value = 0;
  const bool sampled = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  bool queued = false;
  {
    std::lock_guard<std::mutex> hold(self->streamLock);
    auto exact = self->streams.find(key);
    if (exact != self->streams.end()) {
      queued |= self->queueAsyncCallback(exact, packet);
      if (sampled) {
        exact->second.lastValue = value;
        exact->second.fresh = 1;
      }
    }
    bool wildcardMatched = false;
    for (int i = 0; i < kWildcardMasks; ++i) {
      auto entry = self->streams.find(key | _getGenericStreamKeyMask(i));
      if (entry != self->streams.end()) {
        queued |= self->queueAsyncCallback(entry, packet);
        wildcardMatched = true;
      }
    }
    // Later gets of this exact value are answered from the cache.
    if (exact == self->streams.end() && wildcardMatched && sampled) {
      self->streams.emplace(key, StreamEntry(key, 1, streamCallback(), nullptr, value));
    }
  }
  if (queued) {
    // Taken and released so that a worker between its look at the ring and
    // its wait cannot miss the notification.
    { std::lock_guard<std::mutex> wake(self->asyncLock); }
    self->asyncWake.notify_all();
  }
  // Subscribed or not, a stream packet never reaches the in-FIFO.
  return true;
}

bool Link::impl::queueAsyncCallback(std::map<uint64_t, StreamEntry>::iterator entry, const aPacket* packet) {
  if (!entry->second.callback) {
    return false;
  }
  asyncPacket call;
  call.callback = entry->second.callback;
  call.ref = entry->second.ref;
  call.key = entry->first;
  call.serial = entry->second.serial;
  call.packet = aPacket_Copy(packet);
  if (call.packet == nullptr) {
    return false;
  }
  if (!asyncQueue.push(std::move(call))) {
    // Full: the call is dropped; the value is cached all the same.
    aPacket_Destroy(&call.packet);
    return false;
  }
  return true;
}

// --- the worker

void Link::impl::requestStop(StreamWorker* worker) {
  {
    std::lock_guard<std::mutex> hold(asyncLock);
    worker->stop.store(true);
  }
  asyncWake.notify_all();
}

bool Link::impl::onWorker() const { return tWorkerOf == this; }

void Link::impl::asyncWork(impl* self, StreamWorker* worker) {
  tWorkerOf = self;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(self->asyncLock);
      self->asyncWake.wait(hold, [&] { return worker->stop.load() || !self->asyncQueue.empty(); });
    }
    if (worker->stop.load()) {
      break;
    }
    asyncPacket call;
    // A stop ends the run at once: calls still queued are freed by whoever
    // stopped the worker, never run.
    while (!worker->stop.load() && self->asyncQueue.pop(&call)) {
      if (!worker->stop.load()) {
        self->runAsyncCallback(call);
      }
      aPacket_Destroy(&call.packet);
      call = asyncPacket();
    }
  }
  tWorkerOf = nullptr;
}

void Link::impl::runAsyncCallback(asyncPacket& call) {
  std::lock_guard<std::mutex> running(callbackLock);
  {
    std::lock_guard<std::mutex> hold(streamLock);
    auto entry = streams.find(call.key);
    if (entry == streams.end() || entry->second.serial != call.serial) {
      // Unsubscribed or replaced since it was queued: its reference may be
      // gone.
      return;
    }
  }
  try {
    call.callback(call.packet, call.ref);
  } catch (const std::exception& error) {
    aTessarine_Trace(aDEBUG_PACKETS, "stream callback threw: %s\n", error.what());
  } catch (...) {
    aTessarine_Trace(aDEBUG_PACKETS, "stream callback threw\n");
  }
}

void Link::impl::awaitRunningCallback() {
  if (!onWorker()) {
    std::lock_guard<std::mutex> wait(callbackLock);
  }
}

aErr Link::impl::startWorker() {
  std::lock_guard<std::mutex> hold(workerLock);
  if (asyncThread != nullptr) {
    return aErrNone;
  }
  StreamWorker* worker = new (std::nothrow) StreamWorker();
  if (worker == nullptr) {
    return aErrResource;
  }
  try {
    worker->thread = std::thread(asyncWork, this, worker);
  } catch (const std::exception& error) {
    aTessarine_Trace(aDEBUG_PACKETS, "stream worker not started: %s\n", error.what());
    delete worker;
    return aErrResource;
  }
  asyncThread = worker;
  return aErrNone;
}

void Link::impl::stopWorker() {
  if (onWorker()) {
    // From a callback: the worker cannot join itself. It stays, idle and
    // asleep, until the next subscription uses it or another thread (at
    // the latest the Link's destruction) stops it.
    return;
  }
  StreamWorker* worker = nullptr;
  {
    std::lock_guard<std::mutex> hold(workerLock);
    worker = asyncThread;
    asyncThread = nullptr;
    // Asked under workerLock: a worker started after this one (by one of
    // its callbacks) never takes from the ring while this one still may.
    if (worker != nullptr) {
      requestStop(worker);
    }
  }
  if (worker != nullptr) {
    worker->thread.join();
    delete worker;
  }
  std::lock_guard<std::mutex> hold(workerLock);
  if (asyncThread == nullptr) {
    asyncPacket call;
    while (asyncQueue.pop(&call)) {
      aPacket_Destroy(&call.packet);
      call = asyncPacket();
    }
  }
}

aErr Link::impl::installStreamFilter(bool on) {
  if (on) {
    // Held across the install and the worker's start, so that a close
    // either finds both in place or keeps both from happening.
    std::lock_guard<std::mutex> hold(filterLock);
    if (closing) {
      // A callback subscribing while its Link gives up the link.
      return aErrConnection;
    }
    if (linkRef == 0) {
      return aErrConfiguration;
    }
    if (filterLink != 0 && filterLink != linkRef) {
      removeFilterLocked();
    }
    aErr err = sharedUserFilterAdd(linkRef, Link::linkStreamFilter, this);
    if (err != aErrNone) {
      return err;
    }
    filterLink = linkRef;
    err = startWorker();
    if (err != aErrNone) {
      removeFilterLocked();
    }
    return err;
  }
  bool linked = false;
  {
    std::lock_guard<std::mutex> hold(filterLock);
    // Only this Link's own filter: another Link on the same link keeps its.
    removeFilterLocked();
    linked = linkRef != 0;
  }
  {
    std::lock_guard<std::mutex> hold(streamLock);
    streams.clear();
  }
  stopWorker();
  return linked ? aErrNone : aErrConfiguration;
}

void Link::impl::removeFilterLocked() {
  if (filterLink != 0) {
    sharedUserFilterRemove(filterLink, Link::linkStreamFilter, this);
    filterLink = 0;
  }
}

void Link::impl::closeStreams() {
  {
    std::lock_guard<std::mutex> hold(filterLock);
    closing = true;
  }
  // Joins the worker: a callback that tries to subscribe meanwhile is
  // refused, and none runs once this returns.
  installStreamFilter(false);
}

void Link::impl::closeDone() {
  std::lock_guard<std::mutex> hold(filterLock);
  closing = false;
}

// --- subscribing

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* ref) {
  if (m_impl == nullptr) {
    return aErrInitialization;
  }
  if ((module & 1) != 0) {
    return aErrParam;
  }
  // A subscription covers every subindex.
  const uint64_t key = createStreamKey(module, command, option, index, kWildcard);
  bool empty = false;
  bool replaced = false;
  {
    std::lock_guard<std::mutex> hold(m_impl->streamLock);
    if (enable) {
      const uint64_t serial = ++m_impl->streamSerial;
      auto entry = m_impl->streams.find(key);
      if (entry != m_impl->streams.end()) {
        entry->second.callback = std::move(callback);
        entry->second.ref = ref;
        entry->second.serial = serial;
        replaced = true;
      } else {
        StreamEntry fresh(key, 0, std::move(callback), ref, 0);
        fresh.serial = serial;
        m_impl->streams.emplace(key, std::move(fresh));
      }
    } else {
      m_impl->eraseMatching(module, command, option, index, kWildcard);
    }
    empty = m_impl->streams.empty();
  }
  if (!enable || replaced) {
    // A call of the old subscription that is running now ends first.
    m_impl->awaitRunningCallback();
  }

  aErr err = m_impl->installStreamFilter(!empty);
  if (err == aErrNone) {
    uei request{};
    request.module = module;
    request.command = kCommandStream;
    request.option = static_cast<uint8_t>((enable ? kStreamOptionEnable : kStreamOptionDisable) | UEI_OPTION_SET);
    request.specifier = kStreamIndex | UEI_SPECIFIER_REQUEST;
    request.intValue = static_cast<uint32_t>(key);
    request.type = UEI_TYPE_INT;
    // Only an acknowledgement that comes after this request answers it.
    dropMatchingUEIPackets(module, kCommandStream, static_cast<uint8_t>(request.option | UEI_OPTION_GET),
                           kStreamIndex);
    err = sendUEI(request);
    if (err == aErrNone) {
      uei ack{};
      ack.module = module;
      ack.command = kCommandStream;
      ack.option = static_cast<uint8_t>(request.option | UEI_OPTION_GET);
      ack.specifier = kStreamIndex;
      err = receiveUEI(module, kCommandStream, ack.option, kStreamIndex, &ack);
      if (err == aErrNone && (ack.specifier & UEI_SPECIFIER_ERROR) != 0) {
        err = ack.byteValue;
      }
    }
  }
  if (err != aErrNone) {
    // Nothing of this subscription stays; neither do the filter and the
    // worker when the table is empty now.
    bool nowEmpty = false;
    {
      std::lock_guard<std::mutex> hold(m_impl->streamLock);
      nowEmpty = m_impl->eraseMatching(module, command, option, index, kWildcard);
    }
    m_impl->awaitRunningCallback();
    if (nowEmpty) {
      m_impl->installStreamFilter(false);
      m_impl->stopWorker();
    }
  }
  return err;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, streamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* state) {
  if (state == nullptr) {
    return aErrParam;
  }
  uei request{};
  request.module = module;
  request.command = kCommandStream;
  request.option = kStreamOptionEnable | UEI_OPTION_GET;
  request.specifier = kStreamIndex | UEI_SPECIFIER_REQUEST;
  request.type = UEI_TYPE_VOID;
  dropMatchingUEIPackets(module, kCommandStream, kStreamOptionEnable, kStreamIndex);
  aErr err = sendUEI(request);
  if (err != aErrNone) {
    return err;
  }
  uei reply{};
  reply.module = module;
  reply.command = kCommandStream;
  reply.option = kStreamOptionEnable;
  reply.specifier = kStreamIndex;
  reply.type = UEI_TYPE_NONE;
  err = receiveUEI(module, kCommandStream, reply.option, kStreamIndex, &reply);
  if (err != aErrNone) {
    return err;
  }
  if ((reply.specifier & UEI_SPECIFIER_ERROR) != 0) {
    return reply.byteValue;
  }
  switch (reply.type) {
    case UEI_TYPE_BYTE:
      *state = reply.byteValue;
      return aErrNone;
    case UEI_TYPE_SHORT:
      *state = static_cast<uint8_t>(reply.shortValue);
      return aErrNone;
    case UEI_TYPE_INT:
      *state = static_cast<uint8_t>(reply.intValue);
      return aErrNone;
    default:
      // The reply carried no value.
      return aErrPacket;
  }
}

}  // namespace Tessarine
}  // namespace Zeltrova
