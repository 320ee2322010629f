#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/Tessarine2/common/packetfifo_support.h"

namespace fifotest {
namespace {

// Must stay the first test of the program: it relies on the fresh process
// that ctest gives every test, in which no FIFO has been made yet.
TEST(PacketFifoHandles, CountFromOneAndAreNeverReused) {
  aPacketFifoHandle first = aPacketFifo_Create();
  aPacketFifoHandle second = aPacketFifo_Create();
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  ASSERT_EQ(aPacketFifo_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  aPacketFifoHandle third = aPacketFifo_Create();
  EXPECT_EQ(third, 3u);
  EXPECT_EQ(aPacketFifo_Destroy(&second), aErrNone);
  EXPECT_EQ(aPacketFifo_Destroy(&third), aErrNone);
}

TEST_F(FifoTest, KeepsItsOwnCopiesInPutOrder) {
  Packet original = makePacket(1, 100);
  ASSERT_EQ(aPacketFifo_Put(fifo_, original.get()), aErrNone);
  original->data[0] = 99;  // the queued copy must not see this
  ASSERT_EQ(put(fifo_, 2, 101), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 2u);

  Packet first(aPacketFifo_Get(fifo_));
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first.get(), original.get());
  EXPECT_EQ(first->data[0], 1);
  EXPECT_EQ(tagOf(first.get()), 100);
  EXPECT_TRUE(aPacket_IsComplete(first.get()));

  Packet second(aPacketFifo_Await(fifo_, 1000));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(tagOf(second.get()), 101);
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
  EXPECT_EQ(aPacketFifo_Get(fifo_), nullptr);
}

TEST_F(FifoTest, RefusedPutsQueueNothing) {
  aPacketFifoHandle gone = aPacketFifo_Create();
  aPacketFifoHandle destroyed = gone;
  ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
  aPacketFifoHandle unknown = destroyed + 1000;

  struct Case {
    const char* shows;
    std::function<void(aPacket&)> spoil;
    aPacketFifoHandle* target;
  };
  const Case cases[] = {
      {"wrong check word", [](aPacket& p) { p.check = 0xDEAD; }, &fifo_},
      {"cleared check word", [](aPacket& p) { p.check = 0; }, &fifo_},
      {"length above 28 cannot be copied", [](aPacket& p) { p.dataSize = 29; }, &fifo_},
      {"handle 0", [](aPacket&) {}, nullptr},
      {"handle never made", [](aPacket&) {}, &unknown},
      {"destroyed handle", [](aPacket&) {}, &destroyed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    Packet p = makePacket(5, 1);
    c.spoil(*p);
    EXPECT_EQ(aPacketFifo_Put(c.target ? *c.target : 0, p.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
  }
  EXPECT_EQ(aPacketFifo_Put(fifo_, nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
}

TEST_F(FifoTest, OverflowEmptiesTheQueueAtThe1001stPacket) {
  for (uint16_t tag = 0; tag < 1000; ++tag) {
    ASSERT_EQ(put(fifo_, 1, tag), aErrNone);
  }
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1000u);

  EXPECT_EQ(put(fifo_, 1, 1000), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);

  EXPECT_EQ(put(fifo_, 1, 1001), aErrNone);
  EXPECT_EQ(queuedTags(), std::vector<uint16_t>{1001});
}

TEST_F(FifoTest, TakingMakesRoomBeforeTheBound) {
  for (uint16_t tag = 0; tag < 1000; ++tag) {
    ASSERT_EQ(put(fifo_, 1, tag), aErrNone);
  }
  Packet taken(aPacketFifo_Get(fifo_));
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(put(fifo_, 1, 1000), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1000u);
}

// The filtered takes leave the refused packets queued, in order.
TEST_F(FifoTest, FilteredTakeReturnsTheFirstMatchAndKeepsTheRest) {
  struct Case {
    const char* shows;
    std::function<aPacket*(aPacketFifoHandle, const OfferLog*)> take;
  };
  const Case cases[] = {
      {"GetFirst",
       [](aPacketFifoHandle f, const OfferLog* log) { return aPacketFifo_GetFirst(f, OfferLog::filter, log); }},
      {"AwaitFirst, no wait",
       [](aPacketFifoHandle f, const OfferLog* log) { return aPacketFifo_AwaitFirst(f, OfferLog::filter, log, 0); }},
      {"AwaitFirst, waiting",
       [](aPacketFifoHandle f, const OfferLog* log) {
         return aPacketFifo_AwaitFirst(f, OfferLog::filter, log, 1000);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    aPacketFifo_DrainPackets(fifo_, acceptAll, nullptr);
    ASSERT_EQ(put(fifo_, 1, 10), aErrNone);
    ASSERT_EQ(put(fifo_, 5, 11), aErrNone);
    ASSERT_EQ(put(fifo_, 5, 12), aErrNone);

    OfferLog log(5);
    Packet taken(c.take(fifo_, &log));
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(tagOf(taken.get()), 11);
    EXPECT_EQ(log.tags(), (std::vector<uint16_t>{10, 11}));
    EXPECT_EQ(queuedTags(), (std::vector<uint16_t>{10, 12}));
  }
}

TEST_F(FifoTest, FilteredTakeFindingNothingReturnsNull) {
  ASSERT_EQ(put(fifo_, 1, 1), aErrNone);
  EXPECT_EQ(aPacketFifo_GetFirst(fifo_, acceptNone, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, acceptNone, nullptr, 20), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1u);
}

TEST_F(FifoTest, NullFilterTakesNothingAndDoesNotWait) {
  ASSERT_EQ(put(fifo_, 1, 1), aErrNone);
  auto start = steadyClock::now();
  EXPECT_EQ(aPacketFifo_GetFirst(fifo_, nullptr, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, nullptr, nullptr, 10000), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, nullptr, nullptr), 0u);
  EXPECT_LT(steadyClock::now() - start, milliseconds(1000));
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1u);
}

TEST_F(FifoTest, DrainRemovesTheAcceptedAndKeepsTheOrderOfTheRest) {
  const uint8_t cmds[] = {1, 5, 2, 5, 3};
  for (uint16_t tag = 0; tag < 5; ++tag) {
    ASSERT_EQ(put(fifo_, cmds[tag], tag), aErrNone);
  }
  OfferLog log(5);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, OfferLog::filter, &log), 2u);
  EXPECT_EQ(log.tags(), (std::vector<uint16_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(queuedTags(), (std::vector<uint16_t>{0, 2, 4}));

  EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, acceptAll, nullptr), 3u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, acceptAll, nullptr), 0u);

  ASSERT_EQ(put(fifo_, 7, 9), aErrNone);
  EXPECT_EQ(queuedTags(), std::vector<uint16_t>{9});
}

TEST(PacketFifoDestroy, RefusesNullAndUnknownHandles) {
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

  aPacketFifoHandle never = 987654321;
  EXPECT_EQ(aPacketFifo_Destroy(&never), aErrNotFound);
  EXPECT_EQ(never, 987654321u);

  aPacketFifoHandle fifo = aPacketFifo_Create();
  ASSERT_EQ(put(fifo, 1, 1), aErrNone);
  const aPacketFifoHandle original = fifo;
  aPacketFifoHandle stale = fifo;
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  EXPECT_EQ(fifo, 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
  EXPECT_EQ(stale, original);
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNotFound);
}

TEST(PacketFifoDestroy, EveryOperationTreatsAGoneHandleAsAbsent) {
  aPacketFifoHandle destroyed = aPacketFifo_Create();
  aPacketFifoHandle kept = destroyed;
  ASSERT_EQ(put(destroyed, 1, 1), aErrNone);
  ASSERT_EQ(aPacketFifo_Destroy(&destroyed), aErrNone);

  for (aPacketFifoHandle handle : {aPacketFifoHandle{0}, kept, kept + 1000}) {
    SCOPED_TRACE(handle);
    auto start = steadyClock::now();
    EXPECT_EQ(put(handle, 1, 2), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
    EXPECT_EQ(aPacketFifo_Get(handle), nullptr);
    EXPECT_EQ(aPacketFifo_Await(handle, 10000), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(handle, acceptAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(handle, acceptAll, nullptr, 10000), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(handle, acceptAll, nullptr), 0u);
    EXPECT_LT(steadyClock::now() - start, milliseconds(1000));
  }
}

TEST_F(FifoTest, ZeroTimeoutOnAnEmptyFifoDoesNotSleep) {
  auto start = steadyClock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo_, 0), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, acceptAll, nullptr, 0), nullptr);
  EXPECT_LT(steadyClock::now() - start, milliseconds(50));
}

TEST_F(FifoTest, ShortTimeoutWaitsItsFullLength) {
  auto start = steadyClock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo_, 60), nullptr);
  EXPECT_GE(steadyClock::now() - start, milliseconds(60));

