#include "updater/recovery/Serial_SDPLoader.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "Tessarine2/common/aTime.h"
#include "Tessarine2/posix/unix_serialline.h"
#include "Tessarine2/posix/unix_serialport.h"
#include "updater/support/Log.h"

namespace {

// The boot ROM's UART needs a moment after the line settles before it takes
// a command; what arrived meanwhile is noise.
constexpr uint64_t kSettleMS = 1000;
// A port that takes nothing for this long has gone away (adapter pulled).
constexpr uint64_t kWriteStallLimitMS = 2000;
// A device that keeps sending never ends a gathering otherwise; the longest
// answer of the protocol is a few dozen bytes.
constexpr size_t kMaxReplyBytes = 4096;
constexpr size_t kWordsAt = 4;
constexpr unsigned int kLastWordIndex = 15;

// The ROM's UART: 115200 baud, 8N1.
constexpr uint64_t kBaud = 115200;
// The shortest whole answer: the HAB mode word and one answer word. Once
// that much is in, the answer is over when the line stays quiet this long
// (the rest of an answer follows on the line without a gap).
constexpr size_t kAnswerBytes = 8;
constexpr uint64_t kAnswerQuietMS = 5;
// The ROM frames commands by their 16-byte length alone, so bytes of
// another protocol sent before (the LPC17xx probe's "?") are made up to a
// whole command, and whatever the ROM makes of it is waited for and dropped.
constexpr size_t kCommandBytes = 16;
constexpr unsigned int kRealignAnswerMS = 100;
// Output the port has not sent yet is waited for this long beyond its line
// time before the port is closed anyway (a line that no longer drains).
constexpr uint64_t kDrainSlackMS = 1000;
// The port's own count of unsent bytes says nothing of an adapter's FIFO,
// and two UARTs agree on a rate only to within a few percent: how long a
// request takes to cross is known only as a bound. An answer window covers
// the line time at this share of the nominal rate, plus what a USB adapter
// holds back (its FIFO and a 16 ms latency timer each way). The read still
// ends as soon as the answer is in.
constexpr uint64_t kSlowestRatePercent = 94;
constexpr uint64_t kAdapterAllowanceUS = 40000;

// Waits up to timeoutMS for the descriptor; false on time-out, hang-up or
// error.
bool waitFor(int fd, short events, uint64_t timeoutMS) {
  pollfd entry{fd, events, 0};
  int ready = poll(&entry, 1, static_cast<int>(timeoutMS));
  if (ready <= 0) {
    return false;
  }
  return (entry.revents & events) != 0;
}

}  // namespace

class PrivateSerial_SDPLoader {
 public:
  int fd = -1;  // -1 while not open
  std::string path;
  termios settings{};
  size_t bytesBefore = 0;
  aSerialLine line{kBaud};  // when what was written has left the port, at the nominal rate
  aSerialLine slowLine{kBaud * kSlowestRatePercent / 100};
  uint64_t slowLineFreeUS = 0;  // when it has surely left, on the slowest line

  void sent(size_t count) {
    line.sent(count);
    const uint64_t now = aSerialLine::nowUS();
    slowLineFreeUS = std::max(slowLineFreeUS, now) + slowLine.lineTimeUS(count);
  }
  void waitUntilSent() { line.waitUntilSent(fd, kDrainSlackMS * 1000); }
  // The end of an answer window of timeoutMS for what was written last.
  uint64_t answerDeadlineUS(unsigned int timeoutMS) const {
    return std::max(slowLineFreeUS, aSerialLine::nowUS()) + kAdapterAllowanceUS +
           static_cast<uint64_t>(timeoutMS) * 1000;
  }
};

Serial_SDPLoader::Serial_SDPLoader(const char* devicePath) : d_(new PrivateSerial_SDPLoader) {
  d_->path = devicePath != nullptr ? devicePath : "";
}

Serial_SDPLoader::~Serial_SDPLoader() {
  closePort();
  delete d_;
}

void Serial_SDPLoader::setBytesBefore(size_t count) { d_->bytesBefore = count; }

// What was written still goes out: a jump command closed behind at once
// must reach the ROM. Only unread input is dropped.
void Serial_SDPLoader::closePort() {
  if (d_->fd >= 0) {
    if (isatty(d_->fd)) {
      d_->waitUntilSent();
      tcflush(d_->fd, TCIFLUSH);
    }
    close(d_->fd);
    d_->fd = -1;
  }
}

bool Serial_SDPLoader::init() {
  if (d_->fd >= 0) {
    return false;  // opened once only
  }
  // Non-blocking for good: reads must drain what is there and return. A
  // path that is not a port is not kept: nothing may be written to it.
  d_->fd = aSerialPort_Open(d_->path.c_str());
  if (d_->fd < 0) {
    Log::log(DEBUG_iMXSerial, "Cannot use %s as a serial port: %s\n", d_->path.c_str(), strerror(errno));
    return false;
  }
  termios& t = d_->settings;
  t = termios{};
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CS8 | CREAD | CLOCAL;
  // The speed after the control flags, which carry the speed bits too.
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  if (tcsetattr(d_->fd, TCSAFLUSH, &t) != 0) {
    closePort();
    return false;
  }
  aTime_MSSleep(kSettleMS);
  tcflush(d_->fd, TCIOFLUSH);
  return realign();
}

