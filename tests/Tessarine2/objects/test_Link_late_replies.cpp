// Every answer belongs to its request: a module that answers late, with
// another entity index, from another address, loses one piece of a
// transfer or reuses a handle never makes a later request take an answer
// that was not its own. The rows run one after the other on one link with
// nothing cleared between them, as an application would make them.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/objects/EntityClass.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/StreamTestSupport.h"
#include "tests/sim/module/ReplyFaults.h"

namespace {

using namespace objtest;
using simmodule::ReplyFaults;
using Zeltrova::Tessarine::EntityClass;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOther = 0x08;  // a second module on the same link
constexpr uint8_t kCmd = 0x30;
constexpr uint8_t kIdx = 2;
constexpr uint8_t kOptGet = 1;
constexpr uint8_t kOptSet = 2;
constexpr uint8_t kOptBytes = 3;
constexpr uint8_t kStore = 1;
constexpr uint8_t kSlot = 3;
constexpr uint8_t kDebug = 23;
constexpr uint8_t kFactory = 0x5E;
constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kErrRefused = 13;
// Longer than any reply wait of the library (1000 ms).
constexpr uint32_t kLateMS = 1500;

Bytes counting(size_t length, uint8_t first) {
  Bytes bytes(length);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

// Two modules answering on one loopback link; the front, whose thread
// runs every handler, stops first.
struct TwoModules {
  TwoModules()
      : engine(kAddress),
        table(engine, kAddress),
        other(engine, kOther),
        source(engine, kAddress),
        slots(engine, kAddress),
        factory(engine, kAddress),
        front(engine, 0, "127.0.0.1") {}
  linkSpec spec() const { return tcpSpec(front.address(), front.port()); }
  linkID link() const {
    aLinkEntry* entry = sLookupEntryByIdentifier(front.address());
    return entry == nullptr ? 0 : entry->id;
  }

  ModuleEngine engine;
  simmodule::UeiTable table;
  simmodule::UeiTable other;
  StreamSource source;
  simmodule::StoreSlots slots;
  simmodule::FactoryData factory;
  simmodule::TcpFront front;
};

// Packets in the link's in-FIFO that begin with the bytes, from the
// address; the FIFO is looked at, not taken from.
size_t queued(linkID link, uint8_t address, const Bytes& prefix) {
  struct Peek {
    uint8_t address;
    const Bytes* prefix;
    size_t found;
  } peek{address, &prefix, 0};
  aLink_DrainPackets(
      link,
      [](const aPacket* packet, const void* reference) {
        Peek* p = static_cast<Peek*>(const_cast<void*>(reference));
        if (packet->address == p->address && packet->dataSize >= p->prefix->size() &&
            std::equal(p->prefix->begin(), p->prefix->end(), packet->data)) {
          ++p->found;
        }
        return false;
      },
      &peek);
  return peek.found;
}

struct LateReplyFixture : ::testing::Test {
  void SetUp() override {
    sim.table.defineValue(kCmd, kIdx, kOptGet, 1, 0x11);
    sim.table.defineValue(kCmd, kIdx + 1, kOptGet, 1, 0x33);
    sim.table.defineValue(kCmd, kIdx, kOptSet, 1, 0);
    sim.table.defineBytes(kCmd, kIdx, kOptBytes, counting(60, 1));
    sim.other.defineValue(kCmd, kIdx, kOptGet, 1, 0x44);
    sim.source.addValue(kCmd, kOptGet, kIdx, StreamSource::U8);
    sim.slots.defineSlot(kStore, kSlot, 100, counting(40, 1));
    sim.factory.setBlock(0, counting(60, 1));
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    link = module->getLink();
    otherModule = std::make_unique<Module>(kOther, false, 0);
    ASSERT_EQ(otherModule->connectThroughLinkModule(module.get()), aErrNone);
    entity.init(module.get(), kCmd, kIdx);
    neighbour.init(module.get(), kCmd, kIdx + 1);
    otherEntity.init(otherModule.get(), kCmd, kIdx);
  }
  void TearDown() override {
    otherModule.reset();
    module.reset();
  }

  TwoModules sim;
  ReplyFaults faults{sim.engine};
  std::unique_ptr<Module> module;
  std::unique_ptr<Module> otherModule;
  Link* link = nullptr;
  EntityClass entity;
  EntityClass neighbour;
  EntityClass otherEntity;
};

TEST_F(LateReplyFixture, AnEarlierRequestsAnswerNeverAnswersALaterOne) {
  struct Stray {
    uint8_t address;
    Bytes prefix;
  };
  struct Row {
    const char* what;
    std::function<void()> arm;
    std::function<aErr()> faulty;
    aErr faultyResult;
    // An answer that comes after the faulty exchange gave up: the clean
    // exchange starts once it sits in the in-FIFO. None when the stray
    // packets were all there before the faulty exchange ended.
    std::vector<Stray> strays;
    // The module's state changes, so that a stale answer would show.
    std::function<void()> change;
    std::function<void()> clean;
  };
  const auto getMatch = ReplyFaults::startsWith(kAddress, {kCmd, kOptGet, kIdx});
  uint8_t v = 0;
  size_t count = 0;
  Bytes buffer(100);
  const Row rows[] = {
      {"a get answered late",
       [&] { faults.late(getMatch, kLateMS); },
       [&] { return entity.getUEI8(kOptGet, &v); },
       aErrTimeout,
       {{kAddress, {kCmd, kOptGet, kIdx, 0x11}}},
       [&] { sim.table.defineValue(kCmd, kIdx, kOptGet, 1, 0xFE); },
       [&] {
         ASSERT_EQ(entity.getUEI8(kOptGet, &v), aErrNone);
         EXPECT_EQ(v, 0xFE);
         ASSERT_EQ(entity.getUEI8(kOptGet, &v), aErrNone);
         EXPECT_EQ(v, 0xFE) << "and the one after it";
       }},
      {"a get answered with the neighbour's index",
       [&] { faults.reindex(getMatch, kIdx + 1); },
       [&] { return entity.getUEI8(kOptGet, &v); },
       aErrTimeout,
       {},
       [] {},
       [&] {
         ASSERT_EQ(neighbour.getUEI8(kOptGet, &v), aErrNone);
         EXPECT_EQ(v, 0x33);
       }},
      {"a get answered from the other module's address",
       [&] { faults.readdress(getMatch, kOther); },
       [&] { return entity.getUEI8(kOptGet, &v); },
       aErrTimeout,
       {},
       [] {},
       [&] {
         ASSERT_EQ(otherEntity.getUEI8(kOptGet, &v), aErrNone);
         EXPECT_EQ(v, 0x44);
       }},
      {"a set acknowledged late",
       [&] { faults.late(ReplyFaults::startsWith(kAddress, {kCmd, kOptSet | 0xC0, kIdx}), kLateMS); },
       [&] { return entity.setUEI8(kOptSet, 1); },
       aErrTimeout,
       {{kAddress, {kCmd, kOptSet | 0xC0, kIdx}}},
       [&] { sim.table.setError(kCmd, kIdx, kOptSet, kErrRefused); },
       [&] {
         EXPECT_EQ(entity.setUEI8(kOptSet, 2), kErrRefused);
         sim.table.setError(kCmd, kIdx, kOptSet, 0);
       }},
      {"a byte array that loses its second piece",
       [&] { faults.lose(ReplyFaults::startsWith(kAddress, {kCmd, kOptBytes, kIdx}), 1); },
       [&] { return entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count); },
       aErrTimeout,
       {},
       [&] { sim.table.defineBytes(kCmd, kIdx, kOptBytes, counting(60, 101)); },
       [&] {
         ASSERT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count), aErrNone);
         EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(count)), counting(60, 101));
       }},
      {"a byte array whose first piece comes late",
       [&] { faults.late(ReplyFaults::startsWith(kAddress, {kCmd, kOptBytes, kIdx}), kLateMS); },
       [&] { return entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count); },
       aErrTimeout,
       {{kAddress, {kCmd, kOptBytes, kIdx, 101}}},
       [&] { sim.table.defineBytes(kCmd, kIdx, kOptBytes, counting(30, 201)); },
       [&] {
         ASSERT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count), aErrNone);
         EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(count)), counting(30, 201));
       }},
      {"a subscription acknowledged late",
       [&] { faults.late(ReplyFaults::startsWith(kAddress, {StreamSource::kCommandStream, 0xC1}), kLateMS); },
       [&] { return entity.registerOptionCallback(kOptGet, true, nullptr, nullptr); },
       aErrTimeout,
       {{kAddress, {StreamSource::kCommandStream, 0xC1, 0}}},
       [&] { sim.source.setControlError(kErrRefused); },
       [&] {
         EXPECT_EQ(entity.registerOptionCallback(kOptGet, true, nullptr, nullptr), kErrRefused);
         sim.source.setControlError(0);
       }},
      {"a debug echo answered late",
       [&] { faults.late(ReplyFaults::startsWith(kAddress, {kDebug}), kLateMS); },
       [&] {
         const uint8_t data[] = {1, 2, 3};
         return module->debug(data, sizeof data);
       },
       aErrTimeout,
       {{kAddress, {kDebug, 1, 2, 3}}},
       [] {},
       [&] {
         const uint8_t data[] = {4, 5};
         EXPECT_EQ(module->debug(data, sizeof data), aErrNone);
         EXPECT_EQ(module->debug(data, sizeof data), aErrNone) << "and the one after it";
       }},
      {"a factory read whose second piece comes late",
       [&] { faults.late(ReplyFaults::startsWith(kAddress, {kFactory, 0}), kLateMS, 1); },
       [&] { return link->getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &count); },
       aErrTimeout,
       {{kAddress, {kFactory, 0, 27}}},
       [&] { sim.factory.setBlock(0, counting(60, 151)); },
       [&] {
         for (int read = 0; read < 2; ++read) {
           count = 0;
           ASSERT_EQ(link->getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &count), aErrNone);
           EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(count)), counting(60, 151));
         }
       }},
      {"a store-slot read piece that comes late, its handle reused",
       [&] { faults.late(ReplyFaults::startsWith(kAddress, {kSlotCommand, kSlotRead}), kLateMS); },
       [&] { return link->unloadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size(), &count); },
       aErrTimeout,
       {{kAddress, {kSlotCommand, kSlotRead, 0, 1}}},
       [&] { sim.slots.defineSlot(kStore, kSlot, 100, counting(40, 101)); },
       [&] {
         ASSERT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size(), &count), aErrNone);
         EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(count)), counting(40, 101));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.arm();
    EXPECT_EQ(row.faulty(), row.faultyResult);
    EXPECT_EQ(faults.armed(), 0u) << "the fault struck";
    for (const Stray& stray : row.strays) {
      ASSERT_TRUE(eventually([&] { return queued(sim.link(), stray.address, stray.prefix) > 0; }, 3000));
    }
    row.change();
    row.clean();
  }
}

// The end of a transfer is acknowledged with ['^', 0x00], which is also how
// a piece of block 0 begins: a piece that turns up while the end is awaited
// is not the acknowledgement, so the module's refusal of the count is seen.
TEST_F(LateReplyFixture, AFactoryPieceIsNeverTakenForTheEndOfATransfer) {
  sim.factory.setOverride([](const SimPacket& request, std::vector<SimPacket>* answer) {
    if (request.data.size() != 4 || request.data[1] != 0x20) {
      return false;
    }
    Bytes piece{kFactory, 0};
    const Bytes data = counting(26, 1);
    piece.insert(piece.end(), data.begin(), data.end());
    *answer = {SimPacket{kAddress, piece}, SimPacket{kAddress, {kFactory, 0x80, simmodule::FactoryData::kErrSize}}};
    return true;
  });
  Bytes buffer(100);
  size_t count = 0;
  EXPECT_EQ(link->getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &count), aErrSize);
  sim.factory.setOverride(nullptr);
  count = 0;
  ASSERT_EQ(link->getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
}

}  // namespace