  ASSERT_EQ(put(fifo_, 1, 1), aErrNone);
  start = steadyClock::now();
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, acceptNone, nullptr, 60), nullptr);
  EXPECT_GE(steadyClock::now() - start, milliseconds(60));
}

// Built before every ordinary static object (the lowest user priority), so
// destroyed after anything the library keeps in static storage. A FIFO used
// from here at exit must still work.
struct LateUser {
  bool armed = false;
  ~LateUser() {
    if (!armed) {
      return;
    }
    aPacketFifoHandle fifo = aPacketFifo_Create();
    bool ok = fifo != 0 && put(fifo, 1, 7) == aErrNone && aPacketFifo_GetLength(fifo) == 1;
    Packet p(aPacketFifo_Await(fifo, 100));
    ok = ok && p != nullptr && tagOf(p.get()) == 7 && aPacketFifo_Destroy(&fifo) == aErrNone;
    _exit(ok ? 0 : 3);
  }
};
LateUser gLateUser __attribute__((init_priority(101)));

TEST(PacketFifoLifetime, TableStillServesStaticDestructorsAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        aPacketFifoHandle early = aPacketFifo_Create();
        put(early, 1, 1);  // left queued on purpose: the table is not emptied at exit
        gLateUser.armed = true;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace fifotest
