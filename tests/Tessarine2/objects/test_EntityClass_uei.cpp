// UEI exchanges of an entity against a simulated module: the request bytes
// of every width and form, the replies taken and refused, and byte arrays
// in both directions.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
#include <vector>

#include "Tessarine2/objects/EntityClass.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using simmodule::UeiTable;
using Zeltrova::Tessarine::EntityClass;
using Zeltrova::Tessarine::uei;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCommand = 0x30;
constexpr uint8_t kIndex = 2;
constexpr uint8_t kSpec = kIndex | 0x20;
constexpr uint32_t kUntouched = 0xA5A5A5A5;

enum : uint8_t {
  kOpt8 = 1,
  kOpt16 = 2,
  kOpt32 = 3,
  kOptSub32 = 4,
  kOptSub8 = 5,
  kOptCall = 6,
  kOptBytes = 7,
  kOptSub16 = 8,
};

struct EntityFixture : ::testing::Test {
  void SetUp() override {
    UeiTable& t = sim.table;
    t.defineValue(kCommand, kIndex, kOpt8, 1, 0x5B);
    t.defineValue(kCommand, kIndex, kOpt16, 2, 0xBEEF);
    t.defineValue(kCommand, kIndex, kOpt32, 4, 0xDEADBEEF);
    t.defineSubindexed(kCommand, kIndex, kOptSub32, 4, {0x01020304, 0x05060708, 0x090A0B0C});
    t.defineSubindexed(kCommand, kIndex, kOptSub8, 1, {0x10, 0x20});
    t.defineSubindexed(kCommand, kIndex, kOptSub16, 2, {0x1111, 0x2222});
    t.defineCall(kCommand, kIndex, kOptCall);
    t.defineBytes(kCommand, kIndex, kOptBytes, {});
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    entity.init(module.get(), kCommand, kIndex);
  }
  // The last packet the host sent to the module.
  Bytes lastRequest() {
    auto sent = sentTo(sim.engine, kAddress);
    return sent.empty() ? Bytes() : sent.back();
  }
  // A reply of the module's own for one option, in place of the table's.
  void answer(uint8_t option, std::vector<SimPacket> packets) {
    sim.table.setResponder(kCommand, option, [packets](const SimPacket&) { return packets; });
  }

  TcpModule sim;
  std::unique_ptr<Module> module;
  EntityClass entity;
};

SimPacket reply(Bytes data, uint8_t address = kAddress) { return SimPacket{address, std::move(data)}; }

