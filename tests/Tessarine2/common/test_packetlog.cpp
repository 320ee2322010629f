// The packet log ring and the logger thread.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aLogger.h"
#include "Tessarine2/common/aPacketLog.h"
#include "Tessarine2/common/aTime.h"
#include "tests/sim/TempDir.h"

namespace {

struct Entry {
  int kind;
  std::vector<uint8_t> bytes;
};

aErr put(aPacketLog* log, const Entry& entry) {
  return aPacketLog_Put(log, entry.kind, static_cast<uint32_t>(entry.bytes.size()), entry.bytes.data());
}

std::vector<Entry> drain(aPacketLog* log) {
  std::vector<Entry> out;
  for (;;) {
    int32_t kind = 0;
    uint8_t buffer[256];
    uint32_t length = sizeof buffer;
    aErr err = aPacketLog_Get(log, &kind, &length, buffer);
    if (err != aErrNone) {
      EXPECT_EQ(err, aErrNotFound);
      return out;
    }
    out.push_back(Entry{kind, std::vector<uint8_t>(buffer, buffer + length)});
  }
}

std::vector<uint8_t> bytes(size_t count, uint8_t first) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) {
    out[i] = static_cast<uint8_t>(first + i);
  }
  return out;
}

struct LogCase {
  const char* shows;
  uint32_t capacity;
  std::vector<Entry> puts;
  std::vector<aErr> results;
  std::vector<Entry> kept;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.shows; }

class PacketLogCases : public testing::TestWithParam<LogCase> {};

TEST_P(PacketLogCases, KeepsTheNewestRecordsThatFit) {
  const LogCase& c = GetParam();
  aPacketLog* log = aPacketLog_Create(c.capacity);
  ASSERT_NE(log, nullptr);
  for (size_t i = 0; i < c.puts.size(); ++i) {
    EXPECT_EQ(put(log, c.puts[i]), c.results[i]) << "put " << i;
  }
  std::vector<Entry> got = drain(log);
  ASSERT_EQ(got.size(), c.kept.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].kind, c.kept[i].kind);
    EXPECT_EQ(got[i].bytes, c.kept[i].bytes);
  }
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  EXPECT_EQ(log, nullptr);
}

const Entry kSix1{1, bytes(6, 0x10)};
const Entry kSix2{2, bytes(6, 0x20)};
const Entry kSmall{3, bytes(3, 0x30)};

INSTANTIATE_TEST_SUITE_P(
    Ring, PacketLogCases,
    testing::Values(
        LogCase{"the second 6-byte entry pushes the first out of 16 bytes", 16, {kSix1, kSix2}, {0, 0}, {kSix2}},
        LogCase{"14 bytes never fit 16 and leave the log as it was", 16, {kSmall, {1, bytes(14, 0)}},
                {0, aErrOverrun}, {kSmall}},
        LogCase{"13 bytes fit 16 after everything else is dropped", 16, {kSmall, kSmall, {2, bytes(13, 0x40)}},
                {0, 0, 0}, {{2, bytes(13, 0x40)}}},
        LogCase{"records that wrap around the end come back whole", 20,
                {kSix1, kSmall, kSix2, kSmall, kSix1}, {0, 0, 0, 0, 0}, {kSmall, kSix1}},
        LogCase{"an entry longer than its length byte can say is refused", 1024, {kSmall, {3, bytes(256, 0)}},
                {0, aErrOverrun}, {kSmall}},
        LogCase{"an entry of 255 bytes is the longest", 1024, {{3, bytes(255, 1)}}, {0}, {{3, bytes(255, 1)}}},
        LogCase{"the smallest ring holds one empty record", 3, {{3, {}}, {3, {}}}, {0, 0}, {{3, {}}}}),
    [](const testing::TestParamInfo<LogCase>& info) { return "case" + std::to_string(info.index); });

