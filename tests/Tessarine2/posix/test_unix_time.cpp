#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Tessarine2/common/aTime.h"
#include "Tessarine2/posix/sleepPieces.h"

namespace {

uint64_t monotonicMS() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

TEST(Ticks, CountTheMonotonicClock) {
  // Wall-clock milliseconds since the epoch are far outside this bracket on
  // any machine that has been up for less than decades.
  uint64_t before = monotonicMS();
  uint64_t ticks = aTime_GetMSTicks();
  uint64_t after = monotonicMS();
  EXPECT_LE(before, ticks);
  EXPECT_LE(ticks, after);
}

std::vector<uint32_t> piecesOf(uint64_t milliseconds) {
  std::vector<uint32_t> pieces;
  uint64_t remaining = aTimeDetail::sleepMicroseconds(milliseconds);
  while (remaining > 0) {
    pieces.push_back(aTimeDetail::takeSleepPiece(&remaining));
  }
  return pieces;
}

TEST(Sleep, IsSplitIntoPiecesShorterThanASecond) {
  struct Case {
    uint64_t milliseconds;
    std::vector<uint32_t> pieces;
  };
  const Case cases[] = {
      {0, {}},
      {1, {1000}},
      {999, {999000}},
      {1000, {999999, 1}},
      {2500, {999999, 999999, 500002}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(piecesOf(c.milliseconds), c.pieces) << c.milliseconds << " ms";
  }
  EXPECT_EQ(aTimeDetail::sleepMicroseconds(UINT64_MAX), UINT64_MAX) << "must not wrap to a short sleep";
}

TEST(Sleep, ZeroReturnsSuccess) { EXPECT_EQ(aTime_MSSleep(0), aErrNone); }

std::atomic<int> signalsSeen{0};

void countSignal(int) { signalsSeen.fetch_add(1); }

// Signals keep arriving while the sleeper sleeps; every one cuts a system
// sleep short and the sleep must still last its full time.
TEST(Sleep, ResumesAfterASignal) {
  struct sigaction handler = {};
  struct sigaction previous = {};
  handler.sa_handler = countSignal;
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);

  const pthread_t sleeper = pthread_self();
  std::mutex lock;
  std::condition_variable wake;
  bool done = false;
  std::thread interrupter([&] {
    std::unique_lock<std::mutex> held(lock);
    while (!wake.wait_for(held, std::chrono::milliseconds(20), [&] { return done; })) {
      pthread_kill(sleeper, SIGUSR1);
    }
  });

  constexpr uint64_t kSleepMS = 200;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aTime_MSSleep(kSleepMS), aErrNone);
  auto slept = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard<std::mutex> held(lock);
    done = true;
  }
  wake.notify_one();
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_GE(slept, std::chrono::milliseconds(kSleepMS));
  EXPECT_GT(signalsSeen.load(), 0);
}

}  // namespace
