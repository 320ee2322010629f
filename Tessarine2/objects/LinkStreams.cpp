// Link: the stream cache that gets consult, the stream filter on the
// link's reader thread and the callback worker behind it.

#include <chrono>

#include "Tessarine2/common/aUEI.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LinkImpl.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

constexpr uint8_t kWildcard = 0xFF;
constexpr int kWildcardMasks = 15;

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

// Data bytes of a valid sample by kind (kinds 1-3 and 5-7).
uint8_t _sampleLength(Link::STREAM_PACKET kind) {
  switch (kind) {
    case Link::STREAM_PACKET_U8:
      return 14;
    case Link::STREAM_PACKET_U16:
      return 15;
    case Link::STREAM_PACKET_U32:
      return 17;
    case Link::STREAM_PACKET_SUBINDEX_U8:
      return 15;
    case Link::STREAM_PACKET_SUBINDEX_U16:
      return 16;
    case Link::STREAM_PACKET_SUBINDEX_U32:
      return 18;
    default:
      return 0;
  }
}

}  // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return (static_cast<uint64_t>(subindex) << 32) | (static_cast<uint64_t>(module) << 24) |
         (static_cast<uint64_t>(command) << 16) | (static_cast<uint64_t>(option) << 8) | index;
}

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
  STREAM_PACKET kind = STREAM_PACKET_NONE;
  if (isStreamPacket(packet) && packet->dataSize <= aPACKET_MAX_DATA) {
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

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET kind = STREAM_PACKET_NONE;
  if (!getStreamPacketType(packet, &kind) || kind == STREAM_PACKET_BYTES) {
    return false;
  }
  return packet->dataSize == _sampleLength(kind) && packet->data[packet->dataSize - 1] == 0;
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
  const bool withSubindex = kind >= STREAM_PACKET_SUBINDEX_U8;
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

// On the link's reader thread, with the link's filter mutex held; takes
// streamLock after it. Every stream packet is consumed.
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

  std::lock_guard<std::mutex> hold(self->streamLock);
  auto exact = self->streams.find(key);
  if (exact != self->streams.end()) {
    self->queueAsyncCallback(exact, packet);
    if (sampled) {
      exact->second.lastValue = value;
      exact->second.fresh = 1;
    }
  }
  bool wildcardMatched = false;
  for (int i = 0; i < kWildcardMasks; ++i) {
    auto entry = self->streams.find(key | _getGenericStreamKeyMask(i));
    if (entry != self->streams.end()) {
      self->queueAsyncCallback(entry, packet);
      wildcardMatched = true;
    }
  }
  if (exact == self->streams.end() && wildcardMatched && sampled) {
    self->streams.emplace(key, StreamEntry(key, 1, streamCallback(), nullptr, value));
  }
  return true;
}

bool Link::isSubindexType(STREAM_PACKET type) {
  return type >= STREAM_PACKET_SUBINDEX_U8 && type <= STREAM_PACKET_SUBINDEX_U32;
}

void Link::impl::queueAsyncCallback(std::map<uint64_t, StreamEntry>::iterator entry, const aPacket* packet) {
  if (!entry->second.callback) {
    return;
  }
  asyncPacket call;
  call.callback = entry->second.callback;
  call.ref = entry->second.ref;
  call.packet = aPacket_Copy(packet);
  if (call.packet == nullptr) {
    return;
  }
  if (!asyncQueue.push(call)) {
    aPacket_Destroy(&call.packet);
  }
}

void Link::impl::asyncWork(LocklessQueue_SPSC<asyncPacket>* ring, std::future<void> stop) {
  for (;;) {
    if (stop.wait_for(std::chrono::nanoseconds(1)) == std::future_status::ready) {
      return;
    }
    asyncPacket call;
    while (ring->pop(&call)) {
      call.callback(call.packet, call.ref);
      aPacket_Destroy(&call.packet);
      call = asyncPacket();
    }
    // The ring has no wake-up of its own: an idle worker looks again every
    // millisecond.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

aErr Link::impl::installStreamFilter(bool on) {
  if (linkRef == 0) {
    return aErrConfiguration;
  }
  const aErr err = on ? aLink_InstallUserPacketFilter(linkRef, Link::linkStreamFilter, this)
                      : aLink_InstallUserPacketFilter(linkRef, nullptr, nullptr);
  if (err != aErrNone) {
    return err;
  }
  if (on) {
    if (asyncThread == nullptr) {
      try {
        asyncThread = new std::thread(asyncWork, &asyncQueue, stopSignal.get_future());
      } catch (...) {
        asyncThread = nullptr;
        stopSignal = std::promise<void>();
        return aErrResource;
      }
    }
    return aErrNone;
  }
  {
    std::lock_guard<std::mutex> hold(streamLock);
    streams.clear();
  }
  stopWorker();
  return aErrNone;
}

void Link::impl::stopWorker() {
  if (asyncThread == nullptr) {
    return;
  }
  stopSignal.set_value();
  asyncThread->join();
  delete asyncThread;
  asyncThread = nullptr;
  stopSignal = std::promise<void>();
  // The filter is off, so nothing pushes any more: what is left is ours.
  asyncPacket call;
  while (asyncQueue.pop(&call)) {
    aPacket_Destroy(&call.packet);
  }
}

}  // namespace Tessarine
}  // namespace Zeltrova