TEST_F(EntityFixture, RequestsAndRepliesOfEveryForm) {
  using Op = std::function<aErr(EntityClass&, uint32_t*)>;
  struct Row {
    const char* what;
    Op op;
    Bytes request;
    std::vector<SimPacket> replies;  // empty: the table answers
    aErr result;
    uint32_t value;
  };
  auto get8 = [](uint8_t o) {
    return [o](EntityClass& e, uint32_t* v) {
      uint8_t x = 0xA5;
      aErr r = e.getUEI8(o, &x);
      *v = x == 0xA5 ? kUntouched : x;
      return r;
    };
  };
  auto get16 = [](uint8_t o) {
    return [o](EntityClass& e, uint32_t* v) {
      uint16_t x = 0xA5A5;
      aErr r = e.getUEI16(o, &x);
      *v = x == 0xA5A5 ? kUntouched : x;
      return r;
    };
  };
  auto get32 = [](uint8_t o) {
    return [o](EntityClass& e, uint32_t* v) {
      *v = kUntouched;
      return e.getUEI32(o, v);
    };
  };
  auto sub8 = [](uint8_t o, uint8_t s) {
    return [o, s](EntityClass& e, uint32_t* v) {
      uint8_t x = 0xA5;
      aErr r = e.getUEI8(o, s, &x);
      *v = x == 0xA5 ? kUntouched : x;
      return r;
    };
  };
  auto sub16 = [](uint8_t o, uint8_t s) {
    return [o, s](EntityClass& e, uint32_t* v) {
      uint16_t x = 0xA5A5;
      aErr r = e.getUEI16(o, s, &x);
      *v = x == 0xA5A5 ? kUntouched : x;
      return r;
    };
  };
  auto sub32 = [](uint8_t o, uint8_t s) {
    return [o, s](EntityClass& e, uint32_t* v) {
      *v = kUntouched;
      return e.getUEI32(o, s, v);
    };
  };
  auto set = [](std::function<aErr(EntityClass&)> f) {
    return [f](EntityClass& e, uint32_t* v) {
      *v = kUntouched;
      return f(e);
    };
  };
  // A stream sample of option 1: kind 1, timestamp, value 0x77, sequence 0.
  const SimPacket sample = reply({kCommand, kOpt8, 0x40 | kIndex, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0x77, 0});
  const Row rows[] = {
      {"get 8", get8(kOpt8), {kCommand, 0x41, kSpec}, {}, aErrNone, 0x5B},
      {"get 16", get16(kOpt16), {kCommand, 0x42, kSpec}, {}, aErrNone, 0xBEEF},
      {"get 32", get32(kOpt32), {kCommand, 0x43, kSpec}, {}, aErrNone, 0xDEADBEEF},
      {"get 8 with subindex", sub8(kOptSub8, 1), {kCommand, 0x45, kSpec, 1}, {}, aErrNone, 0x20},
      {"get 16 with subindex", sub16(kOptSub16, 1), {kCommand, 0x48, kSpec, 1}, {}, aErrNone, 0x2222},
      {"get 32 with subindex", sub32(kOptSub32, 2), {kCommand, 0x44, kSpec, 2}, {}, aErrNone, 0x090A0B0C},
      {"set 8",
       set([](EntityClass& e) { return e.setUEI8(kOpt8, 0x42); }),
       {kCommand, 0x81, kSpec, 0x42},
       {},
       aErrNone,
       kUntouched},
      {"set 16",
       set([](EntityClass& e) { return e.setUEI16(kOpt16, 0x1234); }),
       {kCommand, 0x82, kSpec, 0x12, 0x34},
       {},
       aErrNone,
       kUntouched},
      {"set 32",
       set([](EntityClass& e) { return e.setUEI32(kOpt32, 0x01020304); }),
       {kCommand, 0x83, kSpec, 1, 2, 3, 4},
       {},
       aErrNone,
       kUntouched},
      {"set 8 with subindex",
       set([](EntityClass& e) { return e.setUEI8(kOptSub8, 1, 0x99); }),
       {kCommand, 0x85, kSpec, 1, 0x99},
       {},
       aErrNone,
       kUntouched},
      {"set 32 with subindex",
       set([](EntityClass& e) { return e.setUEI32(kOptSub32, 0, 0xCAFEF00D); }),
       {kCommand, 0x84, kSpec, 0, 0xCA, 0xFE, 0xF0, 0x0D},
       {},
       aErrNone,
       kUntouched},
      {"call",
       set([](EntityClass& e) { return e.callUEI(kOptCall); }),
       {kCommand, 0x86, kSpec},
       {},
       aErrNone,
       kUntouched},
      {"error reply to a get",
       get8(kOpt8),
       {kCommand, 0x41, kSpec},
       {reply({kCommand, kOpt8, 0x80 | kIndex, 13})},
       13,
       kUntouched},
      {"error reply to a set",
       set([](EntityClass& e) { return e.setUEI32(kOpt32, 1); }),
       {kCommand, 0x83, kSpec, 0, 0, 0, 1},
       {reply({kCommand, 0xC3, 0x80 | kIndex, 12})},
       12,
       kUntouched},
      {"error reply without its code",
       get8(kOpt8),
       {kCommand, 0x41, kSpec},
       {reply({kCommand, kOpt8, 0x80 | kIndex})},
       aErrUnknown,
       kUntouched},
      {"error reply with code 0",
       get32(kOpt32),
       {kCommand, 0x43, kSpec},
       {reply({kCommand, kOpt32, 0x80 | kIndex, 0})},
       aErrUnknown,
       kUntouched},
      {"acknowledgement with the bare option",
       set([](EntityClass& e) { return e.setUEI8(kOpt8, 1); }),
       {kCommand, 0x81, kSpec, 1},
       {reply({kCommand, kOpt8, kIndex})},
       aErrTimeout,
       kUntouched},
      {"reply from another address",
       get8(kOpt8),
       {kCommand, 0x41, kSpec},
       {reply({kCommand, kOpt8, kIndex, 7}, 0x0A)},
       aErrTimeout,
       kUntouched},
      {"reply of another index",
       get8(kOpt8),
       {kCommand, 0x41, kSpec},
       {reply({kCommand, kOpt8, 3, 7})},
       aErrTimeout,
       kUntouched},
      {"silence", get32(kOpt32), {kCommand, 0x43, kSpec}, {SimPacket{0, {}}}, aErrTimeout, kUntouched},
      {"a 32-bit get answered with 8 bits",
       get32(kOpt32),
       {kCommand, 0x43, kSpec},
       {reply({kCommand, kOpt32, kIndex, 7})},
       aErrPacket,
       kUntouched},
      {"an 8-bit get answered with 6 bytes",
       get8(kOpt8),
       {kCommand, 0x41, kSpec},
       {reply({kCommand, kOpt8, kIndex, 1, 2, 3})},
       aErrPacket,
       kUntouched},
      {"a subindex get answered without a value",
       sub8(kOptSub8, 1),
       {kCommand, 0x45, kSpec, 1},
       {reply({kCommand, kOptSub8, kIndex})},
       aErrPacket,
       kUntouched},
      {"a stream sample before the reply",
       get8(kOpt8),
       {kCommand, 0x41, kSpec},
       {sample, reply({kCommand, kOpt8, kIndex, 0x33})},
       aErrNone,
       0x33},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const uint8_t option = row.request[1] & 0x3F;
    if (row.replies.size() == 1 && row.replies[0].address == 0) {
      answer(option, {});
    } else if (!row.replies.empty()) {
      answer(option, row.replies);
    }
    uint32_t value = 0;
    EXPECT_EQ(row.op(entity, &value), row.result);
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(lastRequest(), row.request);
    sim.table.clearResponder(kCommand, option);
    // Nothing of this row is left for the next.
    entity.drainUEI(option);
  }
  EXPECT_EQ(sim.table.value(kCommand, kIndex, kOpt8), 0x42u);
  EXPECT_EQ(sim.table.value(kCommand, kIndex, kOptSub32, 0), 0xCAFEF00Du);
  EXPECT_EQ(sim.table.calls(kCommand, kIndex, kOptCall), 1u);
}

