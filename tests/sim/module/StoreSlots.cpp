#include "tests/sim/module/StoreSlots.h"

#include <algorithm>

namespace simmodule {

namespace {

constexpr uint8_t kSubCapacity = 1;
constexpr uint8_t kSubSize = 2;
constexpr uint8_t kSubOpenRead = 3;
constexpr uint8_t kSubOpenWrite = 4;
constexpr uint8_t kSubRead = 6;
constexpr uint8_t kSubWrite = 7;
constexpr uint8_t kSubClose = 8;
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kReadPiece = kMaxData - 3;

}  // namespace

StoreSlots::StoreSlots(ModuleEngine& engine, uint8_t address) : engine_(engine), address_(address) {
  engine_.setHandler(address_, kCommandSlot, [this](const SimPacket& request) { return handle(request); });
}

StoreSlots::~StoreSlots() { engine_.removeHandler(address_, kCommandSlot); }

void StoreSlots::defineSlot(uint8_t store, uint8_t slot, size_t capacity, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(mutex_);
  slots_[{store, slot}] = Slot{capacity, bytes};
}

std::vector<uint8_t> StoreSlots::contents(uint8_t store, uint8_t slot) const {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = slots_.find({store, slot});
  return found == slots_.end() ? std::vector<uint8_t>() : found->second.bytes;
}

void StoreSlots::setResponder(uint8_t sub, Responder responder) {
  std::lock_guard<std::mutex> hold(mutex_);
  responders_[sub] = std::move(responder);
}

size_t StoreSlots::openHandles() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return handles_.size();
}

size_t StoreSlots::closes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return closes_;
}

std::vector<SimPacket> StoreSlots::handle(const SimPacket& request) {
  const std::vector<uint8_t>& d = request.data;
  if (d.size() < 3) {
    return {};
  }
  Responder responder;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = responders_.find(d[1]);
    if (found != responders_.end()) {
      responder = found->second;
    }
  }
  if (responder) {
    std::vector<SimPacket> answer = responder(request);
    if (d[1] == kSubClose) {
      std::lock_guard<std::mutex> hold(mutex_);
      handles_.erase(d[2]);
      ++closes_;
    }
    return answer;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  const uint8_t sub = d[1];
  if (sub == kSubCapacity || sub == kSubSize || sub == kSubOpenRead || sub == kSubOpenWrite) {
    if (d.size() != 4) {
      return {};
    }
    return onSlot(sub, d[2], d[3]);
  }
  return onHandle(sub, d[2], std::vector<uint8_t>(d.begin() + 3, d.end()));
}

std::vector<SimPacket> StoreSlots::onSlot(uint8_t sub, uint8_t store, uint8_t slot) {
  auto refuse = [&](uint8_t code) {
    return std::vector<SimPacket>{
        SimPacket{address_, {kCommandSlot, static_cast<uint8_t>(sub | kErrorBit), store, slot, code}}};
  };
  auto found = slots_.find({store, slot});
  if (found == slots_.end()) {
    return refuse(kErrIndexRange);
  }
  const Slot& s = found->second;
  if (sub == kSubCapacity || sub == kSubSize) {
    const size_t value = sub == kSubCapacity ? s.capacity : s.bytes.size();
    return {SimPacket{address_,
                      {kCommandSlot, sub, store, slot, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}}};
  }
  for (const auto& open : handles_) {
    if (open.second.slot == found->first && (open.second.writing || sub == kSubOpenWrite)) {
      return refuse(kErrBusy);
    }
  }
  uint8_t number = 0;
  while (number < kHandles && handles_.count(number) != 0) {
    ++number;
  }
  if (number == kHandles) {
    return refuse(kErrBusy);
  }
  Handle h;
  h.slot = found->first;
  h.writing = sub == kSubOpenWrite;
  handles_[number] = h;
  return {SimPacket{address_, {kCommandSlot, sub, store, slot, number}}};
}

std::vector<SimPacket> StoreSlots::onHandle(uint8_t sub, uint8_t number, const std::vector<uint8_t>& data) {
  auto refuse = [&](uint8_t code) {
    return std::vector<SimPacket>{
        SimPacket{address_, {kCommandSlot, static_cast<uint8_t>(sub | kErrorBit), number, code}}};
  };
  auto found = handles_.find(number);
  if (found == handles_.end()) {
    return refuse(kErrParam);
  }
  Handle& h = found->second;
  Slot& slot = slots_[h.slot];
  switch (sub) {
    case kSubRead: {
      if (h.writing || !data.empty()) {
        return refuse(kErrParam);
      }
      if (h.offset >= slot.bytes.size()) {
        return refuse(kErrOverrun);
      }
      const size_t n = std::min(kReadPiece, slot.bytes.size() - h.offset);
      SimPacket reply{address_, {kCommandSlot, kSubRead, number}};
      reply.data.insert(reply.data.end(), slot.bytes.begin() + static_cast<long>(h.offset),
                        slot.bytes.begin() + static_cast<long>(h.offset + n));
      h.offset += n;
      return {reply};
    }
    case kSubWrite: {
      if (!h.writing || data.empty()) {
        return refuse(kErrParam);
      }
      if (h.written.size() + data.size() > slot.capacity) {
        return refuse(kErrSize);
      }
      uint8_t sum = 0;
      for (uint8_t byte : data) {
        sum = static_cast<uint8_t>(sum + byte);
      }
      h.written.insert(h.written.end(), data.begin(), data.end());
      return {SimPacket{address_, {kCommandSlot, kSubWrite, number, sum}}};
    }
    case kSubClose:
      if (h.writing) {
        slot.bytes = h.written;
      }
      handles_.erase(found);
      ++closes_;
      return {SimPacket{address_, {kCommandSlot, kSubClose, number, 0}}};
    default:
      return refuse(kErrParam);
  }
}

}  // namespace simmodule
