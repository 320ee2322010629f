#include "Tessarine2/posix/unix_streampoll.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

#include <climits>

namespace {

int64_t sNowMS() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

aErr aStream_PollDescriptor(int descriptor, uint32_t timeoutMS) {
  if (descriptor < 0) {
    return aErrNone;
  }
  const int64_t deadline = sNowMS() + timeoutMS;
  for (;;) {
    int64_t left = deadline - sNowMS();
    if (left < 0) {
      left = 0;
    }
    pollfd entry{};
    entry.fd = descriptor;
    entry.events = POLLIN;
    int ready = poll(&entry, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (ready > 0) {
      return aErrNone;
    }
    if (ready < 0 && errno != EINTR) {
      // The read will meet the same fault and report it.
      return aErrNone;
    }
    if (ready == 0 && left == 0) {
      return aErrTimeout;
    }
    // EINTR, or a poll that ended before a deadline longer than it could
    // wait: wait for the rest.
  }
}