TEST_F(EntityFixture, ModuleErrorsOfTheTableAndTheGenericRecord) {
  sim.table.setError(kCommand, kIndex, kOpt16, 29);
  uint16_t v = 7;
  EXPECT_EQ(entity.getUEI16(kOpt16, &v), 29);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(entity.getUEI8(kOpt8, nullptr), aErrParam);

  // The generic get fills the record as the reply carried it.
  uei record{};
  ASSERT_EQ(entity.getUEI(kOpt32, &record), aErrNone);
  EXPECT_EQ(record.type, 4u);
  EXPECT_EQ(record.intValue, 0xDEADBEEFu);
  EXPECT_EQ(record.byteValue, 0xEF);

  EntityClass unbound;
  uint32_t x = 0;
  EXPECT_EQ(unbound.getUEI32(1, &x), aErrResource);
  EXPECT_EQ(unbound.setUEI8(1, 1), aErrResource);
  EXPECT_EQ(unbound.drainUEI(1), aErrResource);
}

Bytes pattern(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  return bytes;
}

TEST_F(EntityFixture, ByteArraysOut) {
  struct Row {
    size_t length;
    aErr result;
    size_t packets;
  };
  const Row rows[] = {{0, aErrNone, 1},  {24, aErrNone, 1},     {25, aErrNone, 2},
                      {50, aErrNone, 3}, {3072, aErrNone, 128}, {3073, aErrSize, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    sim.engine.clearRecords();
    const Bytes data = pattern(row.length);
    EXPECT_EQ(entity.setUEIBytes(kOptBytes, data.data(), data.size()), row.result);
    const auto sent = sentTo(sim.engine, kAddress);
    ASSERT_EQ(sent.size(), row.packets);
    for (size_t i = 0; i < sent.size(); ++i) {
      const bool last = i + 1 == sent.size();
      const size_t payload = last ? row.length - 24 * i : 24;
      ASSERT_EQ(sent[i].size(), payload + 4);
      EXPECT_EQ(Bytes(sent[i].begin(), sent[i].begin() + 3), (Bytes{kCommand, 0x87, kSpec}));
      EXPECT_EQ(sent[i].back(), static_cast<uint8_t>(i | (last ? 0 : 0x80)));
    }
    if (row.result == aErrNone) {
      EXPECT_EQ(sim.table.bytes(kCommand, kIndex, kOptBytes), data);
    }
  }
  // The three packets of 50 bytes as the wire carries them.
  sim.engine.clearRecords();
  const Bytes fifty = pattern(50);
  ASSERT_EQ(entity.setUEIBytes(kOptBytes, fifty.data(), fifty.size()), aErrNone);
  const auto sent = sentTo(sim.engine, kAddress);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].back(), 0x80);
  EXPECT_EQ(sent[1].back(), 0x81);
  EXPECT_EQ(sent[2], (Bytes{kCommand, 0x87, kSpec, fifty[48], fifty[49], 0x02}));
}

TEST_F(EntityFixture, ByteArraysIn) {
  struct Row {
    size_t length;
    aErr result;
    size_t count;
  };
  const Row rows[] = {{0, aErrNone, 0},   {24, aErrNone, 24},     {25, aErrNone, 25},
                      {50, aErrNone, 50}, {3072, aErrNone, 3072}, {3073, aErrSize, 3072}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    const Bytes data = pattern(row.length);
    sim.table.defineBytes(kCommand, kIndex, kOptBytes, data);
    Bytes buffer(4096, 0xEE);
    size_t count = 99;
    EXPECT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count), row.result);
    EXPECT_EQ(count, row.count);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(row.count), data.begin()));
    EXPECT_EQ(lastRequest(), (Bytes{kCommand, 0x47, kSpec}));
  }
  // The rest of the array that could not be numbered was taken off the
  // link: the next read is whole.
  const Bytes small = pattern(30);
  sim.table.defineBytes(kCommand, kIndex, kOptBytes, small);
  Bytes buffer(64);
  size_t count = 0;
  ASSERT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)), small);
}

