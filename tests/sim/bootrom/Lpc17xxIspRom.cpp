#include "tests/sim/bootrom/Lpc17xxIspRom.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace bootrom {

namespace {

// Return codes of the ISP handler.
enum Code : int {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
};

constexpr uint32_t kLocalRam = 0x10000000;
constexpr uint32_t kAhbRam = 0x2007C000;
constexpr uint32_t kRamSize = 0x8000;
constexpr uint32_t kIspReservedEnd = 0x10000200;  // the handler's own RAM
constexpr unsigned kLastSector = 29;
constexpr unsigned kLinesPerBlock = 20;
constexpr size_t kBytesPerLine = 45;
constexpr size_t kMaxLine = 256;

std::string codeLine(int code) { return std::to_string(code) + "\r\n"; }

unsigned sectorOf(uint32_t address) {
  return address < 0x10000 ? address / 0x1000 : 16 + (address - 0x10000) / 0x8000;
}

// Decimal arguments only, as the handler parses them.
bool number(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) {
    return false;
  }
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) {
    return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

uint32_t littleEndianWord(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t byteSum(const uint8_t* data, size_t count) {
  uint32_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    total += data[i];
  }
  return total;
}

}  // namespace

Lpc17xxIspRom::Lpc17xxIspRom(LpcIdentity identity, LpcFaults faults, LpcTiming timing)
    : identity_(identity),
      faults_(std::move(faults)),
      timing_(timing),
      flash_(kFlashSize, 0xFF),
      localRam_(kRamSize, 0),
      ahbRam_(kRamSize, 0) {}

std::string Lpc17xxIspRom::receive(const std::string& bytes) {
  std::string out;
  for (const LpcAnswerPart& part : receiveAt(bytes, 0)) {
    out += part.bytes;
  }
  return out;
}

std::vector<LpcAnswerPart> Lpc17xxIspRom::receiveAt(const std::string& bytes, unsigned arrivalBaud) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LpcAnswerPart> parts;
  if (faults_.silent) {
    return parts;
  }
  std::string out;
  holds_.clear();
  size_t done = 0;
  auto append = [&](const std::string& text) {
    if (parts.empty() || parts.back().rateAfter != 0) {
      parts.push_back({0, "", 0, 0});
    }
    parts.back().bytes += text;
  };
  for (char c : bytes) {
    const unsigned before = uartBaud_;
    takeByte(c, out, arrivalBaud);
    if (uartBaud_ != before) {
      parts.push_back({0, "", 0, uartBaud_});  // auto-baud found the host's rate
    }
    // What the byte brought, split where the chip is busy.
    size_t from = done;
    for (const auto& h : holds_) {
      append(out.substr(from, h.first - from));
      parts.push_back({h.second, "", 0, 0});
      from = h.first;
    }
    append(out.substr(from));
    holds_.clear();
    done = out.size();
    if (pendingBaud_ != 0) {
      uartBaud_ = pendingBaud_;  // "B" is answered at the old rate
      parts.back().rateAfter = uartBaud_;
      pendingBaud_ = 0;
    }
  }
  std::vector<LpcAnswerPart> kept;
  for (LpcAnswerPart& part : parts) {
    if (!part.bytes.empty() || part.holdMS != 0 || part.rateAfter != 0 || part.rateBefore != 0) kept.push_back(std::move(part));
  }
  return kept;
}

unsigned Lpc17xxIspRom::uartBaud() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uartBaud_;
}

void Lpc17xxIspRom::hold(unsigned ms, std::string& out) {
  if (ms != 0) {
    holds_.push_back({out.size(), ms});
  }
}

void Lpc17xxIspRom::takeByte(char c, std::string& out, unsigned arrivalBaud) {
  switch (state_) {
    case State::Running:
      return;
    case State::AwaitQuestion:
      // Auto-baud listens for "?" and nothing else, and takes its rate.
      if (c == '?') {
        uartBaud_ = arrivalBaud;
        out += faults_.syncGreeting;
        state_ = State::AwaitSynchronized;
        line_.clear();
      }
      return;
    default:
      break;
  }
  if (echo_) {
    out += c;
  }
  if (c == '\n') {
    std::string line = line_;
    line_.clear();
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    takeLine(line, out);
    return;
  }
  if (line_.size() < kMaxLine) {
    line_ += c;
  }
}

