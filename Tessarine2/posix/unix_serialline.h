#ifndef TESSARINE2_POSIX_UNIX_SERIALLINE_H
#define TESSARINE2_POSIX_UNIX_SERIALLINE_H

#include <cstdint>

// When the bytes written to a serial port have really left it. A port takes
// whole blocks into its buffer long before the line has carried them, and a
// pseudo-terminal or some adapters report nothing queued at all, so the
// writer keeps the time its last byte will have crossed by its line time,
// and the driver's own queue count is waited out as well.
class aSerialLine {
 public:
  explicit aSerialLine(uint64_t baud = 115200) : baud_(baud) {}

  void setRate(uint64_t baud) { baud_ = baud; }

  // 10 bit times a byte (8N1).
  uint64_t lineTimeUS(uint64_t bytes) const;

  // Count bytes were just written.
  void sent(uint64_t count);

  // Returns once what was written on the descriptor has left the line.
  // Bounded: a line that stopped draining holds the caller for the line
  // time of what it still holds plus slackUS.
  void waitUntilSent(int descriptor, uint64_t slackUS) const;

  // Monotonic microseconds, the clock of the times above.
  static uint64_t nowUS();

 private:
  uint64_t baud_;
  uint64_t lineFreeUS_ = 0;
};

#endif
