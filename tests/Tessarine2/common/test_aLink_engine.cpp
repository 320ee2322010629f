// The link engine against a simulated module on loopback TCP: heartbeats,
// the user filter, synchronisation, framing faults, the stop, filtered
// waits and packet debugging.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aTime.h"
#include "tests/Tessarine2/common/test_aLink_support.h"

namespace {

using linktest::Clock;
using linktest::echo;
using linktest::kEcho;
using linktest::kModule;
using linktest::msSince;
using linktest::PacketPtr;
using simmodule::SimPacket;

class LinkEngine : public testing::Test {
 protected:
  void SetUp() override {
    link_ = module_.open();
    ASSERT_NE(link_, 0);
    ASSERT_TRUE(module_.engine.waitUntil([&] { return module_.engine.forceRoutes().size() == 1; }, 2000));
  }
  void TearDown() override {
    if (link_ != 0) {
      aLink_Destroy(&link_);
    }
  }
  simmodule::ModuleEngine& engine() { return module_.engine; }

  linktest::TcpModule module_;
  linkID link_ = 0;
};

struct HeartbeatCase {
  uint8_t n;
  uint8_t answer;
};

TEST_F(LinkEngine, AnswersEveryHeartbeatAndQueuesNone) {
  const HeartbeatCase cases[] = {{0, 2}, {1, 3}, {0xFF, 1}};
  size_t answered = 0;
  for (const HeartbeatCase& c : cases) {
    engine().sendHeartbeat(c.n);
    ++answered;
    ASSERT_TRUE(engine().waitUntil([&] { return engine().heartbeats().answered == answered; }, 1000))
        << "heartbeat [0, " << int(c.n) << "]";
    const SimPacket last = engine().received().back().packet;
    EXPECT_EQ(last, (SimPacket{kModule, {0, c.answer}}));
  }
  EXPECT_EQ(engine().heartbeats().wrong, 0u);
  EXPECT_FALSE(PacketPtr(aLink_GetPacket(link_)));
}

TEST_F(LinkEngine, StartingARunningLinkDoesNothing) {
  EXPECT_EQ(aLink_Start(link_), aErrNone);
  // Whatever a second start queued would reach the module before the echo.
  EXPECT_TRUE(echo(link_, {1}));
  EXPECT_EQ(engine().forceRoutes(), (std::vector<uint8_t>{1}));
}

TEST_F(LinkEngine, QueuesATwoBytePacketThatIsNoHeartbeat) {
  engine().injectPacket(SimPacket{kModule, {1, 0}});
  PacketPtr packet(aLink_AwaitPacket(link_, 1000));
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet.data(), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(engine().heartbeats().answered, 0u);
}

struct FilterLog {
  std::atomic<int> seen{0};
};

bool consumeEverything(const aPacket*, void* reference) {
  ++static_cast<FilterLog*>(reference)->seen;
  return true;
}

TEST_F(LinkEngine, LeavesAHeartbeatThatTheUserFilterConsumedUnanswered) {
  FilterLog log;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link_, consumeEverything, &log), aErrNone);
  engine().sendHeartbeat(0);
  engine().injectPacket(SimPacket{kModule, {0x42}});
  ASSERT_TRUE(linktest::eventually([&] { return log.seen.load() == 2; }, 1000));
  EXPECT_FALSE(PacketPtr(aLink_GetPacket(link_)));

  // Once removed, the filter sees nothing more and heartbeats are answered.
  // Answers go out in order: when the second heartbeat's has come, one to
  // the first would have come before it.
  ASSERT_EQ(aLink_InstallUserPacketFilter(link_, nullptr, nullptr), aErrNone);
  engine().sendHeartbeat(1);
  ASSERT_TRUE(engine().waitUntil([&] { return engine().heartbeats().answered >= 1; }, 1000));
  EXPECT_EQ(engine().heartbeats().answered, 1u);
  EXPECT_EQ(log.seen.load(), 2);
}

