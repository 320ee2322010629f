// The paced line under the simulated boot ROMs: bytes take their line time
// both ways, a flushed port loses what had not gone, a wrong rate turns
// bytes into garbage, and a ROM can hold its answer.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "tests/sim/bootrom/SerialRomPeer.h"

namespace {

using bootrom::LineClock;
using bootrom::RomLine;
using bootrom::SerialRomPeer;
using std::chrono::milliseconds;

double msBetween(LineClock::time_point from, LineClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double lineMS(size_t bytes, unsigned baud) { return static_cast<double>(bytes) * 10000.0 / baud; }

// The host's end: a raw port at the given rate.
class HostPort {
 public:
  HostPort(const std::string& path, speed_t speed) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~HostPort() { close(fd_); }
  int fd() const { return fd_; }
  void send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd entry{fd_, POLLOUT, 0};
        poll(&entry, 1, 100);
      }
    }
  }
  // Reads until count bytes came or the time is up.
  std::string receive(size_t count, milliseconds within) {
    std::string got;
    const LineClock::time_point end = LineClock::now() + within;
    char buffer[256];
    while (got.size() < count && LineClock::now() < end) {
      pollfd entry{fd_, POLLIN, 0};
      poll(&entry, 1, 10);
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
};

// What the ROM model was handed, and when.
struct Heard {
  std::mutex mutex;
  std::condition_variable changed;
  std::string bytes;
  LineClock::time_point last{};

  void add(const std::string& in) {
    std::lock_guard<std::mutex> lock(mutex);
    bytes += in;
    last = LineClock::now();
    changed.notify_all();
  }
  bool waitFor(size_t count, milliseconds within) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, within, [&] { return bytes.size() >= count; });
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
  }
};

struct RateCase {
  speed_t speed;
  unsigned baud;
  size_t bytes;
};

TEST(SerialLine, BytesTakeTheirLineTimeBothWays) {
  const RateCase cases[] = {{B115200, 115200, 2304}, {B9600, 9600, 192}};
  for (const RateCase& c : cases) {
    SCOPED_TRACE(c.baud);
    Heard heard;
    std::string answer(c.bytes, 'a');
    SerialRomPeer peer{SerialRomPeer::LineHandler([&](const std::string& in, RomLine& line) {
                         heard.add(in);
                         if (heard.text().size() == c.bytes) line.send(answer);
                       }),
                       bootrom::SerialLineOptions{c.baud, {}}};
    HostPort host(peer.devicePath(), c.speed);
    const std::string sent(c.bytes, 'q');
    const LineClock::time_point start = LineClock::now();
    host.send(sent);
    ASSERT_TRUE(heard.waitFor(c.bytes, milliseconds(5000)));
    const double in = msBetween(start, heard.last);
    EXPECT_GE(in, 0.97 * lineMS(c.bytes, c.baud));
    EXPECT_LT(in, lineMS(c.bytes, c.baud) + 200);
    // The write itself returned long before: the port buffer took it.
    EXPECT_EQ(host.receive(c.bytes, milliseconds(5000)), answer);
    const double both = msBetween(start, LineClock::now());
    EXPECT_GE(both, 0.97 * 2 * lineMS(c.bytes, c.baud));
    EXPECT_LT(both, 2 * lineMS(c.bytes, c.baud) + 400);
    EXPECT_EQ(heard.text(), sent);
    EXPECT_EQ(peer.received(), sent);
  }
}