void Lpc17xxIspRom::takeLine(const std::string& line, std::string& out) {
  switch (state_) {
    case State::AwaitSynchronized:
      if (line == "Synchronized") {
        out += faults_.syncAccepted;
        state_ = State::AwaitCrystal;
      } else {
        state_ = State::AwaitQuestion;  // not verified: wait for "?" again
      }
      return;
    case State::AwaitCrystal: {
      uint32_t khz = 0;
      crystalKHz_ = number(line, &khz) ? khz : 0;
      out += faults_.crystalAccepted;
      synchronized_ = true;
      state_ = State::Command;
      return;
    }
    case State::Command:
      command(line, out);
      return;
    case State::WriteData:
      writeDataLine(line, out);
      return;
    case State::ReadVerdict:
      readVerdict(line, out);
      return;
    default:
      return;
  }
}

bool Lpc17xxIspRom::sectorsPrepared(unsigned first, unsigned last) const {
  for (unsigned s = first; s <= last; ++s) {
    if (s > kLastSector || !prepared_[s]) {
      return false;
    }
  }
  return true;
}

uint8_t* Lpc17xxIspRom::ramAt(uint32_t address, uint32_t count) {
  for (auto* bank : {&localRam_, &ahbRam_}) {
    uint32_t base = bank == &localRam_ ? kLocalRam : kAhbRam;
    if (address >= base && count <= kRamSize && address - base <= kRamSize - count) {
      return bank->data() + (address - base);
    }
  }
  return nullptr;
}

const uint8_t* Lpc17xxIspRom::memoryAt(uint32_t address, uint32_t count) const {
  if (count <= kFlashSize && address <= kFlashSize - count) {
    return flash_.data() + address;
  }
  return const_cast<Lpc17xxIspRom*>(this)->ramAt(address, count);
}

