#include "tests/sim/module/StreamSource.h"

#include <algorithm>

namespace simmodule {

namespace {

constexpr uint8_t kOptionEnable = 0x81;
constexpr uint8_t kOptionDisable = 0x82;
constexpr uint8_t kOptionState = 0x41;
constexpr uint8_t kAckBits = 0xC0;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kStreamFlag = 0x40;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kWildcard = 0xFF;
constexpr uint8_t kArrayPiece = 24;
constexpr uint8_t kMoreFlag = 0x80;

// Rounds at high rates go out together once per tick.
constexpr auto kTick = std::chrono::milliseconds(1);
// At most this many rounds in one write after a stall.
constexpr uint64_t kMaxRoundsPerTick = 2000;

uint8_t valueWidth(StreamSource::Kind kind) {
  switch (kind) {
    case StreamSource::U8:
    case StreamSource::SubU8:
      return 1;
    case StreamSource::U16:
    case StreamSource::SubU16:
      return 2;
    default:
      return 4;
  }
}

bool matches(uint8_t wanted, uint8_t element) { return wanted == kWildcard || wanted == element; }

void append(std::vector<uint8_t>* wire, const SimPacket& packet) {
  wire->push_back(packet.address);
  wire->push_back(static_cast<uint8_t>(packet.data.size()));
  wire->insert(wire->end(), packet.data.begin(), packet.data.end());
}

}  // namespace

StreamSource::StreamSource(ModuleEngine& engine, uint8_t address)
    : engine_(engine), address_(address), epoch_(Clock::now()) {
  engine_.setHandler(address_, kCommandStream, [this](const SimPacket& request) { return control(request); });
  thread_ = std::thread([this] { loop(); });
}

StreamSource::~StreamSource() {
  engine_.removeHandler(address_, kCommandStream);
  {
    std::lock_guard<std::mutex> hold(runMutex_);
    quitting_ = true;
  }
  runCv_.notify_all();
  thread_.join();
}

void StreamSource::addValue(uint8_t command, uint8_t option, uint8_t index, Kind kind, uint8_t subindex, uint32_t first,
                            uint8_t length) {
  std::lock_guard<std::mutex> hold(mutex_);
  values_.push_back(Value{command, option, index, kind, subindex, first, length});
}

SimPacket StreamSource::sample(uint8_t address, uint8_t command, uint8_t option, uint8_t index, Kind kind,
                               uint32_t value, uint8_t subindex, uint64_t timestamp) {
  SimPacket packet;
  packet.address = address;
  std::vector<uint8_t>& d = packet.data;
  d = {command, static_cast<uint8_t>(option & kOptionMask), static_cast<uint8_t>(kStreamFlag | (index & kIndexMask)),
       static_cast<uint8_t>(kind)};
  if (kind >= SubU8) {
    d.push_back(subindex);
  }
  for (int shift = 56; shift >= 0; shift -= 8) {
    d.push_back(static_cast<uint8_t>(timestamp >> shift));
  }
  const uint8_t width = valueWidth(kind);
  for (int i = width - 1; i >= 0; --i) {
    d.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  d.push_back(0);
  return packet;
}

std::vector<SimPacket> StreamSource::arrayPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                                  const std::vector<uint8_t>& bytes) {
  std::vector<SimPacket> packets;
  size_t sent = 0;
  uint8_t number = 0;
  do {
    const size_t n = std::min<size_t>(kArrayPiece, bytes.size() - sent);
    const bool more = sent + n < bytes.size();
    SimPacket packet;
    packet.address = address;
    packet.data = {command, static_cast<uint8_t>(option & kOptionMask),
                   static_cast<uint8_t>(kStreamFlag | (index & kIndexMask))};
    packet.data.insert(packet.data.end(), bytes.begin() + static_cast<long>(sent),
                       bytes.begin() + static_cast<long>(sent + n));
    packet.data.push_back(static_cast<uint8_t>((number & 0x7F) | (more ? kMoreFlag : 0)));
    packets.push_back(packet);
    sent += n;
    ++number;
  } while (sent < bytes.size());
  return packets;
}

uint64_t StreamSource::now() const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch_).count());
}

void StreamSource::sendSample(uint8_t command, uint8_t option, uint8_t index, Kind kind, uint32_t value,
                              uint8_t subindex) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++samplesSent_;
  }
  engine_.injectPacket(sample(address_, command, option, index, kind, value, subindex, now()));
}

void StreamSource::sendBytes(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> wire;
  for (const SimPacket& packet : arrayPackets(address_, command, option, index, bytes)) {
    append(&wire, packet);
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++samplesSent_;
  }
  engine_.injectBytes(wire);
}

bool StreamSource::covered(const Value& value) const {
  for (uint32_t key : enabled_) {
    if (static_cast<uint8_t>(key >> 24) == address_ && matches(static_cast<uint8_t>(key >> 16), value.command) &&
        matches(static_cast<uint8_t>(key >> 8), value.option) && matches(static_cast<uint8_t>(key), value.index)) {
      return true;
    }
  }
  return false;
}

