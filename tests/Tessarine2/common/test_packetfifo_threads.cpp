#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "Tessarine2/common/aSpinWait.h"
#include "tests/Tessarine2/common/packetfifo_support.h"

namespace fifotest {
namespace {

constexpr uint8_t kRefused = 1;
constexpr uint8_t kWanted = 9;

TEST_F(FifoTest, WaiterIsOfferedEachPacketOnceHoweverOftenItWakes) {
  ASSERT_EQ(put(fifo_, kRefused, 1), aErrNone);
  ASSERT_EQ(put(fifo_, kRefused, 2), aErrNone);

  OfferLog log(kWanted);
  Packet result;
  std::thread waiter([&] { result.reset(aPacketFifo_AwaitFirst(fifo_, OfferLog::filter, &log, 10000)); });

  // Each put wakes the waiter; waiting for its offer makes sure it did scan
  // again before the next put.
  ASSERT_TRUE(log.waitForOffers(2));
  for (uint16_t tag = 3; tag <= 5; ++tag) {
    ASSERT_EQ(put(fifo_, kRefused, tag), aErrNone);
    ASSERT_TRUE(log.waitForOffers(tag));
    if (tag == 3) {
      // Taken by someone else while the waiter sleeps: it simply disappears.
      Packet other(aPacketFifo_Get(fifo_));
      ASSERT_NE(other, nullptr);
      EXPECT_EQ(tagOf(other.get()), 1);
    }
  }
  ASSERT_EQ(put(fifo_, kWanted, 6), aErrNone);
  waiter.join();

  ASSERT_NE(result, nullptr);
  EXPECT_EQ(tagOf(result.get()), 6);
  EXPECT_EQ(log.tags(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));

  // The refused packets are still there, and a new call offers them again.
  OfferLog again(kWanted);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, OfferLog::filter, &again, 30), nullptr);
  EXPECT_EQ(again.tags(), (std::vector<uint16_t>{2, 3, 4, 5}));
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 4u);
}

// Timeouts beyond what the clock can add to now mean "until woken". The
// waiter has scanned (and found nothing) before the put, so a deadline that
// came out in the past would make it return NULL first.
TEST_F(FifoTest, HugeTimeoutsWaitUntilAPacketComes) {
  const uint64_t timeouts[] = {UINT64_MAX, uint64_t{INT64_MAX}, uint64_t{1} << 62, uint64_t{1} << 44,
                               uint64_t{1} << 42 /* about 139 years: still a real deadline */};
  for (uint64_t timeout : timeouts) {
    SCOPED_TRACE(timeout);
    aPacketFifo_DrainPackets(fifo_, acceptAll, nullptr);
    ASSERT_EQ(put(fifo_, kRefused, 1), aErrNone);
    OfferLog log(kWanted);
    Packet result;
    std::thread waiter([&] { result.reset(aPacketFifo_AwaitFirst(fifo_, OfferLog::filter, &log, timeout)); });
    ASSERT_TRUE(log.waitForOffers(1));
    ASSERT_EQ(put(fifo_, kWanted, 2), aErrNone);
    waiter.join();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(tagOf(result.get()), 2);
  }
}

TEST_F(FifoTest, UnboundedAwaitIsWokenByAPut) {
  Packet result;
  std::thread waiter([&] { result.reset(aPacketFifo_Await(fifo_, UINT64_MAX)); });
  std::this_thread::sleep_for(milliseconds(50));  // let it fall asleep first
  ASSERT_EQ(put(fifo_, kWanted, 3), aErrNone);
  waiter.join();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(tagOf(result.get()), 3);
}

class DestroyWakesWaiters : public ::testing::TestWithParam<uint64_t> {};

