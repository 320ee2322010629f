#include "tests/sim/bootrom/ImxSdpRom.h"

#include <algorithm>

namespace bootrom {

namespace {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteRegister = 0x0202;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kJumpAddress = 0x0B0B;

constexpr uint32_t kFuseCfg0 = 0x401F4410;
constexpr uint32_t kFuseCfg1 = 0x401F4420;
constexpr uint32_t kMaxRegisterRead = 1024;

struct Region {
  uint32_t base;
  uint32_t size;
};
const Region kRegions[] = {{0x00000000, 0x80000}, {0x20000000, 0x80000}, {0x20200000, 0x80000}};

// The format byte of a register access: its width in bits, 0 for none the
// ROM knows.
unsigned accessWidth(uint8_t format) { return format == 0x08 || format == 0x10 || format == 0x20 ? format : 0; }

constexpr size_t kVectorTableBytes = 32;

uint32_t littleEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint32_t bigEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void appendLittleEndian(std::vector<uint8_t>& out, uint32_t word) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<uint8_t>(word >> (8 * i)));
  }
}

}  // namespace

ImxSdpRom::ImxSdpRom(uint64_t uniqueId, SdpFaults faults) : uniqueId_(uniqueId), faults_(faults) {}

bool ImxSdpRom::mapped(uint32_t address, uint32_t count) const {
  for (const Region& r : kRegions) {
    if (address >= r.base && count <= r.size && address - r.base <= r.size - count) {
      return true;
    }
  }
  return false;
}

// Later downloads cover earlier ones.
uint32_t ImxSdpRom::readWord(uint32_t address) const {
  if (address == kFuseCfg0) {
    return static_cast<uint32_t>(uniqueId_);
  }
  if (address == kFuseCfg1) {
    return static_cast<uint32_t>(uniqueId_ >> 32);
  }
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t at = address + static_cast<uint32_t>(i);
    for (const Download& d : downloads_) {
      if (at >= d.address && at - d.address < d.bytes.size() && mapped(d.address, d.count)) {
        word = (word & ~(0xFFu << (8 * i))) | static_cast<uint32_t>(d.bytes[at - d.address]) << (8 * i);
      }
    }
  }
  return word;
}

std::vector<uint8_t> ImxSdpRom::written(uint32_t address, size_t count, std::vector<bool>* present) const {
  std::vector<uint8_t> out(count, 0);
  present->assign(count, false);
  for (const Download& d : downloads_) {
    if (!mapped(d.address, d.count)) {
      continue;
    }
    for (size_t i = 0; i < d.bytes.size(); ++i) {
      const uint64_t at = static_cast<uint64_t>(d.address) + i;
      if (at >= address && at - address < count) {
        out[at - address] = d.bytes[i];
        (*present)[at - address] = true;
      }
    }
  }
  return out;
}

// The header the ROM looks for where it is told to jump, in what the host
// wrote there; a signed image's table names its CSF.
bool ImxSdpRom::holdsVectorTable(uint32_t address, bool* signedImage) const {
  std::vector<bool> present;
  const std::vector<uint8_t> ivt = written(address, kVectorTableBytes, &present);
  for (bool p : present) {
    if (!p) {
      return false;
    }
  }
  const uint32_t self = littleEndian(ivt.data() + 20);
  *signedImage = littleEndian(ivt.data() + 24) != 0;
  return ivt[0] == 0xD1 && ivt[1] == 0x00 && ivt[2] == 0x20 && ivt[3] >= 0x40 && ivt[3] <= 0x43 && self == address;
}

std::vector<SdpFrame> ImxSdpRom::answer(std::vector<uint8_t> payload, bool withPayload) {
  std::vector<SdpFrame> frames;
  SdpFrame hab;
  hab.habMode = true;
  appendLittleEndian(hab.bytes, habClosed_ ? kHabClosed : kHabOpen);
  frames.push_back(hab);
  if (withPayload) {
    frames.push_back(SdpFrame{false, std::move(payload)});
  }
  switch (faults_.shape) {
    case SdpAnswerShape::Normal:
      break;
    case SdpAnswerShape::Short:
      if (frames.size() > 1 && frames[1].bytes.size() > 2) {
        frames[1].bytes.resize(2);
      }
      break;
    case SdpAnswerShape::Garbage:
      frames = {SdpFrame{false, {0xA5, 0x5A, 0x00, 0xFF, 0x13, 0x37, 0x42, 0x99, 0x01}}};
      break;
    case SdpAnswerShape::Doubled: {
      std::vector<SdpFrame> twice = frames;
      twice.insert(twice.end(), frames.begin(), frames.end());
      frames = twice;
      break;
    }
  }
  return frames;
}

