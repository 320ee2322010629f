#include "tests/sim/module/ModuleEngine.h"

#include <algorithm>

namespace simmodule {

namespace {

constexpr uint8_t kHeartbeatLength = 2;
constexpr uint8_t kHeartbeatAnswerOffset = 2;
constexpr uint8_t kBadLength = kMaxData + 1;

}  // namespace

ModuleEngine::ModuleEngine(uint8_t address) : address_(address) {
  nodes_[address_][kCommandEcho] = [](const SimPacket& request) {
    return std::vector<SimPacket>{SimPacket{request.address, request.data}};
  };
  worker_ = std::thread([this] { workerLoop(); });
}

ModuleEngine::~ModuleEngine() {
  {
    std::lock_guard<std::mutex> hold(outMutex_);
    stopping_ = true;
    output_ = nullptr;
    disconnect_ = nullptr;
  }
  outCv_.notify_all();
  worker_.join();
}

void ModuleEngine::attach(Output output, Disconnect disconnect) {
  std::lock_guard<std::mutex> hold(outMutex_);
  output_ = std::move(output);
  disconnect_ = std::move(disconnect);
}

void ModuleEngine::detach() {
  std::lock_guard<std::mutex> hold(outMutex_);
  output_ = nullptr;
  disconnect_ = nullptr;
  pending_.clear();
}

void ModuleEngine::hostConnected() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    framer_.reset();
    ++connection_;
  }
  changed();
}

void ModuleEngine::hostWrote(const uint8_t* bytes, size_t length) {
  std::vector<SimPacket> packets;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    raw_.insert(raw_.end(), bytes, bytes + length);
    for (size_t i = 0; i < length; ++i) {
      SimPacket packet;
      switch (framer_.feed(bytes[i], &packet)) {
        case HostFramer::Result::Packet:
          received_.push_back(HostPacket{connection_, packet});
          packets.push_back(packet);
          break;
        case HostFramer::Result::Error:
          ++framingErrors_;
          break;
        case HostFramer::Result::More:
          break;
      }
    }
  }
  for (const SimPacket& packet : packets) {
    takePacket(packet);
  }
  changed();
}

void ModuleEngine::takePacket(const SimPacket& packet) {
  Handler handler;
  bool silent = false;
  size_t syncAnswers = 1;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    silent = silent_;
    if (packet.address == kSyncAddress) {
      if (!packet.data.empty()) {
        unhandled_.push_back(packet);
        return;
      }
      ++syncRequests_;
      if (syncHold_ > 1) {
        syncAnswers = ++syncHeld_ >= syncHold_ ? syncHeld_ : 0;
        if (syncAnswers > 0) {
          syncHeld_ = 0;
        }
      }
    } else if (packet.address == kForceRouteAddress) {
      if (packet.data.size() == 1) {
        forceRoutes_.push_back(packet.data[0]);
      } else {
        unhandled_.push_back(packet);
      }
      return;
    } else if (packet.address == address_ && packet.data.size() == kHeartbeatLength && packet.data[0] == 0) {
      auto at = std::find(expectedAnswers_.begin(), expectedAnswers_.end(), packet.data[1]);
      if (at != expectedAnswers_.end()) {
        expectedAnswers_.erase(at);
        ++heartbeats_.answered;
      } else {
        ++heartbeats_.wrong;
      }
      return;
    } else {
      auto node = nodes_.find(packet.address);
      if (node != nodes_.end() && !packet.data.empty()) {
        auto entry = node->second.find(packet.data[0]);
        if (entry != node->second.end()) {
          handler = entry->second;
        }
      }
      if (!handler) {
        unhandled_.push_back(packet);
        return;
      }
    }
  }
  if (silent) {
    return;
  }
  if (packet.address == kSyncAddress) {
    answer(std::vector<SimPacket>(syncAnswers, SimPacket{address_, {}}));
    return;
  }
  answer(handler(packet));
}

void ModuleEngine::answer(const std::vector<SimPacket>& packets) {
  uint32_t delay = 0;
  AnswerHook hook;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    delay = replyDelayMS_;
    hook = answerHook_;
  }
  for (SimPacket packet : packets) {
    uint32_t packetDelay = delay;
    if (hook && !hook(&packet, &packetDelay)) {
      continue;
    }
    emit(packet.wire(), packetDelay);
  }
}

void ModuleEngine::emit(const std::vector<uint8_t>& bytes, uint32_t delayMS) {
  std::lock_guard<std::mutex> hold(outMutex_);
  if (delayMS == 0 && pending_.empty()) {
    if (output_) {
      output_(bytes.data(), bytes.size());
    }
    return;
  }
  // By due time, in order of emission among equals: an answer held back
  // longer does not hold up the ones after it.
  const Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMS);
  auto at = std::upper_bound(pending_.begin(), pending_.end(), due,
                             [](const Clock::time_point& t, const Pending& p) { return t < p.due; });
  pending_.insert(at, Pending{due, bytes});
  outCv_.notify_all();
}

void ModuleEngine::addNode(uint8_t address) {
  std::lock_guard<std::mutex> hold(mutex_);
  nodes_[address];
}

