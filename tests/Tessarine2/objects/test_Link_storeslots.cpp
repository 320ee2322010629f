// Store slots and factory data of a Link against a simulated module: the
// request pieces, the module's answers and errors, silence, and replies
// that are short, wrong or from another module.

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/StreamTestSupport.h"

namespace {

using namespace objtest;
using simmodule::FactoryData;
using simmodule::StoreSlots;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStore = 1;
constexpr uint8_t kSlot = 3;

Bytes counting(size_t length, uint8_t first = 1) {
  Bytes bytes(length);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

struct StoreFixture : ::testing::Test {
  void SetUp() override {
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    link = module->getLink();
  }
  void TearDown() override { module.reset(); }
  // What the host sent for one command, in order.
  std::vector<Bytes> requests(uint8_t command) {
    std::vector<Bytes> out;
    for (const Bytes& data : sentTo(sim.engine, kAddress)) {
      if (!data.empty() && data[0] == command) {
        out.push_back(data);
      }
    }
    return out;
  }
  void answer(uint8_t sub, std::vector<simmodule::SimPacket> packets) {
    sim.slots.setResponder(sub, [packets](const simmodule::SimPacket&) { return packets; });
  }

  StreamingModule sim;
  std::unique_ptr<Module> module;
  Link* link = nullptr;
};

TEST_F(StoreFixture, LoadWritesPiecesOfTwentyFiveAndCloses) {
  sim.slots.defineSlot(kStore, kSlot, 100, counting(5));
  const Bytes data = counting(60, 0xF0);
  ASSERT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, data.data(), data.size()), aErrNone);
  EXPECT_EQ(sim.slots.contents(kStore, kSlot), data);
  const std::vector<Bytes> sent = requests(4);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0], (Bytes{4, 4, kStore, kSlot}));
  size_t at = 0;
  for (size_t piece : {25, 25, 10}) {
    const Bytes& write = sent[1 + at / 25];
    EXPECT_EQ(write.size(), 3 + piece);
    EXPECT_EQ(Bytes(write.begin(), write.begin() + 3), (Bytes{4, 7, 0}));
    EXPECT_EQ(Bytes(write.begin() + 3, write.end()), Bytes(data.begin() + at, data.begin() + at + piece));
    at += piece;
  }
  EXPECT_EQ(sent[4], (Bytes{4, 8, 0}));
  EXPECT_EQ(sim.slots.openHandles(), 0u);
}

TEST_F(StoreFixture, UnloadReadsTheWholeSlot) {
  const Bytes data = counting(60);
  sim.slots.defineSlot(kStore, kSlot, 100, data);
  Bytes buffer(100, 0);
  size_t count = 0;
  ASSERT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 60), data);
  const std::vector<Bytes> sent = requests(4);
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0], (Bytes{4, 2, kStore, kSlot}));
  EXPECT_EQ(sent[1], (Bytes{4, 3, kStore, kSlot}));
  EXPECT_EQ(sent[2], (Bytes{4, 6, 0}));
  EXPECT_EQ(sent[5], (Bytes{4, 8, 0}));

  // An empty slot opens and closes, and reads nothing.
  sim.slots.defineSlot(kStore, 4, 10);
  count = 99;
  EXPECT_EQ(link->unloadStoreSlot(kAddress, kStore, 4, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 0u);
}

TEST_F(StoreFixture, UnloadIntoASmallerBufferReportsOverrun) {
  const Bytes data = counting(40);
  sim.slots.defineSlot(kStore, kSlot, 100, data);
  Bytes buffer(30, 0);
  size_t count = 0;
  EXPECT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size(), &count), aErrOverrun);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(buffer, Bytes(data.begin(), data.begin() + 30));
  EXPECT_EQ(sim.slots.openHandles(), 0u);
}

TEST_F(StoreFixture, SizeAndCapacity) {
  sim.slots.defineSlot(kStore, kSlot, 0x1234, counting(300));
  size_t value = 0;
  EXPECT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, &value), aErrNone);
  EXPECT_EQ(value, 300u);
  EXPECT_EQ(link->storeSlotCapacity(kAddress, kStore, kSlot, &value), aErrNone);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(requests(4).back(), (Bytes{4, 1, kStore, kSlot}));
  // An unknown slot: the module's own code.
  EXPECT_EQ(link->storeSlotSize(kAddress, kStore, 9, &value), StoreSlots::kErrIndexRange);
  EXPECT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, nullptr), aErrParam);
}