void Lpc17xxIspRom::command(const std::string& line, std::string& out) {
  if (line.empty()) {
    return;
  }
  commands_.push_back(line);
  std::istringstream words(line);
  std::vector<std::string> args;
  std::string word;
  while (words >> word) {
    args.push_back(word);
  }
  if (args.empty() || args[0].size() != 1) {
    out += codeLine(INVALID_COMMAND);
    return;
  }
  const char letter = args[0][0];
  auto fault = faults_.answers.find(letter);
  if (fault != faults_.answers.end()) {
    out += fault->second;
    return;
  }
  std::vector<uint32_t> n;
  bool numeric = true;
  for (size_t i = 1; i < args.size(); ++i) {
    uint32_t v = 0;
    if (letter == 'G' && i == 2) {
      continue;  // the mode letter
    }
    numeric = numeric && number(args[i], &v);
    n.push_back(v);
  }
  auto want = [&](size_t count) { return numeric && args.size() == count + 1; };

  switch (letter) {
    case 'U':
      if (!want(1)) {
        out += codeLine(PARAM_ERROR);
      } else if (n[0] != kUnlockCode) {
        out += codeLine(INVALID_CODE);
      } else {
        unlocked_ = true;
        out += codeLine(CMD_SUCCESS);
      }
      return;
    case 'B':
      if (!want(2)) {
        out += codeLine(PARAM_ERROR);
      } else if (n[0] != 9600 && n[0] != 19200 && n[0] != 38400 && n[0] != 57600 && n[0] != 115200 &&
                 n[0] != 230400) {
        out += codeLine(INVALID_BAUD_RATE);
      } else if (n[1] != 1 && n[1] != 2) {
        out += codeLine(INVALID_STOP_BIT);
      } else {
        baud_ = n[0];
        out += codeLine(CMD_SUCCESS);
        if (uartBaud_ != 0) {
          pendingBaud_ = n[0];
        }
      }
      return;
    case 'A':
      if (!want(1) || n[0] > 1) {
        out += codeLine(PARAM_ERROR);
      } else {
        out += codeLine(CMD_SUCCESS);
        echo_ = n[0] == 1;  // the answer itself is never echoed
      }
      return;
    case 'W':
      if (!want(2)) {
        out += codeLine(PARAM_ERROR);
      } else if (n[0] % 4 != 0) {
        out += codeLine(ADDR_ERROR);
      } else if (n[1] == 0 || n[1] % 4 != 0) {
        out += codeLine(COUNT_ERROR);
      } else if (ramAt(n[0], n[1]) == nullptr || (n[0] >= kLocalRam && n[0] < kIspReservedEnd)) {
        out += codeLine(ADDR_NOT_MAPPED);
      } else {
        writeAddress_ = n[0];
        writeCount_ = n[1];
        writeCommitted_ = 0;
        block_.clear();
        blockLines_ = 0;
        out += codeLine(CMD_SUCCESS);
        state_ = State::WriteData;
      }
      return;
    case 'R':
      if (!want(2)) {
        out += codeLine(PARAM_ERROR);
      } else if (n[0] % 4 != 0) {
        out += codeLine(ADDR_ERROR);
      } else if (n[1] == 0 || n[1] % 4 != 0) {
        out += codeLine(COUNT_ERROR);
      } else if (memoryAt(n[0], n[1]) == nullptr) {
        out += codeLine(ADDR_NOT_MAPPED);
      } else {
        const uint8_t* from = memoryAt(n[0], n[1]);
        readData_.assign(from, from + n[1]);
        readSent_ = 0;
        out += codeLine(CMD_SUCCESS);
        sendReadBlock(out);
        state_ = State::ReadVerdict;
      }
      return;
    case 'P':
      if (!want(2)) {
        out += codeLine(PARAM_ERROR);
      } else if (n[1] < n[0] || n[1] > kLastSector) {
        out += codeLine(INVALID_SECTOR);
      } else {
        for (uint32_t s = n[0]; s <= n[1]; ++s) {
          prepared_[s] = true;
        }
        out += codeLine(CMD_SUCCESS);
      }
      return;
    case 'E':
      if (!want(2)) {
        out += codeLine(PARAM_ERROR);
      } else if (!unlocked_) {
        out += codeLine(CMD_LOCKED);
      } else if (n[1] < n[0] || n[1] > kLastSector) {
        out += codeLine(INVALID_SECTOR);
      } else if (!sectorsPrepared(n[0], n[1])) {
        out += codeLine(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
      } else {
        for (uint32_t address = 0; address < kFlashSize; ++address) {
          unsigned s = sectorOf(address);
          if (s >= n[0] && s <= n[1]) {
            flash_[address] = 0xFF;
          }
        }
        std::fill(std::begin(prepared_), std::end(prepared_), false);
        hold(timing_.eraseMS, out);
        out += codeLine(CMD_SUCCESS);
      }
      return;
    case 'C': {
      if (!want(3)) {
        out += codeLine(PARAM_ERROR);
        return;
      }
      const uint32_t to = n[0], from = n[1], count = n[2];
      const uint8_t* source = ramAt(from, count);
      if (!unlocked_) {
        out += codeLine(CMD_LOCKED);
      } else if (to % 256 != 0) {
        out += codeLine(DST_ADDR_ERROR);
      } else if (from % 4 != 0) {
        out += codeLine(SRC_ADDR_ERROR);
      } else if (count != 256 && count != 512 && count != 1024 && count != 4096) {
        out += codeLine(COUNT_ERROR);
      } else if (to > kFlashSize - count) {
        out += codeLine(DST_ADDR_NOT_MAPPED);
      } else if (source == nullptr) {
        out += codeLine(SRC_ADDR_NOT_MAPPED);
      } else if (!sectorsPrepared(sectorOf(to), sectorOf(to + count - 1))) {
        out += codeLine(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
      } else {
        for (uint32_t i = 0; i < count; ++i) {
          flash_[to + i] &= source[i];  // programming only clears bits
        }
        std::fill(std::begin(prepared_), std::end(prepared_), false);
        hold(timing_.copyMSPer256 * (count / 256), out);
        out += codeLine(CMD_SUCCESS);
      }
      return;
    }
    case 'G':
      // A Cortex-M3 runs Thumb code only; the start must be a word in
      // flash or RAM.
      if (args.size() != 3 || !numeric || n.empty() || args[2] != "T") {
        out += codeLine(PARAM_ERROR);
      } else if (!unlocked_) {
        out += codeLine(CMD_LOCKED);
      } else if (n[0] % 4 != 0) {
        out += codeLine(ADDR_ERROR);
      } else if (memoryAt(n[0], 4) == nullptr) {
        out += codeLine(ADDR_NOT_MAPPED);
      } else {
        goAddress_ = n[0];
        goMode_ = args[2][0];
        out += codeLine(CMD_SUCCESS);
        state_ = State::Running;
      }
      return;
    case 'J':
      out += codeLine(CMD_SUCCESS) + std::to_string(identity_.partId) + "\r\n";
      return;
    case 'K':
      // Byte 0 (the minor number) first; it reads as <byte1>.<byte0>.
      out += codeLine(CMD_SUCCESS) + std::to_string(identity_.bootCodeMinor) + "\r\n" +
             std::to_string(identity_.bootCodeMajor) + "\r\n";
      return;
    case 'M':
      if (!want(3)) {
        out += codeLine(PARAM_ERROR);
      } else {
        compare(n, out);
      }
      return;
    case 'I':
      if (!want(2)) {
        out += codeLine(PARAM_ERROR);
      } else {
        blankCheck(n, out);
      }
      return;
    case 'N':
      out += codeLine(CMD_SUCCESS);
      for (uint32_t word : identity_.serial) {
        out += std::to_string(word) + "\r\n";
      }
      return;
    default:
      out += codeLine(INVALID_COMMAND);
      return;
  }
}

// "M dst src count": equal, or COMPARE_ERROR and the offset of the first
// difference.
void Lpc17xxIspRom::compare(const std::vector<uint32_t>& n, std::string& out) {
  const uint32_t first = n[0], second = n[1], count = n[2];
  if (first % 4 != 0 || second % 4 != 0) {
    out += codeLine(ADDR_ERROR);
    return;
  }
  if (count % 4 != 0) {
    out += codeLine(COUNT_ERROR);
    return;
  }
  const uint8_t* a = memoryAt(first, count);
  const uint8_t* b = memoryAt(second, count);
  if (a == nullptr || b == nullptr) {
    out += codeLine(ADDR_NOT_MAPPED);
    return;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (a[i] != b[i]) {
      out += codeLine(COMPARE_ERROR) + std::to_string(i) + "\r\n";
      return;
    }
  }
  out += codeLine(CMD_SUCCESS);
}

// "I first last": blank, or SECTOR_NOT_BLANK, the offset of the first word
// that is not and that word.
void Lpc17xxIspRom::blankCheck(const std::vector<uint32_t>& n, std::string& out) {
  if (n[1] < n[0] || n[1] > kLastSector) {
    out += codeLine(INVALID_SECTOR);
    return;
  }
  for (uint32_t address = 0; address < kFlashSize; address += 4) {
    const unsigned s = sectorOf(address);
    if (s < n[0] || s > n[1]) {
      continue;
    }
    const uint32_t word = littleEndianWord(flash_.data() + address);
    if (word != 0xFFFFFFFFu) {
      out += codeLine(SECTOR_NOT_BLANK) + std::to_string(address) + "\r\n" + std::to_string(word) + "\r\n";
      return;
    }
  }
  out += codeLine(CMD_SUCCESS);
}

// Data lines until the block is full (20 lines or the last byte), then the
// block's checksum line.
void Lpc17xxIspRom::writeDataLine(const std::string& line, std::string& out) {
  const uint32_t owed = writeCount_ - writeCommitted_;
  const bool blockFull = blockLines_ == kLinesPerBlock || block_.size() >= owed;
  if (!blockFull) {
    if (!ispUudecode(line, &block_)) {
      block_.push_back(0);  // a broken line still counts; the checksum will not match
    }
    ++blockLines_;
    return;
  }
  ++writeChecksums_;
  uint32_t checksum = 0;
  bool ok = number(line, &checksum) && block_.size() <= owed && checksum == byteSum(block_.data(), block_.size());
  std::string verdict = ok ? "OK\r\n" : "RESEND\r\n";
  if (!faults_.checksumVerdicts.empty()) {
    verdict = faults_.checksumVerdicts.front();
    faults_.checksumVerdicts.pop_front();
    ok = ok && verdict == "OK\r\n";
  }
  out += verdict;
  if (ok) {
    uint8_t* to = ramAt(writeAddress_ + writeCommitted_, static_cast<uint32_t>(block_.size()));
    if (to != nullptr) {
      std::copy(block_.begin(), block_.end(), to);
    }
    writeCommitted_ += static_cast<uint32_t>(block_.size());
  }
  block_.clear();
  blockLines_ = 0;
  if (writeCommitted_ >= writeCount_) {
    state_ = State::Command;
  }
}

void Lpc17xxIspRom::sendReadBlock(std::string& out) {
  size_t at = readSent_;
  unsigned lines = 0;
  while (at < readData_.size() && lines < kLinesPerBlock) {
    size_t n = readData_.size() - at < kBytesPerLine ? readData_.size() - at : kBytesPerLine;
    out += ispUuencode(readData_.data() + at, n) + "\r\n";
    at += n;
    ++lines;
  }
  uint32_t checksum = byteSum(readData_.data() + readSent_, at - readSent_);
  if (faults_.corruptReadChecksums > 0) {
    --faults_.corruptReadChecksums;
    checksum += 1;
  }
  out += std::to_string(checksum) + "\r\n";
  readBlockEnd_ = at;
}

void Lpc17xxIspRom::readVerdict(const std::string& line, std::string& out) {
  if (line == "OK") {
    readSent_ = readBlockEnd_;
    if (readSent_ >= readData_.size()) {
      state_ = State::Command;
      return;
    }
    sendReadBlock(out);
  } else if (line == "RESEND") {
    sendReadBlock(out);
  } else {
    state_ = State::Command;  // the host gave up
  }
}

void Lpc17xxIspRom::setFaults(const LpcFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

void Lpc17xxIspRom::setTiming(const LpcTiming& timing) {
  std::lock_guard<std::mutex> lock(mutex_);
  timing_ = timing;
}

void Lpc17xxIspRom::loadFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i) {
    flash_[address + i] = bytes[i];
  }
}

bool Lpc17xxIspRom::synchronized() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return synchronized_;
}

bool Lpc17xxIspRom::echo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return echo_;
}

bool Lpc17xxIspRom::unlocked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unlocked_;
}

unsigned Lpc17xxIspRom::crystalKHz() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return crystalKHz_;
}

unsigned Lpc17xxIspRom::baudRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return baud_;
}

bool Lpc17xxIspRom::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::Running;
}

uint32_t Lpc17xxIspRom::goAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return goAddress_;
}

char Lpc17xxIspRom::goMode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return goMode_;
}

std::vector<std::string> Lpc17xxIspRom::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

unsigned Lpc17xxIspRom::writeChecksums() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeChecksums_;
}

std::vector<uint8_t> Lpc17xxIspRom::flash(uint32_t address, uint32_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count > kFlashSize || address > kFlashSize - count) {
    return {};
  }
  return std::vector<uint8_t>(flash_.begin() + address, flash_.begin() + address + count);
}

std::vector<uint8_t> Lpc17xxIspRom::ram(uint32_t address, uint32_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint8_t* at = const_cast<Lpc17xxIspRom*>(this)->ramAt(address, count);
  return at == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(at, at + count);
}

}  // namespace bootrom