std::vector<SdpFrame> ImxSdpRom::command(const uint8_t* bytes) {
  std::function<void(uint32_t)> jumpCallback;
  uint32_t jumpTo = 0;
  std::vector<SdpFrame> frames;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jumped_ || faults_.silent) {
      return frames;
    }
    const uint16_t type = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    const uint32_t address = bigEndian(bytes + 2);
    const unsigned width = accessWidth(bytes[6]);
    const uint32_t count = bigEndian(bytes + 7);
    const uint32_t value = bigEndian(bytes + 11);
    commandTypes_.push_back(type);
    switch (type) {
      case kErrorStatus: {
        if (faults_.ignoreStatusRequests > 0) {
          --faults_.ignoreStatusRequests;
          break;
        }
        std::vector<uint8_t> status;
        appendLittleEndian(status, kStatusOk);
        frames = answer(status, true);
        break;
      }
      case kWriteFile:
        downloads_.push_back(Download{address, count, {}});
        overrun_ = false;
        downloading_ = count > 0;
        if (faults_.speakDuringDownload) {
          frames = answer({}, false);
        }
        if (count == 0) {
          std::vector<uint8_t> status;
          appendLittleEndian(status, faults_.downloadCompleteWord);
          frames = answer(status, true);
        }
        break;
      case kWriteRegister: {
        std::vector<uint8_t> status;
        if (width == 0 || address % (width / 8) != 0) {
          appendLittleEndian(status, kAccessRefused);
        } else {
          const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
          registerWrites_.push_back(RegisterWrite{address, width, value & mask});
          appendLittleEndian(status, kRegisterWritten);
        }
        frames = answer(status, true);
        break;
      }
      case kReadRegister: {
        if (!faults_.answerReadRegister) {
          break;
        }
        if (width == 0 || address % (width / 8) != 0 || count % (width / 8) != 0) {
          std::vector<uint8_t> status;
          appendLittleEndian(status, kAccessRefused);
          frames = answer(status, true);
          break;
        }
        std::vector<uint8_t> value;
        const uint32_t n = std::min(count, kMaxRegisterRead);
        for (uint32_t at = 0; at < n; at += 4) {
          appendLittleEndian(value, readWord(address + at));
        }
        value.resize(n);
        frames = answer(value, true);
        break;
      }
      case kJumpAddress: {
        bool signedImage = false;
        const bool table = holdsVectorTable(address, &signedImage);
        if (!table || (habClosed_ && !signedImage)) {
          std::vector<uint8_t> status;
          appendLittleEndian(status, !table ? kJumpRefused : kHabFailure);
          frames = answer(status, true);
          ++refusedJumps_;
          break;
        }
        // The ROM hands the chip to the image: nothing more comes back.
        jumped_ = true;
        jumpAddress_ = address;
        jumpCallback = onJump_;
        jumpTo = address;
        break;
      }
      default:
        break;  // not a command this ROM knows: ignored
    }
  }
  if (jumpCallback) {
    jumpCallback(jumpTo);
  }
  return frames;
}

size_t ImxSdpRom::dataExpected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!downloading_ || downloads_.empty()) {
    return 0;
  }
  const Download& d = downloads_.back();
  return d.count - d.bytes.size();
}

std::vector<SdpFrame> ImxSdpRom::data(const uint8_t* bytes, size_t count, size_t* taken, bool wholeReport) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (taken != nullptr) {
    *taken = 0;
  }
  if (!downloading_ || downloads_.empty() || faults_.silent) {
    return {};
  }
  Download& d = downloads_.back();
  const size_t owed = d.count - d.bytes.size();
  const size_t n = std::min(owed, count);
  d.bytes.insert(d.bytes.end(), bytes, bytes + n);
  if (taken != nullptr) {
    *taken = n;
  }
  if (wholeReport && count > owed) {
    overrun_ = true;
  }
  if (d.bytes.size() < d.count) {
    return {};
  }
  downloading_ = false;
  if (!faults_.confirmDownload) {
    return {};
  }
  std::vector<uint8_t> status;
  appendLittleEndian(status, !mapped(d.address, d.count) ? kDownloadRefused
                             : overrun_                  ? kSizeMismatch
                                                         : faults_.downloadCompleteWord);
  return answer(status, true);
}

void ImxSdpRom::setFaults(const SdpFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

void ImxSdpRom::setHabClosed(bool closed) {
  std::lock_guard<std::mutex> lock(mutex_);
  habClosed_ = closed;
}

void ImxSdpRom::setOnJump(std::function<void(uint32_t)> onJump) {
  std::lock_guard<std::mutex> lock(mutex_);
  onJump_ = std::move(onJump);
}

std::vector<uint16_t> ImxSdpRom::commandTypes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commandTypes_;
}

unsigned ImxSdpRom::refusedJumps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusedJumps_;
}

std::vector<ImxSdpRom::RegisterWrite> ImxSdpRom::registerWrites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registerWrites_;
}

std::vector<ImxSdpRom::Download> ImxSdpRom::downloads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return downloads_;
}

std::vector<uint8_t> ImxSdpRom::memory(uint32_t address, size_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> out(count, 0);
  for (const Download& d : downloads_) {
    if (!mapped(d.address, d.count)) {
      continue;
    }
    for (size_t i = 0; i < d.bytes.size(); ++i) {
      uint64_t at = static_cast<uint64_t>(d.address) + i;
      if (at >= address && at - address < count) {
        out[at - address] = d.bytes[i];
      }
    }
  }
  return out;
}

bool ImxSdpRom::jumped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jumped_;
}

uint32_t ImxSdpRom::jumpAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jumpAddress_;
}

}  // namespace bootrom