TEST(PacketLog, ReportsTheRoomARecordNeedsAndKeepsIt) {
  aPacketLog* log = aPacketLog_Create(64);
  ASSERT_NE(log, nullptr);
  int32_t kind = 0;
  uint8_t buffer[8] = {};
  uint32_t length = sizeof buffer;
  EXPECT_EQ(aPacketLog_Get(log, &kind, &length, buffer), aErrNotFound);

  ASSERT_EQ(put(log, kSix1), aErrNone);
  length = 4;
  EXPECT_EQ(aPacketLog_Get(log, &kind, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 6u);
  length = 6;
  ASSERT_EQ(aPacketLog_Get(log, &kind, &length, buffer), aErrNone);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), kSix1.bytes);
  aPacketLog_Destroy(&log);
}

TEST(PacketLog, RefusesRingsTooSmallForARecordAndBadArguments) {
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  EXPECT_EQ(aPacketLog_Create(2), nullptr);
  aPacketLog* log = aPacketLog_Create(3);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(aPacketLog_Put(log, 1, 1, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
  aPacketLog_Destroy(&log);
  aPacketLog* none = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
}

// --- logger

struct Calls {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> count{0};
};

Calls* gCalls = nullptr;

void countingCallback(aFile* file, uint32_t userValue) {
  {
    std::lock_guard<std::mutex> hold(gCalls->mutex);
    gCalls->threads.insert(std::this_thread::get_id());
  }
  if (gCalls->count.fetch_add(1) == 0) {
    aFile_Printf(file, "first call %u\n", userValue);
  }
  aTime_MSSleep(1);
}

class Logger : public testing::Test {
 protected:
  void SetUp() override { gCalls = &calls_; }
  void TearDown() override { gCalls = nullptr; }
  Calls calls_;
  testsupport::TempDir dir_;
};

TEST_F(Logger, RunsOneThreadThatWritesUnbufferedUntilDisabled) {
  const std::string path = dir_.file("log.txt");
  aLogger* logger = aLogger_Create(42, countingCallback, path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // not enabled yet
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  while (calls_.count.load() < 5) {
    aTime_MSSleep(1);
  }
  // Unbuffered: the line is in the file while the logger still runs.
  EXPECT_EQ(testsupport::readFile(path), "first call 42\n");
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  const int stopped = calls_.count.load();
  aTime_MSSleep(20);
  EXPECT_EQ(calls_.count.load(), stopped);
  EXPECT_EQ(calls_.threads.size(), 1u);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST_F(Logger, CannotBeMadeWithoutItsFile) {
  EXPECT_EQ(aLogger_Create(1, countingCallback, dir_.file("missing/log.txt").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, dir_.file("log.txt").c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
}

// From its own callback a logger can neither stop nor free itself.
struct SelfCalls {
  aLogger* logger = nullptr;
  std::atomic<int> count{0};
  std::atomic<aErr> disable{-1};
  std::atomic<aErr> destroy{-1};
};
SelfCalls* gSelf = nullptr;

void selfStoppingCallback(aFile*, uint32_t) {
  if (gSelf->count.fetch_add(1) == 0) {
    gSelf->disable = aLogger_Disable(gSelf->logger);
    aLogger* logger = gSelf->logger;
    gSelf->destroy = aLogger_Destroy(&logger);
  }
  aTime_MSSleep(1);
}

TEST_F(Logger, IgnoresDisableAndRefusesDestroyFromItsOwnThread) {
  SelfCalls self;
  gSelf = &self;
  self.logger = aLogger_Create(7, selfStoppingCallback, dir_.file("log.txt").c_str());
  ASSERT_NE(self.logger, nullptr);
  ASSERT_EQ(aLogger_Enable(self.logger), aErrNone);
  while (self.count.load() < 3) {
    aTime_MSSleep(1);
  }
  EXPECT_EQ(self.disable.load(), aErrNone);
  EXPECT_EQ(self.destroy.load(), aErrBusy);
  // Still alive and running: the owner stops and frees it.
  EXPECT_EQ(aLogger_Destroy(&self.logger), aErrNone);
  EXPECT_EQ(self.logger, nullptr);
  gSelf = nullptr;
}

}  // namespace