TEST_P(DestroyWakesWaiters, InAwaitAndAwaitFirstAtOnce) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  ASSERT_EQ(put(fifo, kRefused, 1), aErrNone);
  const uint64_t timeout = GetParam();

  OfferLog log(kWanted);
  aPacket* filteredResult = nullptr;
  steadyClock::time_point filteredBack;
  std::thread filtered([&] {
    filteredResult = aPacketFifo_AwaitFirst(fifo, OfferLog::filter, &log, timeout);
    filteredBack = steadyClock::now();
  });
  ASSERT_TRUE(log.waitForOffers(1));
  // Not a wake-up: the filtered waiter keeps sleeping.
  Packet refused(aPacketFifo_Get(fifo));
  ASSERT_NE(refused, nullptr);

  aPacket* plainResult = nullptr;
  steadyClock::time_point plainBack;
  std::thread plain([&] {
    plainResult = aPacketFifo_Await(fifo, timeout);
    plainBack = steadyClock::now();
  });
  // The plain waiter gives no sign that it sleeps; had it not started yet,
  // it finds the handle gone and returns NULL all the same.
  std::this_thread::sleep_for(milliseconds(100));

  const aPacketFifoHandle handle = fifo;
  const auto destroyedAt = steadyClock::now();
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  filtered.join();
  plain.join();

  EXPECT_EQ(filteredResult, nullptr);
  EXPECT_EQ(plainResult, nullptr);
  EXPECT_GE(filteredBack, destroyedAt);
  EXPECT_LT(filteredBack - destroyedAt, milliseconds(500));
  EXPECT_LT(plainBack - destroyedAt, milliseconds(500));
  EXPECT_EQ(log.tags(), std::vector<uint16_t>{1});
  EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, DestroyWakesWaiters, ::testing::Values(uint64_t{10000}, UINT64_MAX));

// Caps the packets in flight between producers and consumers well below the
// overflow bound; producers block while it is reached.
class InFlight {
 public:
  explicit InFlight(size_t limit) : limit_(limit) {}
  bool acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return count_ < limit_ || stopped_; });
    ++count_;
    return !stopped_;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --count_;
    }
    room_.notify_one();
  }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    room_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable room_;
  size_t limit_;
  size_t count_ = 0;
  bool stopped_ = false;
};

constexpr int kSides = 4;
constexpr uint16_t kPerProducer = 15000;

// Stress packets: data byte 0 the producer, the tag its sequence number.
struct Selector {
  enum Kind { byProducer, byResidue } kind;
  int consumer;
};

bool selects(const aPacket* p, const void* ref) {
  const auto* s = static_cast<const Selector*>(ref);
  return s->kind == Selector::byProducer ? p->data[0] == s->consumer : tagOf(p) % kSides == s->consumer;
}

class PacketFifoStress : public ::testing::TestWithParam<Selector::Kind> {};

