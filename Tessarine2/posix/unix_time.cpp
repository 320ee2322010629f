#include "Tessarine2/common/aTime.h"

#include <errno.h>
#include <time.h>

#include "Tessarine2/posix/sleepPieces.h"

namespace aTimeDetail {

uint64_t sleepMicroseconds(uint64_t milliseconds) {
  uint64_t microseconds = 0;
  return __builtin_mul_overflow(milliseconds, 1000u, &microseconds) ? UINT64_MAX : microseconds;
}

uint32_t takeSleepPiece(uint64_t* remainingMicroseconds) {
  uint64_t piece = *remainingMicroseconds < kSleepPieceMaxMicroseconds ? *remainingMicroseconds
                                                                       : kSleepPieceMaxMicroseconds;
  *remainingMicroseconds -= piece;
  return static_cast<uint32_t>(piece);
}

}  // namespace aTimeDetail

namespace {

using aTimeDetail::sleepMicroseconds;
using aTimeDetail::takeSleepPiece;

// A signal cuts nanosleep short; it is resumed for what is left.
void sleepPiece(uint32_t microseconds) {
  timespec left = {0, static_cast<long>(microseconds) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void osMSSleep(uint64_t milliseconds) {
  uint64_t remaining = sleepMicroseconds(milliseconds);
  while (remaining > 0) {
    sleepPiece(takeSleepPiece(&remaining));
  }
}

}  // namespace

uint64_t aTime_GetMSTicks() {
  // Monotonic: a step of the wall clock must neither stretch nor cut a
  // time-out measured with these ticks.
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return 0;
  }
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

aErr aTime_MSSleep(uint64_t milliseconds) {
  osMSSleep(milliseconds);
  return aErrNone;
}