bool Serial_SDPLoader::realign() {
  const size_t partial = d_->bytesBefore % kCommandBytes;
  if (partial == 0) {
    return true;
  }
  // Zeros make no command type the ROM knows, whatever the stray bytes.
  std::vector<unsigned char> filler(1 + kCommandBytes - partial, 0);
  filler[0] = SDPReport::COMMAND;
  Log::log(DEBUG_iMXSerial, "Completing %zu stray bytes on the line to a whole command\n", partial);
  if (writeData(filler) < 0) {
    return false;
  }
  std::vector<unsigned char> dropped;
  readData(dropped, kRealignAnswerMS);
  tcflush(d_->fd, TCIFLUSH);
  d_->bytesBefore = 0;
  return true;
}

long Serial_SDPLoader::writeData(const std::vector<unsigned char>& packet) {
  if (d_->fd < 0 || packet.empty()) {
    return -1;
  }
  size_t position = 1;  // the report id stays behind
  uint64_t stalledSince = 0;
  while (position < packet.size()) {
    ssize_t written = write(d_->fd, packet.data() + position, packet.size() - position);
    if (written > 0) {
      position += static_cast<size_t>(written);
      d_->sent(static_cast<size_t>(written));
      stalledSince = 0;
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      Log::log(DEBUG_iMXSerial, "Serial write failed after %zu of %zu bytes\n", position - 1, packet.size() - 1);
      return -1;
    }
    uint64_t now = aTime_GetMSTicks();
    if (stalledSince == 0) {
      stalledSince = now;
    } else if (now - stalledSince >= kWriteStallLimitMS) {
      Log::log(DEBUG_iMXSerial, "Serial port took nothing for %llu ms; giving up\n",
               static_cast<unsigned long long>(kWriteStallLimitMS));
      return -1;
    }
    waitFor(d_->fd, POLLOUT, 1);
  }
  // A packet is sent when it has left the line: whatever the ROM says from
  // then on answers it (or speaks up in the middle of a download).
  d_->waitUntilSent();
  return static_cast<long>(position - 1);
}

long Serial_SDPLoader::readData(std::vector<unsigned char>& reply, unsigned int timeoutMS) {
  if (d_->fd < 0) {
    return 0;
  }
  // The window runs from the latest the request may have crossed the line;
  // a time-out of 0 only looks at what is already there. Bytes are taken
  // as they come, and a whole answer ends the window early, once the line
  // has gone quiet behind it.
  const uint64_t deadline = timeoutMS > 0 ? d_->answerDeadlineUS(timeoutMS) : aSerialLine::nowUS();
  size_t total = 0;
  unsigned char buffer[256];
  for (;;) {
    bool failed = false;
    while (total < kMaxReplyBytes) {
      size_t want = kMaxReplyBytes - total < sizeof buffer ? kMaxReplyBytes - total : sizeof buffer;
      ssize_t got = read(d_->fd, buffer, want);
      if (got > 0) {
        reply.insert(reply.end(), buffer, buffer + got);
        total += static_cast<size_t>(got);
        continue;
      }
      failed = got < 0 && errno != EAGAIN && errno != EINTR;
      break;
    }
    const uint64_t now = aSerialLine::nowUS();
    if (failed || total >= kMaxReplyBytes || now >= deadline) {
      break;
    }
    const bool whole = total >= kAnswerBytes;
    const uint64_t leftMS = (deadline - now + 999) / 1000;
    const uint64_t wait = whole ? std::min<uint64_t>(kAnswerQuietMS, leftMS) : leftMS;
    if (!waitFor(d_->fd, POLLIN, wait)) {
      // Quiet after a whole answer, a time-out, or a line that hung up.
      if (whole || aSerialLine::nowUS() < deadline) {
        break;
      }
    }
  }
  return static_cast<long>(total);
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                                         unsigned int& value) {
  if (index > kLastWordIndex || reply.size() < (static_cast<size_t>(index) + 2) * 4) {
    return false;
  }
  const size_t at = kWordsAt + 4 * static_cast<size_t>(index);
  value |= static_cast<unsigned int>(reply[at]) | static_cast<unsigned int>(reply[at + 1]) << 8 |
           static_cast<unsigned int>(reply[at + 2]) << 16 | static_cast<unsigned int>(reply[at + 3]) << 24;
  return true;
}

bool Serial_SDPLoader::getHabModeFromBuffer(const std::vector<unsigned char>& reply, unsigned int& value) {
  if (reply.size() < kWordsAt) {
    return false;
  }
  value = static_cast<unsigned int>(reply[0]) | static_cast<unsigned int>(reply[1]) << 8 |
          static_cast<unsigned int>(reply[2]) << 16 | static_cast<unsigned int>(reply[3]) << 24;
  return true;
}