// Synchronisation of a running TCP link, with the module scripted byte by
// byte: it stays silent and the test supplies its answers.
class LinkSync : public LinkEngine {
 protected:
  void startSync() {
    engine().setSilent(true);
    engine().clearRecords();
    started_ = Clock::now();
    sync_ = std::async(std::launch::async, [this] { return aLink_Sync(link_); });
    ASSERT_TRUE(requestsReach(6));
  }
  bool requestsReach(size_t count, int timeoutMS = 1000) {
    return engine().waitUntil([&] { return engine().syncRequests() >= count; }, timeoutMS);
  }
  void answer(std::vector<uint8_t> bytes) { engine().injectBytes(bytes); }
  aErr syncResult() { return sync_.get(); }

  Clock::time_point started_;
  std::future<aErr> sync_;
};

TEST_F(LinkSync, ComesInStepOnTwoIdenticalAnswers) {
  startSync();
  answer({0x06, 0x00, 0x06, 0x00});
  EXPECT_EQ(syncResult(), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link_), kLinkStateRunning);
  EXPECT_EQ(engine().syncRequests(), 6u);
}

TEST_F(LinkSync, ComesInStepOnAnswersSplitAcrossReads) {
  startSync();
  for (uint8_t byte : {0x06, 0x00, 0x06, 0x00}) {
    answer({byte});
    aTime_MSSleep(60);
  }
  EXPECT_EQ(syncResult(), aErrNone);
  EXPECT_EQ(engine().syncRequests(), 6u) << "a gap between bytes restarted the synchronisation";
}

TEST_F(LinkSync, RestartsOnAnOddAddressByte) {
  startSync();
  answer({0x07});
  EXPECT_TRUE(requestsReach(12));
  answer({0x06, 0x00, 0x06, 0x00});
  EXPECT_EQ(syncResult(), aErrNone);
}

TEST_F(LinkSync, ReturnsToItsStartOnADifferentSecondAddress) {
  startSync();
  answer({0x06, 0x00, 0x08});
  aTime_MSSleep(100);
  EXPECT_EQ(engine().syncRequests(), 6u);
  answer({0x06});  // dropped: it only restarts the synchronisation
  EXPECT_TRUE(requestsReach(12));
  answer({0x06, 0x00, 0x06, 0x00});
  EXPECT_EQ(syncResult(), aErrNone);
}

TEST_F(LinkSync, GivesUpOnASilentModuleAfterTwoSecondsWithoutSpinning) {
  startSync();
  EXPECT_EQ(syncResult(), aErrNotReady);
  const int64_t took = msSince(started_);
  EXPECT_GE(took, 1900);
  EXPECT_LE(took, 3500);
  aTime_MSSleep(300);
  EXPECT_EQ(aLink_GetStatus(link_), kLinkStateSyncing);
  // Restarted after each quiet period, not after every empty read.
  EXPECT_GE(engine().syncRequests(), 12u);
  EXPECT_LE(engine().syncRequests(), 36u);
}

TEST_F(LinkSync, AnsweringModuleBringsALinkInStepAndItsSurplusIsDropped) {
  EXPECT_EQ(aLink_Sync(link_), aErrNone);
  // One attempt: the requests still queued once two answers are in are
  // dropped unwritten.
  EXPECT_GE(engine().syncRequests(), 2u);
  EXPECT_LE(engine().syncRequests(), 6u);
  EXPECT_FALSE(PacketPtr(aLink_GetPacket(link_)));
  EXPECT_TRUE(echo(link_, {1, 2, 3}));
}

struct FramingFault {
  const char* name;
  void (*inject)(simmodule::ModuleEngine&);
};

TEST_F(LinkEngine, ResynchronisesAfterAFramingFault) {
  const FramingFault faults[] = {
      {"odd address", [](simmodule::ModuleEngine& e) { e.injectOddAddress(); }},
      {"zero address", [](simmodule::ModuleEngine& e) { e.injectZeroAddress(); }},
      {"length 29", [](simmodule::ModuleEngine& e) { e.injectBadLength(); }},
  };
  for (const FramingFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    engine().clearRecords();
    fault.inject(engine());
    ASSERT_TRUE(engine().waitUntil([&] { return engine().syncRequests() >= 6; }, 1000));
    ASSERT_TRUE(linktest::eventually([&] { return aLink_GetStatus(link_) == kLinkStateRunning; }, 1000));
    // The surplus answers stay queued until someone takes them.
    aLink_DrainPackets(link_, [](const aPacket* p, const void*) { return p->dataSize == 0; }, nullptr);
    EXPECT_TRUE(echo(link_, {9}));
  }
}