void ModuleEngine::setHandler(uint8_t address, uint8_t command, Handler handler) {
  std::lock_guard<std::mutex> hold(mutex_);
  nodes_[address][command] = std::move(handler);
}

void ModuleEngine::removeHandler(uint8_t address, uint8_t command) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto node = nodes_.find(address);
  if (node != nodes_.end()) {
    node->second.erase(command);
  }
}

void ModuleEngine::sendHeartbeat(uint8_t n) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (silent_) {
      return;
    }
    ++heartbeats_.sent;
    expectedAnswers_.push_back(static_cast<uint8_t>(n + kHeartbeatAnswerOffset));
  }
  emit(SimPacket{address_, {0, n}}.wire(), 0);
  changed();
}

void ModuleEngine::startHeartbeats(uint32_t periodMS, uint8_t n) {
  {
    std::lock_guard<std::mutex> hold(outMutex_);
    heartbeatPeriodMS_ = periodMS;
    heartbeatValue_ = n;
    nextHeartbeat_ = Clock::now() + std::chrono::milliseconds(periodMS);
  }
  outCv_.notify_all();
}

void ModuleEngine::stopHeartbeats() {
  std::lock_guard<std::mutex> hold(outMutex_);
  heartbeatPeriodMS_ = 0;
}

void ModuleEngine::setSilent(bool silent) {
  std::lock_guard<std::mutex> hold(mutex_);
  silent_ = silent;
}

void ModuleEngine::setReplyDelay(uint32_t ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  replyDelayMS_ = ms;
}

void ModuleEngine::setAnswerHook(AnswerHook hook) {
  std::lock_guard<std::mutex> hold(mutex_);
  answerHook_ = std::move(hook);
}

void ModuleEngine::holdSyncAnswers(size_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  syncHold_ = count;
  syncHeld_ = 0;
}

void ModuleEngine::injectBytes(const std::vector<uint8_t>& bytes) { emit(bytes, 0); }

void ModuleEngine::injectPacket(const SimPacket& packet) { emit(packet.wire(), 0); }

void ModuleEngine::injectOddAddress() { injectBytes({0x07, 0x00}); }

void ModuleEngine::injectZeroAddress() { injectBytes({0x00}); }

void ModuleEngine::injectBadLength() { injectBytes({address_, kBadLength}); }

void ModuleEngine::injectGarbage(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t state = seed == 0 ? 1 : seed;
  for (uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  injectBytes(bytes);
}

void ModuleEngine::disconnect() {
  Disconnect disconnect;
  {
    std::lock_guard<std::mutex> hold(outMutex_);
    disconnect = disconnect_;
  }
  if (disconnect) {
    disconnect();
  }
}

std::vector<ModuleEngine::HostPacket> ModuleEngine::received() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return received_;
}

std::vector<uint8_t> ModuleEngine::rawReceived() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return raw_;
}

std::vector<SimPacket> ModuleEngine::unhandled() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return unhandled_;
}

size_t ModuleEngine::syncRequests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return syncRequests_;
}

std::vector<uint8_t> ModuleEngine::forceRoutes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return forceRoutes_;
}

ModuleEngine::Heartbeats ModuleEngine::heartbeats() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return heartbeats_;
}

size_t ModuleEngine::framingErrors() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return framingErrors_;
}

uint32_t ModuleEngine::connections() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return connection_;
}

void ModuleEngine::clearRecords() {
  std::lock_guard<std::mutex> hold(mutex_);
  received_.clear();
  raw_.clear();
  unhandled_.clear();
  syncRequests_ = 0;
  forceRoutes_.clear();
  heartbeats_ = Heartbeats();
  expectedAnswers_.clear();
  framingErrors_ = 0;
}

void ModuleEngine::changed() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++generation_;
  }
  changedCv_.notify_all();
}

bool ModuleEngine::waitUntil(const std::function<bool()>& condition, int timeoutMS) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMS);
  for (;;) {
    uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      seen = generation_;
    }
    if (condition()) {
      return true;
    }
    std::unique_lock<std::mutex> hold(mutex_);
    if (!changedCv_.wait_until(hold, deadline, [&] { return generation_ != seen; })) {
      hold.unlock();
      return condition();
    }
  }
}

void ModuleEngine::workerLoop() {
  std::unique_lock<std::mutex> hold(outMutex_);
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    if (!pending_.empty() && pending_.front().due <= now) {
      Pending due = std::move(pending_.front());
      pending_.pop_front();
      if (output_) {
        output_(due.bytes.data(), due.bytes.size());
      }
      continue;
    }
    if (heartbeatPeriodMS_ > 0 && now >= nextHeartbeat_) {
      nextHeartbeat_ = now + std::chrono::milliseconds(heartbeatPeriodMS_);
      const uint8_t n = heartbeatValue_;
      hold.unlock();
      sendHeartbeat(n);
      hold.lock();
      continue;
    }
    Clock::time_point wake = Clock::time_point::max();
    if (!pending_.empty()) {
      wake = pending_.front().due;
    }
    if (heartbeatPeriodMS_ > 0) {
      wake = std::min(wake, nextHeartbeat_);
    }
    if (wake == Clock::time_point::max()) {
      outCv_.wait(hold);
    } else {
      outCv_.wait_until(hold, wake);
    }
  }
}

}  // namespace simmodule