TEST_F(StoreFixture, FailuresAreReportedAndTheHandleIsClosed) {
  const Bytes data = counting(60);
  struct Row {
    const char* what;
    uint8_t sub;
    std::vector<simmodule::SimPacket> answer;
    aErr load;
  } rows[] = {
      {"write acknowledged with a wrong sum", 7, {{kAddress, {4, 7, 0, 0x55}}}, aErrIO},
      {"write refused", 7, {{kAddress, {4, 0x87, 0, 14}}}, 14},
      {"longer error reply", 7, {{kAddress, {4, 0x87, 0, 14, 0}}}, 14},
      {"write unanswered", 7, {}, aErrTimeout},
      {"close refused", 8, {{kAddress, {4, 0x88, 0, 5}}}, 5},
      {"close reply too long", 8, {{kAddress, {4, 8, 0, 0, 0}}}, aErrIO},
  };
  for (const Row& row : rows) {
    sim.slots.defineSlot(kStore, kSlot, 100);
    answer(row.sub, row.answer);
    const size_t closes = sim.slots.closes();
    EXPECT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, data.data(), data.size()), row.load) << row.what;
    EXPECT_EQ(sim.slots.closes(), closes + 1) << row.what;
    EXPECT_EQ(sim.slots.openHandles(), 0u) << row.what;
    sim.slots.setResponder(row.sub, nullptr);
  }
  // The first error is the result; the module's own error (a slot too
  // small for the data) too.
  sim.slots.defineSlot(kStore, kSlot, 30);
  EXPECT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, data.data(), data.size()), StoreSlots::kErrSize);
  EXPECT_EQ(sim.slots.openHandles(), 0u);
}

TEST_F(StoreFixture, SlotsThatCannotBeOpened) {
  Bytes buffer(10);
  size_t count = 0;
  // No such slot: the size query fails first for an unload.
  EXPECT_EQ(link->loadStoreSlot(kAddress, kStore, 9, buffer.data(), buffer.size()), aErrMedia);
  EXPECT_EQ(link->unloadStoreSlot(kAddress, kStore, 9, buffer.data(), buffer.size(), &count),
            StoreSlots::kErrIndexRange);
  sim.slots.defineSlot(kStore, kSlot, 10, counting(5));
  struct Row {
    const char* what;
    std::vector<simmodule::SimPacket> answer;
  } rows[] = {
      {"error reply", {{kAddress, {4, 0x83, kStore, kSlot, 12}}}},
      {"reply without its handle", {{kAddress, {4, 3, kStore, kSlot}}}},
      {"handle 255", {{kAddress, {4, 3, kStore, kSlot, 255}}}},
  };
  for (const Row& row : rows) {
    answer(3, row.answer);
    EXPECT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size(), &count), aErrMedia)
        << row.what;
  }
  answer(4, {{kAddress, {4, 0x84, kStore, kSlot, 12}}});
  EXPECT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size()), aErrMedia);
}

TEST_F(StoreFixture, QueryRepliesThatAreNotAnswers) {
  sim.slots.defineSlot(kStore, kSlot, 10);
  struct Row {
    const char* what;
    std::vector<simmodule::SimPacket> answer;
    aErr result;
  } rows[] = {
      {"silence", {}, aErrTimeout},
      {"error reply with code 0", {{kAddress, {4, 0x82, kStore, kSlot, 0}}}, aErrUnknown},
      {"error reply without code", {{kAddress, {4, 0x82, kStore, kSlot}}}, aErrUnknown},
      {"five bytes", {{kAddress, {4, 2, kStore, kSlot, 1}}}, aErrUnknown},
      {"another slot", {{kAddress, {4, 2, kStore, 4, 0, 1}}}, aErrTimeout},
      {"another module", {{0x08, {4, 2, kStore, kSlot, 0, 1}}}, aErrTimeout},
  };
  for (const Row& row : rows) {
    answer(2, row.answer);
    size_t size = 77;
    EXPECT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, &size), row.result) << row.what;
    EXPECT_EQ(size, 77u) << row.what;
  }
}

TEST_F(StoreFixture, RefusedBeforeAnythingIsSent) {
  uint8_t byte = 0;
  size_t count = 0;
  EXPECT_EQ(link->storeSlotSize(0x07, kStore, kSlot, &count), aErrPacket);
  EXPECT_EQ(link->loadStoreSlot(0, kStore, kSlot, &byte, 1), aErrPacket);
  EXPECT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, nullptr, 1), aErrParam);
  EXPECT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, &byte, 1, nullptr), aErrParam);
  EXPECT_EQ(link->getFactoryData(kAddress, 16, &byte, 1, &count), aErrParam);
  EXPECT_EQ(link->setFactoryData(kAddress, 0x10, &byte, 1), aErrParam);
  EXPECT_EQ(link->getFactoryData(0xAF, 0, &byte, 1, &count), aErrPacket);
  EXPECT_TRUE(requests(4).empty());
  EXPECT_TRUE(requests(0x5E).empty());
  module->disconnect();
  EXPECT_EQ(link->storeSlotCapacity(kAddress, kStore, kSlot, &count), aErrConnection);
  EXPECT_EQ(link->getFactoryData(kAddress, 0, &byte, 1, &count), aErrConnection);
  EXPECT_EQ(link->setFactoryData(kAddress, 0, &byte, 1), aErrConnection);
}

