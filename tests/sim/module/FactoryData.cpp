#include "tests/sim/module/FactoryData.h"

#include <algorithm>

namespace simmodule {

namespace {

constexpr uint8_t kIndexMask = 0x0F;
constexpr uint8_t kFlagWrite = 0x10;
constexpr uint8_t kFlagEnd = 0x20;
constexpr uint8_t kFlagFirst = 0x40;
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kPiece = kMaxData - 2;

}  // namespace

FactoryData::FactoryData(ModuleEngine& engine, uint8_t address, size_t blockCapacity)
    : engine_(engine), address_(address), capacity_(blockCapacity) {
  engine_.setHandler(address_, kCommandFactory, [this](const SimPacket& request) { return handle(request); });
}

FactoryData::~FactoryData() { engine_.removeHandler(address_, kCommandFactory); }

void FactoryData::setBlock(uint8_t index, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(mutex_);
  blocks_.at(index & kIndexMask) = bytes;
}

std::vector<uint8_t> FactoryData::block(uint8_t index) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return blocks_.at(index & kIndexMask);
}

void FactoryData::setOverride(Override override) {
  std::lock_guard<std::mutex> hold(mutex_);
  override_ = std::move(override);
}

uint16_t FactoryData::lastEndCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lastEndCount_;
}

size_t FactoryData::ends() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return ends_;
}

std::vector<SimPacket> FactoryData::handle(const SimPacket& request) {
  const std::vector<uint8_t>& d = request.data;
  Override override;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    override = override_;
  }
  std::vector<SimPacket> answer;
  if (override && override(request, &answer)) {
    return answer;
  }
  if (d.size() < 2) {
    return {};
  }
  const uint8_t flags = static_cast<uint8_t>(d[1] & ~kIndexMask);
  const uint8_t index = static_cast<uint8_t>(d[1] & kIndexMask);
  auto refuse = [&](uint8_t at, uint8_t code) {
    return std::vector<SimPacket>{SimPacket{address_, {kCommandFactory, static_cast<uint8_t>(at | kErrorBit), code}}};
  };
  std::lock_guard<std::mutex> hold(mutex_);
  if (flags == kFlagEnd) {
    if (d.size() != 4) {
      return refuse(0, kErrParam);
    }
    const uint16_t count = static_cast<uint16_t>((d[2] << 8) | d[3]);
    lastEndCount_ = count;
    ++ends_;
    if (transfer_ == Transfer::None) {
      // An empty write is its end alone.
      return count == 0 ? std::vector<SimPacket>{SimPacket{address_, {kCommandFactory, 0}}} : refuse(0, kErrParam);
    }
    const Transfer ended = transfer_;
    transfer_ = Transfer::None;
    if (count != moved_) {
      return refuse(0, kErrSize);
    }
    if (ended == Transfer::Write) {
      blocks_[index_] = written_;
    }
    return {SimPacket{address_, {kCommandFactory, 0}}};
  }
  if (flags == kFlagFirst || flags == 0) {
    if (d.size() != 2) {
      return refuse(index, kErrParam);
    }
    if (flags == kFlagFirst) {
      transfer_ = Transfer::Read;
      index_ = index;
      moved_ = 0;
    } else if (transfer_ != Transfer::Read || index_ != index) {
      return refuse(index, kErrParam);
    }
    const std::vector<uint8_t>& bytes = blocks_[index];
    const size_t n = std::min(kPiece, bytes.size() - std::min(bytes.size(), moved_));
    SimPacket reply{address_, {kCommandFactory, index}};
    reply.data.insert(reply.data.end(), bytes.begin() + static_cast<long>(moved_),
                      bytes.begin() + static_cast<long>(moved_ + n));
    moved_ += n;
    return {reply};
  }
  if (flags == (kFlagWrite | kFlagFirst) || flags == kFlagWrite) {
    if (flags == (kFlagWrite | kFlagFirst)) {
      transfer_ = Transfer::Write;
      index_ = index;
      moved_ = 0;
      written_.clear();
    } else if (transfer_ != Transfer::Write || index_ != index) {
      return refuse(index, kErrParam);
    }
    if (written_.size() + d.size() - 2 > capacity_) {
      return refuse(index, kErrSize);
    }
    written_.insert(written_.end(), d.begin() + 2, d.end());
    moved_ += d.size() - 2;
    return {SimPacket{address_, {kCommandFactory, index}}};
  }
  return refuse(index, kErrParam);
}

}  // namespace simmodule