TEST_F(EntityFixture, ByteArraysOutOfOrderOverflowingAndMalformed) {
  const Bytes data = pattern(50);
  const auto packets = UeiTable::arrayPackets(kAddress, kCommand, kOptBytes, kIndex, data);
  ASSERT_EQ(packets.size(), 3u);
  Bytes buffer(64);
  size_t count = 0;

  // Sequence 1 first: it waits until sequence 0 has been taken.
  answer(kOptBytes, {packets[1], packets[0], packets[2]});
  ASSERT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 50), data);

  // A buffer of 30 takes the first 24 bytes; the second packet would
  // overflow it. The transfer's rest does not linger for the next read.
  sim.table.clearResponder(kCommand, kOptBytes);
  sim.table.defineBytes(kCommand, kIndex, kOptBytes, data);
  Bytes small(30, 0);
  EXPECT_EQ(entity.getUEIBytes(kOptBytes, small.data(), small.size(), &count), aErrMemory);
  EXPECT_EQ(count, 24u);
  ASSERT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 50u);

  // A reply without a sequence byte, and an error reply mid-way.
  const struct {
    const char* what;
    std::vector<SimPacket> replies;
    aErr result;
    size_t count;
  } rows[] = {
      {"three data bytes", {reply({kCommand, kOptBytes, kIndex})}, aErrPacket, 0},
      {"an error reply after the first packet", {packets[0], reply({kCommand, kOptBytes, 0x80 | kIndex, 26})}, 26, 24},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    answer(kOptBytes, row.replies);
    EXPECT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), buffer.size(), &count), row.result);
    EXPECT_EQ(count, row.count);
  }

  EXPECT_EQ(entity.getUEIBytes(kOptBytes, nullptr, 10, &count), aErrParam);
  EXPECT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), 0, &count), aErrParam);
  EXPECT_EQ(entity.getUEIBytes(kOptBytes, buffer.data(), 10, nullptr), aErrParam);
}

TEST(EntityClassStatics, ByteCountCheck) {
  struct Row {
    size_t count;
    size_t element;
    aErr result;
    size_t after;
  } rows[] = {{12, 4, aErrNone, 3}, {10, 4, aErrMemory, 10}, {0, 4, aErrNone, 0}, {12, 0, aErrParam, 12}};
  for (const Row& row : rows) {
    size_t count = row.count;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, row.element), row.result);
    EXPECT_EQ(count, row.after);
  }
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
}

TEST_F(EntityFixture, AwaitingAndDrainingWithoutARequest) {
  Zeltrova::Tessarine::Link& link = *module->getLink();
  sim.engine.injectPacket(reply({kCommand, kOpt32, kIndex, 0, 0, 1, 2}));
  uint32_t value = 0;
  ASSERT_EQ(entity.awaitUEI32Val(kOpt32, &value, 0), aErrNone);
  EXPECT_EQ(value, 0x0102u);
  sim.engine.injectPacket(reply({kCommand, kOpt32, kIndex, 9}));
  EXPECT_EQ(entity.awaitUEI32Val(kOpt32, &value, 0), aErrPacket);
  EXPECT_EQ(entity.awaitUEI32Val(kOpt32, nullptr, 0), aErrParam);

  // Drain: get replies, error replies and stream samples of the exact
  // option byte go; another option's reply stays.
  sim.engine.injectPacket(reply({kCommand, kOpt32, kIndex, 0, 0, 0, 1}));
  sim.engine.injectPacket(reply({kCommand, kOpt32, 0x80 | kIndex, 5}));
  sim.engine.injectPacket(reply({kCommand, kOpt32, 0x40 | kIndex, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
  sim.engine.injectPacket(reply({kCommand, kOpt16, kIndex, 0, 1}));
  uint8_t pattern16[] = {kCommand, kOpt16};
  uint8_t length = sizeof pattern16;
  uint8_t buffer[28];
  // The last injected packet is in once the other option's reply is.
  ASSERT_EQ(link.receivePacket(kAddress, pattern16, &length, buffer), aErrNone);
  sim.engine.injectPacket(reply({kCommand, kOpt16, kIndex, 0, 2}));
  EXPECT_EQ(entity.drainUEI(kOpt32), aErrNone);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(entity.awaitUEI32Val(kOpt32, &value, 0), aErrTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  length = sizeof pattern16;
  EXPECT_EQ(link.receivePacket(kAddress, pattern16, &length, buffer), aErrNone);
  EXPECT_EQ(buffer[4], 2);
}

}  // namespace