TEST_F(LinkEngine, RecoversFromGarbage) {
  engine().injectGarbage(64, 7);
  // Garbage may also frame as packets that swallow an answer: ask again
  // until one comes back.
  EXPECT_TRUE(linktest::eventually(
      [&] { return aLink_GetStatus(link_) == kLinkStateRunning && echo(link_, {5, 6}, 300); }, 3000));
}

TEST_F(LinkEngine, StopWritesEverythingQueuedThenForceRouteOffLast) {
  constexpr int kQueued = 200;
  engine().setSilent(true);
  for (int i = 0; i < kQueued; ++i) {
    ASSERT_EQ(linktest::send(link_, kModule, {0x42, static_cast<uint8_t>(i)}), aErrNone);
  }
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(aLink_Destroy(&link_), aErrNone);
  const int64_t took = msSince(start);
  EXPECT_EQ(link_, 0);
  EXPECT_LT(took, 500) << "the stop waited for the writer's timeout";

  std::vector<simmodule::ModuleEngine::HostPacket> got;
  ASSERT_TRUE(engine().waitUntil(
      [&] {
        got = engine().received();
        return !got.empty() && got.back().packet == SimPacket{0xAF, {0}};
      },
      1000));
  std::vector<int> order;
  for (const auto& host : got) {
    if (host.packet.address == kModule && host.packet.data.size() == 2 && host.packet.data[0] == 0x42) {
      order.push_back(host.packet.data[1]);
    }
  }
  ASSERT_EQ(order.size(), static_cast<size_t>(kQueued));
  for (int i = 0; i < kQueued; ++i) {
    EXPECT_EQ(order[i], i);
  }
  EXPECT_EQ(engine().forceRoutes(), (std::vector<uint8_t>{1, 0}));
}

bool isCommand42(const aPacket* packet, const void*) { return packet->dataSize > 0 && packet->data[0] == 0x42; }

bool noteCommand42(const aPacket* packet, void* reference) {
  if (isCommand42(packet, nullptr)) {
    ++static_cast<FilterLog*>(reference)->seen;
  }
  return false;
}

TEST_F(LinkEngine, AwaitFirstGivesNothingAtOnceWhenTheLinkIsNotRunning) {
  // The reader offers the packet to the filter, queues it, then reads on:
  // by the time the close has failed a read, the packet is queued.
  FilterLog log;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link_, noteCommand42, &log), aErrNone);
  engine().injectPacket(SimPacket{kModule, {0x42}});
  ASSERT_TRUE(linktest::eventually([&] { return log.seen.load() == 1; }, 1000));
  // The module leaves the network: reads fail from now on.
  module_.front.stopListening();
  module_.front.disconnect(false);
  ASSERT_TRUE(linktest::eventually([&] { return aLink_GetStatus(link_) == kLinkStateIOError; }, 1000));

  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(PacketPtr(aLink_AwaitFirst(link_, isCommand42, nullptr, 1000)));
  EXPECT_LT(msSince(start), 500);
  // The packet was there all along.
  EXPECT_TRUE(PacketPtr(aLink_GetFirst(link_, isCommand42, nullptr)));
}

// A link that can no longer read says so to a sender at once, rather than
// taking the packet and leaving it to wait for a reply.
TEST_F(LinkEngine, APutOnALinkThatCannotReadReturnsTheReadError) {
  EXPECT_EQ(linktest::send(link_, kModule, {kEcho, 1}), aErrNone);
  module_.front.stopListening();
  module_.front.disconnect(false);
  ASSERT_TRUE(linktest::eventually([&] { return aLink_GetStatus(link_) == kLinkStateIOError; }, 1000));
  EXPECT_EQ(linktest::send(link_, kModule, {kEcho, 2}), aErrConnection);
}