size_t StreamSource::appendRound(std::vector<uint8_t>* wire) {
  size_t count = 0;
  const uint64_t timestamp = now();
  for (Value& value : values_) {
    if (!covered(value)) {
      continue;
    }
    if (value.kind == Bytes) {
      std::vector<uint8_t> bytes(value.length);
      for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(value.next++);
      }
      for (const SimPacket& packet : arrayPackets(address_, value.command, value.option, value.index, bytes)) {
        append(wire, packet);
      }
    } else {
      append(wire, sample(address_, value.command, value.option, value.index, value.kind, value.next, value.subindex,
                          timestamp));
      ++value.next;
      const uint8_t width = valueWidth(value.kind);
      if (width < 4) {
        value.next &= (1u << (8 * width)) - 1;
      }
    }
    ++count;
  }
  samplesSent_ += count;
  return count;
}

size_t StreamSource::burst(size_t rounds) {
  std::vector<uint8_t> wire;
  size_t count = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t i = 0; i < rounds; ++i) {
      count += appendRound(&wire);
    }
  }
  if (!wire.empty()) {
    engine_.injectBytes(wire);
  }
  return count;
}

void StreamSource::start(uint32_t rate) {
  {
    std::lock_guard<std::mutex> hold(runMutex_);
    rate_ = rate;
    ++generation_;
  }
  runCv_.notify_all();
}

void StreamSource::stop() { start(0); }

void StreamSource::loop() {
  std::unique_lock<std::mutex> hold(runMutex_);
  while (!quitting_) {
    if (rate_ == 0) {
      runCv_.wait(hold);
      continue;
    }
    const uint64_t generation = generation_;
    const uint64_t rate = rate_;
    const Clock::time_point begin = Clock::now();
    uint64_t rounds = 0;
    // Whole ticks, or one round per wake-up when rounds are rarer.
    const auto period = std::max<Clock::duration>(kTick, std::chrono::microseconds(1000000 / rate));
    Clock::time_point wake = begin;
    while (!quitting_ && generation_ == generation) {
      const uint64_t elapsedUs =
          static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count());
      const uint64_t target = elapsedUs * rate / 1000000 + 1;
      const uint64_t due = std::min(target - std::min(target, rounds), kMaxRoundsPerTick);
      if (due > 0) {
        hold.unlock();
        burst(static_cast<size_t>(due));
        hold.lock();
        rounds += due;
      }
      wake += period;
      runCv_.wait_until(hold, wake);
    }
  }
}

void StreamSource::enableKeys(const std::vector<uint32_t>& keys) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (uint32_t key : keys) {
    if (std::find(enabled_.begin(), enabled_.end(), key) == enabled_.end()) {
      enabled_.push_back(key);
    }
  }
}

void StreamSource::onKeysChanged(std::function<void(const std::vector<uint32_t>&)> changed) {
  std::lock_guard<std::mutex> hold(mutex_);
  keysChanged_ = std::move(changed);
}

void StreamSource::setControlSilent(bool silent) {
  std::lock_guard<std::mutex> hold(mutex_);
  controlSilent_ = silent;
}

void StreamSource::setControlError(uint8_t code) {
  std::lock_guard<std::mutex> hold(mutex_);
  controlError_ = code;
}

std::vector<uint32_t> StreamSource::enabledKeys() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return enabled_;
}

size_t StreamSource::controlRequests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return controlRequests_;
}

uint64_t StreamSource::samplesSent() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return samplesSent_;
}

std::vector<SimPacket> StreamSource::control(const SimPacket& request) {
  const std::vector<uint8_t>& d = request.data;
  if (d.size() < 3) {
    return {};
  }
  const uint8_t option = d[1];
  const uint8_t replyOption =
      (option & 0x80) != 0 ? static_cast<uint8_t>(option | kAckBits) : static_cast<uint8_t>(option & kOptionMask);
  const uint8_t index = static_cast<uint8_t>(d[2] & kIndexMask);
  auto refuse = [&](uint8_t code) {
    return std::vector<SimPacket>{
        SimPacket{address_, {kCommandStream, replyOption, static_cast<uint8_t>(kErrorFlag | index), code}}};
  };
  std::lock_guard<std::mutex> hold(mutex_);
  ++controlRequests_;
  if (controlSilent_) {
    return {};
  }
  if (controlError_ != 0) {
    return refuse(controlError_);
  }
  if (index != 0) {
    return refuse(kErrParam);
  }
  switch (option) {
    case kOptionEnable:
    case kOptionDisable: {
      if (d.size() != 7 || d[3] != address_) {
        return refuse(kErrParam);
      }
      const uint32_t key = (static_cast<uint32_t>(d[3]) << 24) | (static_cast<uint32_t>(d[4]) << 16) |
                           (static_cast<uint32_t>(d[5]) << 8) | d[6];
      auto at = std::find(enabled_.begin(), enabled_.end(), key);
      bool changed = false;
      if (option == kOptionEnable && at == enabled_.end()) {
        enabled_.push_back(key);
        changed = true;
      } else if (option == kOptionDisable && at != enabled_.end()) {
        enabled_.erase(at);
        changed = true;
      }
      if (changed && keysChanged_) {
        keysChanged_(enabled_);
      }
      return {SimPacket{address_, {kCommandStream, replyOption, 0}}};
    }
    case kOptionState:
      if (d.size() != 3) {
        return refuse(kErrParam);
      }
      return {SimPacket{address_, {kCommandStream, replyOption, 0, static_cast<uint8_t>(enabled_.empty() ? 0 : 1)}}};
    default:
      return refuse(kErrParam);
  }
}

}  // namespace simmodule
