#include "tests/sim/bootrom/SerialRomPeer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace bootrom {

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

// A UART's FIFO: the line takes this many bytes from the port buffer at a
// time, and hands received bytes on in groups of at most this many.
constexpr size_t kFifoBytes = 16;
// 8N1: start bit, eight data bits, stop bit.
constexpr long long kBitsPerByte = 10;

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

nanoseconds byteTime(unsigned baud) {
  return nanoseconds(kBitsPerByte * 1000000000LL / static_cast<long long>(baud == 0 ? 115200 : baud));
}

unsigned baudOf(speed_t speed) {
  struct Rate {
    speed_t speed;
    unsigned baud;
  };
  static const Rate kRates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
                                {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
                                {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const Rate& r : kRates) {
    if (r.speed == speed) {
      return r.baud;
    }
  }
  return 0;  // B0 or a rate no ROM runs at: nothing readable crosses
}

// The level of bit k of bytes sent back to back: start bit 0, data LSB
// first, stop bit 1, idle (1) after the end.
int levelAt(const std::string& bytes, long long k) {
  if (k < 0 || k >= static_cast<long long>(bytes.size()) * kBitsPerByte) {
    return 1;
  }
  const long long position = k % kBitsPerByte;
  if (position == 0) {
    return 0;
  }
  if (position == kBitsPerByte - 1) {
    return 1;
  }
  return (static_cast<unsigned char>(bytes[static_cast<size_t>(k / kBitsPerByte)]) >> (position - 1)) & 1;
}

}  // namespace

std::string resampleUart(const std::string& bytes, unsigned senderBaud, unsigned receiverBaud) {
  if (senderBaud == receiverBaud) {
    return bytes;
  }
  if (senderBaud == 0 || receiverBaud == 0) {
    return std::string();
  }
  const long long total = static_cast<long long>(bytes.size()) * kBitsPerByte;
  // Everything in units of the sender's bit time.
  const double bit = static_cast<double>(senderBaud) / static_cast<double>(receiverBaud);
  auto sample = [&](double at) { return levelAt(bytes, static_cast<long long>(std::floor(at))); };
  std::string out;
  double cursor = 0;
  for (;;) {
    // The next falling edge: the first low sender bit from the cursor on.
    long long k = static_cast<long long>(std::ceil(cursor));
    while (k < total && levelAt(bytes, k) != 0) {
      ++k;
    }
    if (k >= total) {
      break;
    }
    const double edge = std::max(static_cast<double>(k), cursor);
    unsigned value = 0;
    for (int b = 0; b < 8; ++b) {
      value |= static_cast<unsigned>(sample(edge + (1.5 + b) * bit)) << b;
    }
    out += static_cast<char>(value);
    const double stop = edge + 9.5 * bit;
    if (sample(stop) == 1) {
      cursor = stop;
      continue;
    }
    // A framing error: the receiver waits for the line to go idle before it
    // looks for another start bit.
    long long high = static_cast<long long>(std::floor(stop));
    while (high < total && levelAt(bytes, high) == 0) {
      ++high;
    }
    cursor = static_cast<double>(high);
  }
  return out;
}

void RomLine::send(const std::string& bytes) {
  peer_.queueForHost(bytes, std::max(now_, peer_.holdUntil_), arrivalRate_);
}

void RomLine::hold(std::chrono::microseconds busy) { peer_.holdUntil_ = std::max(peer_.holdUntil_, now_ + busy); }

void RomLine::setRate(unsigned baud) { peer_.romRate_ = baud; }

unsigned RomLine::rate() const { return peer_.romRate_; }

LineClock::time_point SerialRomPeer::Outgoing::dueOf(size_t count) const {
  return start + perByte * static_cast<long long>(count) + latency;
}

SerialRomPeer::SerialRomPeer(Handler handler, Options options)
    : handler_([plain = std::move(handler)](const std::string& bytes, RomLine& line) {
        const std::string answer = plain(bytes);
        if (!answer.empty()) {
          line.send(answer);
        }
      }) {
  start(options);
}

SerialRomPeer::SerialRomPeer(LineHandler handler, Options options) : handler_(std::move(handler)) { start(options); }

