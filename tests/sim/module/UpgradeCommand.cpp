#include "tests/sim/module/UpgradeCommand.h"

#include <chrono>
#include <thread>

namespace simmodule {

namespace {

constexpr size_t kPrepareLength = 7;  // 95, 3, flags, address (4)
constexpr size_t kWriteLength = 4;    // 95, 5, count (2)
constexpr std::chrono::milliseconds kRestartAfterReply(200);

uint32_t be32(const uint8_t* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

void putBe32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(uint8_t(value >> 24));
  out.push_back(uint8_t(value >> 16));
  out.push_back(uint8_t(value >> 8));
  out.push_back(uint8_t(value));
}

}  // namespace

UpgradeCommand::UpgradeCommand(ModuleEngine& engine, uint8_t node, Settings settings)
    : engine_(engine), node_(node), settings_(settings) {
  engine_.addNode(node_);
  engine_.setHandler(node_, kCommand, [this](const SimPacket& request) { return handle(request); });
}

UpgradeCommand::~UpgradeCommand() { engine_.removeHandler(node_, kCommand); }

void UpgradeCommand::setFaults(const Faults& faults) {
  std::lock_guard<std::mutex> hold(mutex_);
  faults_ = faults;
}

void UpgradeCommand::setMode(Mode mode) {
  std::lock_guard<std::mutex> hold(mutex_);
  mode_ = mode;
  begun_ = false;
  prepared_ = false;
  collected_.clear();
  sum_ = 0;
}

UpgradeCommand::Mode UpgradeCommand::mode() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return mode_;
}

UpgradeCommand::Counts UpgradeCommand::counts() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return counts_;
}

std::vector<UpgradeCommand::RamBlock> UpgradeCommand::ramBlocks() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return ram_;
}

std::vector<uint8_t> UpgradeCommand::loaderPrepareFlags() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return loaderFlags_;
}

std::vector<uint8_t> UpgradeCommand::flash(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<uint8_t> bytes(length, 0xFF);
  for (size_t i = 0; i < length; ++i) {
    auto at = flash_.find(address + uint32_t(i));
    if (at != flash_.end()) bytes[i] = at->second;
  }
  return bytes;
}

size_t UpgradeCommand::flashBytesWritten() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return flash_.size();
}

SimPacket UpgradeCommand::status(const SimPacket& request, uint8_t code) const {
  return SimPacket{request.address, {kCommand, kStatus, code}};
}

SimPacket UpgradeCommand::sumReply(const SimPacket& request) {
  ++counts_.sums;
  uint32_t sum = sum_;
  if (faults_.badSums > 0) {
    --faults_.badSums;
    sum += 1;
  } else if (mode_ == Mode::Loader && faults_.badLoaderSums > 0) {
    --faults_.badLoaderSums;
    sum += 1;
  }
  SimPacket reply = status(request, kAccepted);
  putBe32(reply.data, sum);
  return reply;
}

std::vector<SimPacket> UpgradeCommand::takePiece(const SimPacket& request) {
  ++counts_.pieces;
  const size_t n = request.data.size() - 2;
  if (faults_.rejectedPieces > 0 || n == 0 || !prepared_) {
    if (faults_.rejectedPieces > 0) --faults_.rejectedPieces;
    return {SimPacket{request.address, {kCommand, kData, 0}}};
  }
  for (size_t i = 2; i < request.data.size(); ++i) {
    sum_ += request.data[i];
  }
  if (mode_ == Mode::Resident) {
    ram_.back().bytes.insert(ram_.back().bytes.end(), request.data.begin() + 2, request.data.end());
  } else {
    collected_.insert(collected_.end(), request.data.begin() + 2, request.data.end());
  }
  return {SimPacket{request.address, {kCommand, kData, uint8_t(n)}}};
}

