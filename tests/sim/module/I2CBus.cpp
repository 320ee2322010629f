#include "tests/sim/module/I2CBus.h"

namespace simmodule {

namespace {

constexpr uint8_t kReadBit = 0x01;
constexpr size_t kMaxTransfer = 23;
constexpr uint8_t kBadTransfer = 14;  // aErrSize

}  // namespace

I2CBus::I2CBus(ModuleEngine& engine, uint8_t nodeAddress, uint8_t index)
    : engine_(engine), node_(nodeAddress), index_(index) {
  if (node_ != engine_.address()) {
    engine_.addNode(node_);
  }
  engine_.setHandler(node_, kCommandI2C, [this](const SimPacket& request) { return handle(request); });
}

I2CBus::~I2CBus() { engine_.removeHandler(node_, kCommandI2C); }

void I2CBus::addDevice(uint8_t busAddress, std::vector<uint8_t> contents) {
  std::lock_guard<std::mutex> hold(mutex_);
  devices_[static_cast<uint8_t>(busAddress & ~kReadBit)] = std::move(contents);
}

void I2CBus::removeDevice(uint8_t busAddress) {
  std::lock_guard<std::mutex> hold(mutex_);
  devices_.erase(static_cast<uint8_t>(busAddress & ~kReadBit));
}

void I2CBus::setResponder(Responder responder) {
  std::lock_guard<std::mutex> hold(mutex_);
  responder_ = std::move(responder);
}

std::vector<I2CBus::Transfer> I2CBus::transfers() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return transfers_;
}

bool I2CBus::pullup() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return pullup_;
}

std::vector<SimPacket> I2CBus::handle(const SimPacket& request) {
  const std::vector<uint8_t>& d = request.data;
  Responder responder;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    responder = responder_;
  }
  if (responder) {
    return responder(request);
  }
  if (d.size() < 4 || d[1] != index_) {
    return {};
  }
  std::lock_guard<std::mutex> hold(mutex_);
  const uint8_t address = d[2];
  // The pull-up request is 4 bytes; a read from bus address 0 has 5.
  if (address == kPullupSelector && d.size() == 4) {
    pullup_ = d[3] != 0;
    return {SimPacket{node_, {kCommandI2C, index_, kPullupSelector, d[3], 0x00}}};
  }
  if (d.size() < 5) {
    return {};
  }
  const uint8_t length = d[3];
  const uint8_t speed = d[4];
  const bool read = (address & kReadBit) != 0;
  const uint8_t device = static_cast<uint8_t>(address & ~kReadBit);
  transfers_.push_back(Transfer{device, read, length, speed, std::vector<uint8_t>(d.begin() + 5, d.end())});
  auto found = devices_.find(device);
  const bool bad = length > kMaxTransfer || (!read && d.size() != static_cast<size_t>(5) + length);
  if (found == devices_.end() || bad) {
    const uint8_t code = found == devices_.end() ? kNoDevice : kBadTransfer;
    return {SimPacket{node_, {kCommandI2C, index_, address, 0, static_cast<uint8_t>(kStatusFailed | code)}}};
  }
  if (read) {
    SimPacket reply{node_, {kCommandI2C, index_, address, length, 0x00}};
    std::vector<uint8_t> contents = found->second;
    contents.resize(length, 0);
    reply.data.insert(reply.data.end(), contents.begin(), contents.end());
    return {reply};
  }
  found->second.assign(d.begin() + 5, d.end());
  return {SimPacket{node_, {kCommandI2C, index_, address, 0, 0x00}}};
}

}  // namespace simmodule