// The line takes bytes from the port buffer only as it carries them, so a
// flush loses what was still queued, as on a real UART.
TEST(SerialLine, AFlushedPortLosesWhatHadNotGone) {
  Heard heard;
  SerialRomPeer peer{[&](const std::string& in) {
                       heard.add(in);
                       return std::string();
                     },
                     bootrom::SerialLineOptions{115200, {}}};
  // The kernel moves up to 4095 written bytes into the master's line
  // discipline at once, beyond the reach of a flush on the device side;
  // the rest waits in the pty's buffer as a UART driver's buffer would.
  // What may arrive is that, plus what the line (87 us a byte) carried
  // until the flush, plus the UART's FIFO.
  constexpr size_t kBeyondTheFlush = 4095;
  ssize_t written = 0;
  LineClock::duration beforeFlush{};
  {
    HostPort host(peer.devicePath(), B115200);
    const std::string bytes(16384, 'x');
    const LineClock::time_point start = LineClock::now();
    written = write(host.fd(), bytes.data(), bytes.size());
    tcflush(host.fd(), TCIOFLUSH);
    beforeFlush = LineClock::now() - start;
  }
  ASSERT_GT(written, 0);
  const size_t sent = static_cast<size_t>(written);
  const size_t mayArrive =
      kBeyondTheFlush + static_cast<size_t>(beforeFlush / std::chrono::microseconds(87)) + 2 * 16;
  if (mayArrive >= sent) {
    GTEST_SKIP() << "the pty took only " << sent << " bytes, no more than could arrive anyway";
  }
  heard.waitFor(sent, milliseconds(1500));
  EXPECT_LE(heard.text().size(), mayArrive) << "of " << sent << " bytes sent";
}

TEST(SerialLine, AWrongRateArrivesAsGarbage) {
  Heard heard;
  SerialRomPeer peer{[&](const std::string& in) {
                       heard.add(in);
                       return std::string("ok");
                     },
                     bootrom::SerialLineOptions{115200, {}}};
  {
    HostPort host(peer.devicePath(), B9600);
    host.send("Synchronized\r\n");
    heard.waitFor(14, milliseconds(300));
    EXPECT_NE(heard.text(), "Synchronized\r\n");
    // The ROM's answer, at its own rate, is no better for the host.
    EXPECT_NE(host.receive(2, milliseconds(300)), "ok");
  }
  // Unchanged at the ROM's rate.
  EXPECT_EQ(bootrom::resampleUart("Synchronized\r\n", 115200, 115200), "Synchronized\r\n");
  EXPECT_NE(bootrom::resampleUart("Synchronized\r\n", 57600, 115200), "Synchronized\r\n");
  EXPECT_NE(bootrom::resampleUart("Synchronized\r\n", 115200, 57600), "Synchronized\r\n");
  EXPECT_EQ(bootrom::resampleUart("", 9600, 115200), "");
}

// An auto-bauding ROM takes the host's rate, and a rate change holds from
// the next byte: what was queued keeps its rate.
TEST(SerialLine, AutoBaudFollowsTheHostUntilTheRomFixesARate) {
  Heard heard;
  SerialRomPeer peer{SerialRomPeer::LineHandler([&](const std::string& in, RomLine& line) {
                       heard.add(in);
                       if (in == "?") {
                         line.setRate(line.arrivalRate());
                         line.send("S");
                       } else if (in == "B") {
                         line.send("0");
                         line.setRate(19200);
                       }
                     }),
                     bootrom::SerialLineOptions{0, {}}};
  HostPort host(peer.devicePath(), B57600);
  host.send("?");
  EXPECT_EQ(host.receive(1, milliseconds(500)), "S");
  EXPECT_EQ(peer.rate(), 57600u);
  host.send("B");
  EXPECT_EQ(host.receive(1, milliseconds(500)), "0");
  host.send("?");
  ASSERT_TRUE(heard.waitFor(3, milliseconds(500)));
  EXPECT_NE(heard.text().substr(2), "?") << "57600 bytes at a 19200 ROM";
}

// A busy ROM's answer waits; the adapter's latency comes on top of every
// answer.
TEST(SerialLine, HeldAnswersAndAdapterLatency) {
  SerialRomPeer peer{SerialRomPeer::LineHandler([&](const std::string&, RomLine& line) {
                       line.send("a");
                       line.hold(milliseconds(100));
                       line.send("b");
                     }),
                     bootrom::SerialLineOptions{115200, milliseconds(16)}};
  HostPort host(peer.devicePath(), B115200);
  const LineClock::time_point start = LineClock::now();
  host.send("x");
  EXPECT_EQ(host.receive(1, milliseconds(500)), "a");
  const double first = msBetween(start, LineClock::now());
  EXPECT_GE(first, 16.0);
  EXPECT_EQ(host.receive(1, milliseconds(500)), "b");
  const double second = msBetween(start, LineClock::now());
  EXPECT_GE(second, 100.0 + 16.0);
  EXPECT_LT(second, 400.0);
}

}  // namespace