void SerialRomPeer::start(Options options) {
  if (!(options.lineSpeed > 0.0)) {
    throw std::runtime_error("a line must carry bytes");
  }
  lineSpeed_ = options.lineSpeed;
  romRate_ = options.baud;
  latencyUS_ = options.adapterLatency.count();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    closeIfOpen(master_);
    throw std::runtime_error("no pseudo-terminal");
  }
  device_ = name;
  // Opened with the system call itself: under umockdev's preload library a
  // /dev path opened through libc may be taken for an emulated device.
  holder_ = static_cast<int>(syscall(SYS_openat, AT_FDCWD, device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios raw{};
  if (holder_ < 0 || tcgetattr(holder_, &raw) != 0) {
    closeIfOpen(holder_);
    closeIfOpen(master_);
    throw std::runtime_error("cannot open the device side");
  }
  // Raw at once: a canonical, echoing line would bounce the ROM's answers
  // back at it before the host sets the port up.
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  tcsetattr(holder_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    closeIfOpen(holder_);
    closeIfOpen(master_);
    throw std::runtime_error("no pipe");
  }
  thread_ = std::thread(&SerialRomPeer::run, this);
}

SerialRomPeer::~SerialRomPeer() {
  if (write(wake_[1], "x", 1) < 0) {
    // The thread also ends when the pipe's write side is closed below.
  }
  closeIfOpen(wake_[1]);
  thread_.join();
  closeIfOpen(wake_[0]);
  if (!link_.empty()) {
    unlink(link_.c_str());
  }
  closeIfOpen(holder_);
  closeIfOpen(master_);
}

std::string SerialRomPeer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void SerialRomPeer::publishAs(const std::string& path) {
  unlink(path.c_str());  // left behind by a run that crashed
  if (symlink(device_.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot make " + path);
  }
  link_ = path;
}

// The master side reports the device side's settings: the host's rate.
unsigned SerialRomPeer::hostRate() const {
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) {
    return 0;
  }
  return baudOf(cfgetospeed(&settings));
}

nanoseconds SerialRomPeer::lineByteTime(unsigned baud) const {
  return nanoseconds(static_cast<long long>(static_cast<double>(byteTime(baud).count()) / lineSpeed_));
}

void SerialRomPeer::queueForHost(const std::string& bytes, LineClock::time_point notBefore, unsigned fallbackRate) {
  unsigned rate = romRate_;
  if (rate == 0) {
    rate = fallbackRate;  // auto-baud: answers at the rate it heard
  }
  const unsigned host = hostRate();
  Outgoing out;
  out.start = std::max(notBefore, outFree_);
  out.perByte = lineByteTime(rate);
  out.latency = microseconds(latencyUS_.load());
  out.bytes = resampleUart(bytes, rate, host);
  // The line is busy for the bytes sent, whatever the host makes of them.
  outFree_ = out.start + out.perByte * static_cast<long long>(bytes.size());
  if (!out.bytes.empty()) {
    // Spread what the host receives over the time the line carried.
    out.perByte = (outFree_ - out.start) / static_cast<long long>(out.bytes.size());
    outgoing_.push_back(std::move(out));
  }
}

void SerialRomPeer::takeFromHost(LineClock::time_point now) {
  if (inFree_ > now) {
    return;
  }
  char buffer[kFifoBytes];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) {
    inBusy_ = false;
    return;
  }
  const unsigned rate = hostRate();
  // Bytes that were waiting follow the previous ones without a gap.
  const LineClock::time_point start = inBusy_ ? inFree_ : now;
  inFree_ = start + lineByteTime(rate) * n;
  inBusy_ = static_cast<size_t>(n) == sizeof buffer;
  arriving_.push_back(Arrival{inFree_, std::string(buffer, static_cast<size_t>(n)), rate});
}

void SerialRomPeer::deliverArrived(LineClock::time_point now) {
  while (!arriving_.empty() && arriving_.front().at <= now) {
    Arrival arrival = std::move(arriving_.front());
    arriving_.pop_front();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += arrival.bytes;
    }
    const unsigned rom = romRate_;
    const std::string heard = rom == 0 ? arrival.bytes : resampleUart(arrival.bytes, arrival.baud, rom);
    if (heard.empty()) {
      continue;
    }
    RomLine line(*this, arrival.at, arrival.baud);
    handler_(heard, line);
  }
}

void SerialRomPeer::deliverToHost(LineClock::time_point now) {
  while (!outgoing_.empty()) {
    Outgoing& out = outgoing_.front();
    size_t due = out.delivered;
    while (due < out.bytes.size() && out.dueOf(due + 1) <= now) {
      ++due;
    }
    toHost_.append(out.bytes, out.delivered, due - out.delivered);
    out.delivered = due;
    if (out.delivered < out.bytes.size()) {
      break;
    }
    outgoing_.pop_front();
  }
}

// False when the host's side takes nothing more for now.
bool SerialRomPeer::writePending() {
  while (!toHost_.empty()) {
    const ssize_t n = write(master_, toHost_.data(), toHost_.size());
    if (n > 0) {
      toHost_.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN) {
      toHost_.clear();  // nobody to tell; the host finds out by itself
    }
    return toHost_.empty();
  }
  return true;
}

void SerialRomPeer::run() {
  for (;;) {
    const LineClock::time_point now = LineClock::now();
    takeFromHost(now);
    deliverArrived(now);
    deliverToHost(now);
    const bool hostFull = !writePending();

    LineClock::time_point next = LineClock::time_point::max();
    if (!arriving_.empty()) {
      next = std::min(next, arriving_.front().at);
    }
    const bool lineFree = inFree_ <= now;
    if (!lineFree || inBusy_) {
      next = std::min(next, inFree_);
    }
    if (!outgoing_.empty()) {
      // The next group of up to a FIFO's worth, or the rest of the answer.
      const Outgoing& out = outgoing_.front();
      next = std::min(next, out.dueOf(std::min(out.bytes.size(), out.delivered + kFifoBytes)));
    }
    pollfd entries[2] = {{master_, 0, 0}, {wake_[0], POLLIN, 0}};
    if (lineFree && !inBusy_) {
      entries[0].events |= POLLIN;
    }
    if (hostFull) {
      entries[0].events |= POLLOUT;
    }
    timespec timeout{};
    timespec* wait = nullptr;
    if (next != LineClock::time_point::max()) {
      const long long ns = std::max<long long>(0, std::chrono::duration_cast<nanoseconds>(next - now).count());
      timeout.tv_sec = static_cast<time_t>(ns / 1000000000LL);
      timeout.tv_nsec = static_cast<long>(ns % 1000000000LL);
      wait = &timeout;
    }
    if (ppoll(entries, 2, wait, nullptr) < 0 && errno != EINTR) {
      return;
    }
    if (entries[1].revents != 0) {
      return;
    }
    if ((entries[0].revents & (POLLHUP | POLLERR)) != 0) {
      // No device side open (the holder keeps one, so hardly ever): poll
      // would report it at once, so pause instead of spinning.
      pollfd stop{wake_[0], POLLIN, 0};
      timespec pause{0, 1000000};
      if (ppoll(&stop, 1, &pause, nullptr) > 0) {
        return;
      }
    }
  }
}

}  // namespace bootrom