TEST_F(StoreFixture, FactoryReadCollectsPiecesAndEndsWithTheCount) {
  const Bytes block = counting(60);
  sim.factory.setBlock(3, block);
  Bytes buffer(64, 0);
  size_t count = 0;
  ASSERT_EQ(link->getFactoryData(kAddress, 3, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 60), block);
  EXPECT_EQ(requests(0x5E), (std::vector<Bytes>{{0x5E, 0x43}, {0x5E, 3}, {0x5E, 3}, {0x5E, 0x20, 0x00, 0x3C}}));

  // A block that would fill the buffer exactly is refused before the
  // last piece is stored; no end of transfer follows.
  const size_t ends = sim.factory.ends();
  EXPECT_EQ(link->getFactoryData(kAddress, 3, buffer.data(), 60, &count), aErrOverrun);
  EXPECT_EQ(sim.factory.ends(), ends);

  // A block of exactly two full pieces: a third, empty reply ends it.
  sim.factory.setBlock(4, counting(52));
  ASSERT_EQ(link->getFactoryData(kAddress, 4, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 52u);
  EXPECT_EQ(sim.factory.lastEndCount(), 52);
}

TEST_F(StoreFixture, FactoryWriteSendsPiecesOfTwentySix) {
  const Bytes data = counting(30, 0x80);
  ASSERT_EQ(link->setFactoryData(kAddress, 5, data.data(), data.size()), aErrNone);
  EXPECT_EQ(sim.factory.block(5), data);
  const std::vector<Bytes> sent = requests(0x5E);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 2), (Bytes{0x5E, 0x55}));
  EXPECT_EQ(sent[0].size(), 28u);
  EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 2), (Bytes{0x5E, 0x15}));
  EXPECT_EQ(sent[1].size(), 6u);
  EXPECT_EQ(sent[2], (Bytes{0x5E, 0x20, 0x00, 30}));

  // Nothing to write: only the end, with count 0.
  ASSERT_EQ(link->setFactoryData(kAddress, 6, nullptr, 0), aErrNone);
  EXPECT_EQ(requests(0x5E).back(), (Bytes{0x5E, 0x20, 0x00, 0x00}));
  EXPECT_EQ(sim.factory.lastEndCount(), 0);
}

TEST_F(StoreFixture, FactoryFailures) {
  Bytes buffer(64);
  size_t count = 0;
  const Bytes data = counting(30);
  struct Row {
    const char* what;
    // The reply in place of the module's to requests whose byte 1 has these
    // flags (0x00 read, 0x10 write, 0x20 end); empty: silence.
    uint8_t flags;
    std::vector<simmodule::SimPacket> answer;
    bool write;
    aErr result;
  } rows[] = {
      {"read refused", 0x00, {{kAddress, {0x5E, 0x82, 9}}}, false, 9},
      {"read unanswered", 0x00, {}, false, aErrTimeout},
      {"end refused after a read", 0x20, {{kAddress, {0x5E, 0x80, 7}}}, false, 7},
      {"end refused without a code", 0x20, {{kAddress, {0x5E, 0x80}}}, false, aErrUnknown},
      {"end unanswered", 0x20, {}, false, aErrTimeout},
      {"write refused", 0x10, {{kAddress, {0x5E, 0x82, 14}}}, true, 14},
      {"write acknowledged at length 3", 0x10, {{kAddress, {0x5E, 2, 0}}}, true, aErrSize},
      {"write unanswered", 0x10, {}, true, aErrTimeout},
      {"write reply from another module", 0x10, {{0x08, {0x5E, 2}}}, true, aErrTimeout},
  };
  sim.factory.setBlock(2, counting(10));
  for (const Row& row : rows) {
    const uint8_t flags = row.flags;
    const auto answer = row.answer;
    sim.factory.setOverride(
        [flags, answer](const simmodule::SimPacket& request, std::vector<simmodule::SimPacket>* out) {
          if (request.data.size() < 2 || (request.data[1] & 0x30) != flags) {
            return false;
          }
          *out = answer;
          return true;
        });
    const aErr result = row.write ? link->setFactoryData(kAddress, 2, data.data(), data.size())
                                  : link->getFactoryData(kAddress, 2, buffer.data(), buffer.size(), &count);
    EXPECT_EQ(result, row.result) << row.what;
    sim.factory.setOverride(nullptr);
  }
}

}  // namespace
