#ifndef TESSARINE2_COMMON_ASPINWAIT_H
#define TESSARINE2_COMMON_ASPINWAIT_H

// A bounded spin before a FIFO waiter sleeps, while puts come close
// together: the writer waiting for the next request, a caller waiting for
// its reply.
//
// Waking a thread that sleeps on another core costs tens of microseconds
// where idle cores halt (virtual machines above all), and a request and its
// reply take four such wakes through the caller, the writer, the module and
// the reader. While requests and replies follow each other, the next put
// comes within about one gap between puts; a waiter that keeps checking
// that long takes it without a wake. Futex-based queues (folly) and the Go
// scheduler spin before they park for the same reason.
//
// A waiter spins only when the last two puts came within kSpinLimit of each
// other and the last one within kSpinLimit of now, and then for at most
// kSpinLimit on the monotonic clock. A link that is idle, or makes a
// thousand requests a second, never spins; a link in a burst of requests
// spins about one round trip per hand-off, and once more, for the whole
// bound, when the burst ends.
//
// A spinning thread hands its processor to any thread that is ready on it
// (aThread_Relax) instead of pausing on it: a thread woken by a socket
// write is often queued on the writer's own processor, and a spin that
// kept the processor would hold it back until the spin gave up.
//
// The link's reader does not spin on its stream: the module's write wakes
// a reader asleep in poll on the module's own processor, which costs less
// than a reader polling the socket from another one (measured: a reader
// spin doubled the round trip).

#include <chrono>

#include "Tessarine2/common/aThread.h"

namespace aSpinWait {

using Clock = std::chrono::steady_clock;

// Longest spin of one wait, and the widest gap between puts that counts as
// dense. It must exceed the gap between hand-offs while every hand-off of
// a round trip still sleeps (75 to 100 µs on loopback where a wake costs
// 20 to 30 µs): with less, a link that starts a burst from sleep stays on
// wakes for the whole burst (measured: 60 µs never left it, 100 µs did
// now and then, 150 µs always).
constexpr Clock::duration kSpinLimit = std::chrono::microseconds(150);

// Checks ready() until it holds or `bound` has passed; true when it held.
// ready() must be cheap and must not block.
template <typename Ready>
bool spinUntil(Clock::duration bound, Ready ready) {
  const Clock::time_point until = Clock::now() + bound;
  for (;;) {
    if (ready()) {
      return true;
    }
    if (Clock::now() >= until) {
      return false;
    }
    aThread_Relax();
  }
}

// The rhythm of one kind of event (puts on one FIFO). Not thread-safe: its
// owner guards it.
class Pace {
 public:
  void event(Clock::time_point now) {
    gap_ = now - last_;
    last_ = now;
  }
  // How long a waiter starting now spins: kSpinLimit while the events are
  // dense, else zero.
  Clock::duration spinBound(Clock::time_point now) const {
    const bool dense = gap_ < kSpinLimit && now - last_ < kSpinLimit;
    return dense ? kSpinLimit : Clock::duration::zero();
  }

 private:
  Clock::time_point last_{};
  Clock::duration gap_ = Clock::duration::max();
};

}  // namespace aSpinWait

#endif
