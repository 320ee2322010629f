// Link-level UEI and raw packets: the checks every operation makes first,
// the layouts with no value, and the raw-reply pattern.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using Zeltrova::Tessarine::Link;
using Zeltrova::Tessarine::uei;
using Bytes = std::vector<uint8_t>;

struct LinkPackets : ::testing::Test {
  void SetUp() override {
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    sim.engine.clearRecords();
  }
  Link& link() { return *module->getLink(); }

  TcpModule sim;
  std::unique_ptr<Module> module;
};

uei request(uint8_t module, uint32_t type) {
  uei r{};
  r.module = module;
  r.command = 3;
  r.option = 0x48;
  r.specifier = 0x20;
  r.type = type;
  return r;
}

TEST_F(LinkPackets, ConnectionThenAddressAreCheckedFirst) {
  Link idle("idle");
  uint8_t buffer[28];
  uint8_t length = 0;
  uei record = request(0, 0);
  const uint8_t none[] = {0};
  // Not connected wins over a bad address.
  EXPECT_EQ(idle.sendUEI(record), aErrConnection);
  EXPECT_EQ(idle.sendUEI(record, 1), aErrConnection);
  EXPECT_EQ(idle.receiveUEI(0, 3, 8, 0, &record), aErrConnection);
  EXPECT_EQ(idle.dropMatchingUEIPackets(0, 3, 8, 0), aErrConnection);
  EXPECT_EQ(idle.sendPacket(0, 23, 0, none), aErrConnection);
  EXPECT_EQ(idle.receivePacket(0, none, &length, buffer), aErrConnection);

  for (uint8_t address : {uint8_t(0), uint8_t(7), uint8_t(0xFF)}) {
    SCOPED_TRACE(int(address));
    record = request(address, 0);
    EXPECT_EQ(link().sendUEI(record), aErrPacket);
    EXPECT_EQ(link().sendUEI(record, 1), aErrPacket);
    EXPECT_EQ(link().receiveUEI(address, 3, 8, 0, &record), aErrPacket);
    EXPECT_EQ(link().dropMatchingUEIPackets(address, 3, 8, 0), aErrPacket);
    EXPECT_EQ(link().sendPacket(address, 23, 0, none), aErrPacket);
    length = 0;
    EXPECT_EQ(link().receivePacket(address, none, &length, buffer), aErrPacket);
  }
  // The raw length is checked before the address.
  Bytes long28(28, 1);
  EXPECT_EQ(link().sendPacket(0, 23, 28, long28.data()), aErrParam);
  EXPECT_TRUE(sim.engine.received().empty());
}

TEST_F(LinkPackets, RawPacketsUpToTwentyEightBytes) {
  Bytes data(27);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i);
  }
  ASSERT_EQ(link().sendPacket(kAddress, 23, 27, data.data()), aErrNone);
  uint8_t pattern[] = {23};
  uint8_t length = 1;
  uint8_t buffer[28] = {0};
  ASSERT_EQ(link().receivePacket(kAddress, pattern, &length, buffer), aErrNone);
  EXPECT_EQ(length, 28);
  Bytes expected(data.size() + 1, 23);
  std::copy(data.begin(), data.end(), expected.begin() + 1);
  EXPECT_EQ(Bytes(buffer, buffer + length), expected);
  EXPECT_EQ(sentTo(sim.engine, kAddress), std::vector<Bytes>{expected});

  Bytes longer(28, 9);
  EXPECT_EQ(link().sendPacket(kAddress, 23, 28, longer.data()), aErrParam);
  EXPECT_EQ(sentTo(sim.engine, kAddress).size(), 1u);
}

TEST_F(LinkPackets, PatternMatchingOfRawReplies) {
  uint8_t buffer[28];
  // An empty pattern takes the first packet on the link.
  sim.engine.setSilent(true);
  sim.engine.injectPacket(SimPacket{0x0A, {99, 1}});
  uint8_t length = 0;
  ASSERT_EQ(link().receivePacket(kAddress, nullptr, &length, buffer), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{99, 1}));

  // A packet shorter than the pattern never matches it, whatever lies
  // behind its data.
  sim.engine.injectPacket(SimPacket{kAddress, {73}});
  sim.engine.injectPacket(SimPacket{kAddress, {73, 0, 5}});
  const uint8_t pattern[] = {73, 0};
  length = sizeof pattern;
  ASSERT_EQ(link().receivePacket(kAddress, pattern, &length, buffer), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{73, 0, 5}));

  length = sizeof pattern;
  EXPECT_EQ(link().receivePacket(kAddress, pattern, &length, buffer), aErrTimeout);
}

TEST_F(LinkPackets, RecordsWithoutALayoutSendNothing) {
  for (uint32_t type : {3u, 6u, 0xFFu}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(link().sendUEI(request(kAddress, type)), aErrParam);
  }
  for (uint32_t type : {3u, 5u, 6u}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(link().sendUEI(request(kAddress, type), 2), aErrParam);
  }
  uei bytes = request(kAddress, 5);
  bytes.data = nullptr;
  bytes.length = 3;
  EXPECT_EQ(link().sendUEI(bytes), aErrParam);
  EXPECT_TRUE(sim.engine.received().empty());
}

TEST_F(LinkPackets, RepliesAsTheRecordReceivesThem) {
  sim.engine.setSilent(true);
  struct Row {
    const char* what;
    Bytes data;
    uint8_t specifier;
    uint32_t type;
    uint32_t value;
  };
  const Row rows[] = {
      {"void", {3, 8, 0}, 0, 0, 0x11223344},
      {"byte", {3, 8, 0, 0x7E}, 0, 1, 0x1122337E},
      {"short", {3, 8, 0x20, 0x12, 0x34}, 0, 2, 0x11221234},
      {"int", {3, 8, 0, 1, 2, 3, 4}, 0, 4, 0x01020304},
      {"six bytes: taken, nothing read", {3, 8, 0, 1, 2, 3}, 0, 9, 0x11223344},
      {"error reply", {3, 8, 0x80, 13}, 0x80, 9, 0x1122330D},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    sim.engine.injectPacket(SimPacket{kAddress, row.data});
    uei record{};
    record.module = kAddress;
    record.command = 3;
    record.option = 8;
    record.specifier = 0;
    record.type = 9;
    record.intValue = 0x11223344;
    ASSERT_EQ(link().receiveUEI(kAddress, 3, 8, 0, &record), aErrNone);
    EXPECT_EQ(record.specifier, row.specifier);
    EXPECT_EQ(record.type, row.type);
    EXPECT_EQ(record.intValue, row.value);
  }
}

}  // namespace

namespace {

// An error code or a value stored by a reply must never land on a byte
// array's buffer, position or flags.
TEST(UeiRecord, ByteArrayFieldsNeverShareTheValue) {
  using Zeltrova::Tessarine::uei;
  const size_t valueEnd = offsetof(uei, intValue) + sizeof(uint32_t);
  EXPECT_GE(offsetof(uei, data), valueEnd);
  EXPECT_GE(offsetof(uei, sequence), valueEnd);
  EXPECT_GE(offsetof(uei, continueFlag), valueEnd);
  EXPECT_GE(offsetof(uei, length), valueEnd);
  EXPECT_GE(offsetof(uei, count), valueEnd);
  uei record{};
  record.intValue = 0x11223344;
  EXPECT_EQ(record.byteValue, 0x44);
  EXPECT_EQ(record.shortValue, 0x3344);
}

}  // namespace