TEST_P(PacketFifoStress, FilteredConsumersTakeEveryPacketOnceInProducerOrder) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  ASSERT_NE(fifo, 0u);
  InFlight inFlight(256);
  std::atomic<bool> failed{false};

  // Each consumer records (producer, sequence) of what it took.
  std::vector<std::vector<std::pair<int, uint16_t>>> taken(kSides);
  std::vector<std::thread> threads;
  for (int c = 0; c < kSides; ++c) {
    threads.emplace_back([&, c] {
      Selector selector{GetParam(), c};
      for (int n = 0; n < kPerProducer; ++n) {
        Packet p(aPacketFifo_AwaitFirst(fifo, selects, &selector, 5000));
        if (!p) {
          failed = true;
          inFlight.stop();
          return;
        }
        taken[c].emplace_back(p->data[0], tagOf(p.get()));
        inFlight.release();
      }
    });
  }
  for (int producer = 0; producer < kSides; ++producer) {
    threads.emplace_back([&, producer] {
      for (uint16_t seq = 0; seq < kPerProducer; ++seq) {
        if (!inFlight.acquire() || put(fifo, static_cast<uint8_t>(producer), seq) != aErrNone) {
          failed = true;
          return;
        }
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  ASSERT_FALSE(failed);

  // Each consumer's share of one producer arrives in order without gaps, so
  // nothing was lost, doubled or overtaken.
  for (int c = 0; c < kSides; ++c) {
    SCOPED_TRACE(c);
    ASSERT_EQ(taken[c].size(), kPerProducer);
    std::vector<int> expected(kSides, GetParam() == Selector::byResidue ? c : 0);
    for (const auto& [producer, seq] : taken[c]) {
      ASSERT_TRUE(GetParam() == Selector::byResidue || producer == c);
      ASSERT_EQ(seq, expected[producer]) << "producer " << producer;
      expected[producer] += GetParam() == Selector::byResidue ? kSides : 1;
    }
  }
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(Filters, PacketFifoStress, ::testing::Values(Selector::byProducer, Selector::byResidue),
                         [](const auto& info) {
                           return info.param == Selector::byProducer ? "OneProducerEach" : "OneResidueEach";
                         });

// FIFOs made, used and destroyed on several threads at once: the table and
// the FIFOs' lifetimes hold up, and a FIFO destroyed under its users turns
// them all away.
TEST(PacketFifoConcurrency, UsersOfADestroyedFifoAreTurnedAway) {
  constexpr int kRounds = 50;
  std::vector<std::thread> churners;
  std::atomic<bool> failed{false};
  for (int t = 0; t < 3; ++t) {
    churners.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        aPacketFifoHandle fifo = aPacketFifo_Create();
        std::thread user([&, fifo] {
          while (put(fifo, 1, 1) == aErrNone) {
            Packet p(aPacketFifo_AwaitFirst(fifo, acceptAll, nullptr, 1000));
            Packet q(aPacketFifo_Await(fifo, 1));
            aPacketFifo_GetLength(fifo);
          }
          if (aPacketFifo_Await(fifo, 1000) != nullptr) {
            failed = true;
          }
        });
        std::thread waiter([&, fifo] {
          Packet p(aPacketFifo_AwaitFirst(fifo, acceptNone, nullptr, UINT64_MAX));
          if (p) {
            failed = true;
          }
        });
        std::this_thread::sleep_for(milliseconds(1));
        aPacketFifoHandle doomed = fifo;
        if (aPacketFifo_Destroy(&doomed) != aErrNone) {
          failed = true;
        }
        user.join();
        waiter.join();
      }
    });
  }
  for (std::thread& t : churners) {
    t.join();
  }
  EXPECT_FALSE(failed);
}

// While puts come close together a waiter spins for the next one before it
// sleeps. A put that lands as the spin gives up, between its last look and
// the sleep, must still wake the waiter. The producer puts each packet once
// the waiter has taken the one before; every fourth put follows a delay
// that sweeps across the length of the spin, and a waiter that missed its
// put would hold the exchange up for good (it waits without a deadline).
TEST(PacketFifoSpin, APutAsTheSpinGivesUpStillWakesTheWaiter) {
  constexpr int kExchanges = 20000;
  aPacketFifoHandle fifo = aPacketFifo_Create();
  ASSERT_NE(fifo, 0u);
  std::mutex mutex;
  std::condition_variable changed;
  int taken = 0;
  std::thread waiter([&] {
    for (int n = 0; n < kExchanges; ++n) {
      Packet p(aPacketFifo_Await(fifo, UINT64_MAX));
      if (!p) {
        return;  // destroyed below after a stall
      }
      {
        std::lock_guard<std::mutex> hold(mutex);
        taken = n + 1;
      }
      changed.notify_all();
    }
  });
  std::mt19937 random(24);
  const auto longest = std::chrono::duration_cast<std::chrono::nanoseconds>(2 * aSpinWait::kSpinLimit).count();
  std::uniform_int_distribution<int64_t> delayNS(0, longest);
  int stalledAt = -1;
  for (int n = 0; n < kExchanges && stalledAt < 0; ++n) {
    if (n % 4 == 3) {
      const auto until = steadyClock::now() + std::chrono::nanoseconds(delayNS(random));
      while (steadyClock::now() < until) {
      }
    }
    ASSERT_EQ(put(fifo, kWanted, static_cast<uint16_t>(n)), aErrNone);
    std::unique_lock<std::mutex> hold(mutex);
    if (!changed.wait_for(hold, milliseconds(5000), [&] { return taken > n; })) {
      stalledAt = n;
    }
  }
  aPacketFifo_Destroy(&fifo);
  waiter.join();
  EXPECT_EQ(stalledAt, -1) << "the waiter missed the put of exchange " << stalledAt;
}

}  // namespace
}  // namespace fifotest