TEST_F(LinkEngine, AnIdleLinkUsesAlmostNoProcessor) {
  const double before = linktest::processCpuMS();
  aTime_MSSleep(1000);
  EXPECT_LT(linktest::processCpuMS() - before, 50.0);
  EXPECT_TRUE(echo(link_, {1}));
}

TEST(LinkIds, OperationsOnAnIdNotInTheTable) {
  const linkID unknown = 77;
  const uint8_t none = 0;
  PacketPtr packet(aPacket_CreateWithData(kModule, 1, &none));
  EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
  EXPECT_EQ(aLink_PutPacket(unknown, packet.p), aErrParam);
  EXPECT_EQ(aLink_GetStatus(unknown), kLinkStateNoStream);
  EXPECT_FALSE(PacketPtr(aLink_GetPacket(unknown)));
  EXPECT_FALSE(PacketPtr(aLink_AwaitFirst(unknown, isCommand42, nullptr, 10)));
  EXPECT_EQ(aLink_DrainPackets(unknown, isCommand42, nullptr), 0u);
  EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_Start(unknown), aErrParam);
  EXPECT_EQ(aLink_Sync(unknown), aErrParam);
  EXPECT_EQ(aLink_Reset(unknown), aErrParam);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
  int32_t kind = 0;
  uint32_t length = 0;
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 0), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(unknown, &kind, &length, nullptr), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(unknown, 3, 0, nullptr), aErrParam);
  linkID id = unknown;
  EXPECT_EQ(aLink_Destroy(&id), aErrParam);
  EXPECT_EQ(id, 0);
}

struct Record {
  int32_t kind;
  std::vector<uint8_t> bytes;
};

std::vector<Record> readLog(linkID link) {
  std::vector<Record> records;
  for (;;) {
    int32_t kind = 0;
    uint8_t buffer[64];
    uint32_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(link, &kind, &length, buffer) != aErrNone) {
      return records;
    }
    records.push_back(Record{kind, std::vector<uint8_t>(buffer, buffer + length)});
  }
}

TEST_F(LinkEngine, PacketDebugCodesAndRecords) {
  int32_t kind = 0;
  uint32_t length = 0;
  EXPECT_EQ(aLink_PacketDebug_Disable(link_), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Read(link_, &kind, &length, nullptr), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(link_, 3, 0, nullptr), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link_, aLINK_MAX_LOG_SIZE + 1), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link_, -5), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(link_), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link_, 100), aErrBusy);

  ASSERT_TRUE(echo(link_, {1, 2}));
  const uint8_t mark[] = {'S', 'T', 'A', 'R', 'T', 0};
  ASSERT_EQ(aLink_PacketDebug_Write(link_, 3, sizeof mark, mark), aErrNone);
  const std::vector<uint8_t> wire{kModule, 3, linktest::kEcho, 1, 2};
  std::vector<Record> records = readLog(link_);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].kind, 1);
  EXPECT_EQ(records[0].bytes, wire);
  EXPECT_EQ(records[1].kind, 2);
  EXPECT_EQ(records[1].bytes, wire);
  EXPECT_EQ(records[2].kind, 3);
  EXPECT_EQ(records[2].bytes, std::vector<uint8_t>(mark, mark + sizeof mark));

  // Disabled, the log stays but takes no more packets.
  ASSERT_EQ(aLink_PacketDebug_Disable(link_), aErrNone);
  ASSERT_TRUE(echo(link_, {3}));
  length = 64;
  EXPECT_EQ(aLink_PacketDebug_Read(link_, &kind, &length, nullptr), aErrNotFound);
  ASSERT_EQ(aLink_PacketDebug_Enable(link_), aErrNone);
  ASSERT_TRUE(echo(link_, {4}));
  EXPECT_EQ(readLog(link_).size(), 2u);
}

TEST_F(LinkEngine, ARingTooSmallForAnyRecordCannotBeEnabled) {
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(link_, 2), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Enable(link_), aErrResource);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link_, 64), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Enable(link_), aErrNone);
}

}  // namespace