std::vector<SimPacket> UpgradeCommand::resident(const SimPacket& request, bool* restart) {
  switch (request.data[1]) {
    case kInit: {
      ++counts_.inits;
      begun_ = true;
      SimPacket reply{request.address, {kCommand, kInit}};
      putBe32(reply.data, settings_.loadBase);
      if (faults_.shortInitReply) reply.data.pop_back();
      return {reply};
    }
    case kPrepare: {
      if (request.data.size() < kPrepareLength) return {};
      ++counts_.prepares;
      if (!begun_ || faults_.refuseResidentPrepare) {
        SimPacket reply = status(request, begun_ ? kRefused : kNotBegun);
        reply.data.push_back(0);
        reply.data.push_back(0);
        return {reply};
      }
      ram_.push_back(RamBlock{request.data[2], be32(&request.data[3]), {}});
      prepared_ = true;
      sum_ = 0;
      SimPacket reply = status(request, kAccepted);
      reply.data.push_back(uint8_t(settings_.residentBlockSize >> 8));
      reply.data.push_back(uint8_t(settings_.residentBlockSize));
      return {reply};
    }
    case kData:
      return takePiece(request);
    case kSum:
      return {sumReply(request)};
    case kLoad:
      ++counts_.loads;
      if (!begun_) return {};
      *restart = true;
      mode_ = Mode::Loader;
      begun_ = false;
      prepared_ = false;
      collected_.clear();
      sum_ = 0;
      if (settings_.load == Load::RestartWithoutReply) return {};
      return {SimPacket{request.address, {kCommand, kLoad}}};
    default:
      // The resident firmware writes no flash and does not reboot on request.
      return {status(request, kRefused)};
  }
}

std::vector<SimPacket> UpgradeCommand::loader(const SimPacket& request, bool* drop) {
  switch (request.data[1]) {
    case kInit: {
      ++counts_.inits;
      SimPacket reply{request.address, {kCommand, kInit}};
      putBe32(reply.data, settings_.loadBase);
      return {reply};
    }
    case kPrepare: {
      if (request.data.size() < kPrepareLength) return {};
      ++counts_.prepares;
      if (faults_.refuseLoaderPrepare) {
        SimPacket reply = status(request, kRefused);
        reply.data.push_back(0);
        reply.data.push_back(0);
        return {reply};
      }
      loaderFlags_.push_back(request.data[2]);
      cursor_ = be32(&request.data[3]);
      prepared_ = true;
      collected_.clear();
      sum_ = 0;
      SimPacket reply = status(request, kAccepted);
      reply.data.push_back(uint8_t(settings_.loaderBlockSize >> 8));
      reply.data.push_back(uint8_t(settings_.loaderBlockSize));
      return {reply};
    }
    case kData:
      ++loaderPieces_;
      if (faults_.dropAfterLoaderPieces > 0 && loaderPieces_ == faults_.dropAfterLoaderPieces) {
        faults_.dropAfterLoaderPieces = 0;
        *drop = true;
        return {};
      }
      return takePiece(request);
    case kSum:
      return {sumReply(request)};
    case kWrite: {
      if (request.data.size() < kWriteLength) return {status(request, kBadCount)};
      ++counts_.writes;
      const size_t count = (size_t(request.data[2]) << 8) | request.data[3];
      if (faults_.failWrites) return {status(request, kRefused)};
      if (!prepared_ || count != collected_.size() || count == 0) return {status(request, kBadCount)};
      for (size_t i = 0; i < count; ++i) {
        flash_[cursor_ + uint32_t(i)] = collected_[i];
      }
      cursor_ += uint32_t(count);
      collected_.clear();
      sum_ = 0;
      return {status(request, kAccepted)};
    }
    case kReboot:
      ++counts_.reboots;
      mode_ = Mode::Resident;
      begun_ = false;
      prepared_ = false;
      collected_.clear();
      sum_ = 0;
      *drop = !faults_.keepLinkOnReboot;
      return {};
    default:
      return {};
  }
}

std::vector<SimPacket> UpgradeCommand::handle(const SimPacket& request) {
  if (request.data.size() < 2) return {};
  std::vector<SimPacket> replies;
  bool restart = false;
  bool drop = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (mode_ == Mode::Resident) {
      replies = resident(request, &restart);
      drop = restart && settings_.load != Load::ReplyAndStay;
    } else {
      replies = loader(request, &drop);
    }
  }
  if (!drop || !settings_.dropLinkOnRestart) return replies;
  // The reply leaves before the module goes away: queue it now, then end the
  // host's connection as a restarting module does.
  for (const SimPacket& reply : replies) {
    engine_.injectPacket(reply);
  }
  if (!replies.empty()) {
    // A module restarts a moment after its answer has left, not in the same
    // instant. The host drops what is queued on a link that has gone down,
    // so a connection ended at once could take the answer with it whenever
    // the host's caller is a little slow to start waiting for it.
    std::this_thread::sleep_for(kRestartAfterReply);
  }
  if (settings_.endConnection) {
    settings_.endConnection();
  } else {
    engine_.disconnect();
  }
  return {};
}

}  // namespace simmodule
