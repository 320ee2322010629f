#ifndef TESTS_SIM_BOOTROM_SERIALROMPEER_H
#define TESTS_SIM_BOOTROM_SERIALROMPEER_H

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace bootrom {

using LineClock = std::chrono::steady_clock;

// What a ROM model sees of its UART while it handles bytes: it answers
// through it, holds its answer while it is busy and sets the rate its UART
// runs at. Valid only inside the handler, on the peer's thread.
class RomLine {
 public:
  // Queues bytes for the host behind everything already going out. They
  // leave at the ROM's rate, one after the other, 10 bit times each.
  void send(const std::string& bytes);
  // Nothing sent after this call starts before `busy` has passed from the
  // moment the last byte handled arrived (a flash erase, say). What the
  // host sends meanwhile still arrives.
  void hold(std::chrono::microseconds busy);
  // The ROM's UART runs at baud from the next byte on; bytes queued before
  // keep their rate. 0 is auto-baud: bytes arrive whatever the host's rate,
  // until the model fixes one (typically setRate(arrivalRate())).
  void setRate(unsigned baud);
  unsigned rate() const;
  // The rate the host sent the bytes being handled at.
  unsigned arrivalRate() const { return arrivalRate_; }
  // When the last of them arrived.
  LineClock::time_point now() const { return now_; }

 private:
  friend class SerialRomPeer;
  RomLine(class SerialRomPeer& peer, LineClock::time_point now, unsigned arrivalRate)
      : peer_(peer), now_(now), arrivalRate_(arrivalRate) {}
  SerialRomPeer& peer_;
  LineClock::time_point now_;
  unsigned arrivalRate_;
};

struct SerialLineOptions {
  // The ROM's rate at the start. 0, auto-baud, takes bytes at whatever rate
  // the host sends them until the ROM model fixes a rate.
  unsigned baud = 0;
  std::chrono::microseconds adapterLatency{0};
  // The line carries bytes at this fraction of the rates its two ends are
  // set to, both ways (an adapter or a crystal off its nominal rate; both
  // UARTs still read each other, as within a UART's tolerance).
  double lineSpeed = 1.0;
};

// A boot ROM's UART: the master side of a pseudo-terminal whose device side
// (devicePath(), "/dev/pts/N") the code under test opens as its serial
// port. A thread of its own carries the bytes the way a real line does:
//
// - Bytes cross at the rate the host configured on the port (read from its
//   terminal settings), 10 bit times a byte (8N1), both ways, slowed by
//   the line speed when that is below 1. They leave the host's port
//   buffer only as the line takes them, 16 at a time (a UART's FIFO), so a
//   host that flushes its port loses what had not gone yet.
// - The ROM model sees bytes only once they have arrived, so it can answer
//   only after the last byte of a command or data block. Its answer goes
//   out at the ROM's rate after whatever it still sends, and reaches the
//   host in groups of up to 16 bytes as each group completes, plus the
//   adapter latency (a USB-serial adapter's latency timer holds received
//   bytes for up to 16 ms before the host sees them).
// - Bytes sent at a rate other than the ROM's arrive as what the ROM's UART
//   samples from the waveform: garbage, often of another length. The same
//   holds for the ROM's answers at a rate other than the host's.
//
// The device side is raw from the start and is held open by the peer, so a
// host that closes and reopens the port finds the same line again.
class SerialRomPeer {
 public:
  // Bytes from the host in, bytes for the host out; runs on the peer's
  // thread. The plain form sends what it returns right away.
  using Handler = std::function<std::string(const std::string& fromHost)>;
  using LineHandler = std::function<void(const std::string& fromHost, RomLine& line)>;

  using Options = SerialLineOptions;

  explicit SerialRomPeer(Handler handler, Options options = Options());  // throws std::runtime_error
  explicit SerialRomPeer(LineHandler handler, Options options = Options());
  ~SerialRomPeer();
  SerialRomPeer(const SerialRomPeer&) = delete;
  SerialRomPeer& operator=(const SerialRomPeer&) = delete;

  const std::string& devicePath() const { return device_; }

  // Everything the host sent that has arrived so far, as the host sent it.
  std::string received() const;

  // Makes path a symbolic link to the device side, removed with the peer.
  void publishAs(const std::string& path);

  // Thread-safe; take effect for the next bytes.
  void setRate(unsigned baud) { romRate_ = baud; }
  unsigned rate() const { return romRate_; }
  void setAdapterLatency(std::chrono::microseconds latency) { latencyUS_ = latency.count(); }

 private:
  friend class RomLine;

  struct Arrival {
    LineClock::time_point at;  // the last byte's arrival
    std::string bytes;
    unsigned baud;  // the host's rate when they left
  };
  struct Outgoing {
    LineClock::time_point start;
    std::chrono::nanoseconds perByte;
    std::chrono::nanoseconds latency;
    std::string bytes;
    size_t delivered = 0;
    LineClock::time_point dueOf(size_t count) const;  // when the first count bytes are with the host
  };

  void start(Options options);
  void run();
  unsigned hostRate() const;
  // One byte's time on the line at a rate its ends are set to.
  std::chrono::nanoseconds lineByteTime(unsigned baud) const;
  void takeFromHost(LineClock::time_point now);
  void deliverArrived(LineClock::time_point now);
  void deliverToHost(LineClock::time_point now);
  bool writePending();
  void queueForHost(const std::string& bytes, LineClock::time_point notBefore, unsigned fallbackRate);

  LineHandler handler_;
  int master_ = -1;
  int holder_ = -1;  // keeps the device side open between host sessions
  int wake_[2] = {-1, -1};
  std::string device_;
  std::string link_;
  std::atomic<unsigned> romRate_{0};
  std::atomic<long long> latencyUS_{0};
  double lineSpeed_ = 1.0;  // set before the thread starts
  mutable std::mutex mutex_;
  std::string received_;

  // The peer's thread only.
  LineClock::time_point inFree_{};  // the line from the host takes its next byte then
  bool inBusy_ = false;             // the host's buffer held more at the last look
  std::deque<Arrival> arriving_;
  LineClock::time_point outFree_{};  // the line to the host is free then
  LineClock::time_point holdUntil_{};
  std::deque<Outgoing> outgoing_;
  std::string toHost_;  // due, not yet taken by the pseudo-terminal

  std::thread thread_;
};

// What a UART at receiverBaud makes of bytes sent back to back at
// senderBaud (8N1 both): it waits for a start bit's edge and samples the
// middle of each of its own bit times. Equal rates give the bytes back.
std::string resampleUart(const std::string& bytes, unsigned senderBaud, unsigned receiverBaud);

}  // namespace bootrom

#endif
