#include "Tessarine2/posix/unix_serialline.h"

#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>

namespace {

constexpr uint64_t kBitsPerByte = 10;

void sleepUS(uint64_t us) {
  timespec pause{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

uint64_t aSerialLine::nowUS() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint64_t aSerialLine::lineTimeUS(uint64_t bytes) const {
  return (bytes * kBitsPerByte * 1000000u + baud_ - 1) / baud_;
}

void aSerialLine::sent(uint64_t count) {
  const uint64_t now = nowUS();
  lineFreeUS_ = (lineFreeUS_ > now ? lineFreeUS_ : now) + lineTimeUS(count);
}

void aSerialLine::waitUntilSent(int descriptor, uint64_t slackUS) const {
  int queued = 0;
  if (ioctl(descriptor, TIOCOUTQ, &queued) == 0 && queued > 0) {
    const uint64_t giveUp = nowUS() + lineTimeUS(static_cast<uint64_t>(queued)) + slackUS;
    while (queued > 0 && nowUS() < giveUp) {
      sleepUS(lineTimeUS(static_cast<uint64_t>(queued)));
      if (ioctl(descriptor, TIOCOUTQ, &queued) != 0) {
        break;
      }
    }
  }
  const uint64_t now = nowUS();
  if (lineFreeUS_ > now) {
    sleepUS(lineFreeUS_ - now);
  }
}
