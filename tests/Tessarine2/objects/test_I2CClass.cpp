// The I2C entity against a simulated module's bus: request layouts, the
// status byte, and replies the module gets wrong.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Tessarine2/objects/I2CClass.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using simmodule::I2CBus;
using Zeltrova::Tessarine::I2CClass;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDevice = 0x40;

// A module with a bus at index 0; the front last, so that its thread,
// which runs the bus, stops first.
struct BusModule {
  BusModule() : engine(kAddress), table(engine, kAddress), bus(engine, kAddress), front(engine) {
    simmodule::addSystemEntity(table, ModuleIdentity());
  }
  linkSpec spec() const { return tcpSpec(front.address(), front.port()); }

  ModuleEngine engine;
  simmodule::UeiTable table;
  I2CBus bus;
  simmodule::TcpFront front;
};

struct I2CFixture : ::testing::Test {
  I2CFixture() { sim.bus.addDevice(kDevice, {0xA1, 0xA2, 0xA3}); }
  void SetUp() override {
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    i2c.init(module.get(), 0);
  }
  Bytes lastRequest() {
    auto sent = sentTo(sim.engine, kAddress);
    return sent.empty() ? Bytes() : sent.back();
  }
  void answer(std::vector<SimPacket> packets) {
    sim.bus.setResponder([packets](const SimPacket&) { return packets; });
  }

  BusModule sim;
  std::unique_ptr<Module> module;
  I2CClass i2c;
};

TEST_F(I2CFixture, WritesReadsAndPullups) {
  uint8_t speed = 9;
  ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0);
  EXPECT_EQ(i2c.setSpeed(4), aErrParam);
  ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0);
  ASSERT_EQ(i2c.setSpeed(3), aErrNone);

  const uint8_t data[] = {0x11, 0x22};
  ASSERT_EQ(i2c.write(kDevice, 2, data), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{8, 0, kDevice, 2, 3, 0x11, 0x22}));

  uint8_t buffer[3] = {0};
  ASSERT_EQ(i2c.read(kDevice, 3, buffer), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{8, 0, kDevice | 1, 3, 3}));
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x11, 0x22, 0}));

  // An address without a device fails at once with the module's code.
  EXPECT_EQ(i2c.write(0x42, 2, data), I2CBus::kNoDevice);
  EXPECT_EQ(i2c.read(0x42, 1, buffer), I2CBus::kNoDevice);

  ASSERT_EQ(i2c.setPullup(true), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{8, 0, 1, 1}));
  EXPECT_TRUE(sim.bus.pullup());
  ASSERT_EQ(i2c.setPullup(false), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{8, 0, 1, 0}));
  EXPECT_FALSE(sim.bus.pullup());
}

TEST_F(I2CFixture, TransferLengths) {
  sim.engine.clearRecords();
  Bytes data(24, 0x5A);
  uint8_t buffer[24];
  EXPECT_EQ(i2c.write(kDevice, 24, data.data()), aErrSize);
  EXPECT_EQ(i2c.read(kDevice, 24, buffer), aErrSize);
  EXPECT_TRUE(sentTo(sim.engine, kAddress).empty());
  ASSERT_EQ(i2c.write(kDevice, 23, data.data()), aErrNone);
  EXPECT_EQ(lastRequest().size(), 28u);
}

TEST_F(I2CFixture, RepliesTheModuleGetsWrong) {
  const uint8_t data[] = {1, 2};
  const struct {
    const char* what;
    SimPacket reply;
    aErr result;
  } writes[] = {
      {"status 0x85", SimPacket{kAddress, {8, 0, kDevice, 0, 0x85}}, aErrBusy},
      {"status 0x80 carries no code but is a failure", SimPacket{kAddress, {8, 0, kDevice, 0, 0x80}}, aErrUnknown},
      {"four data bytes", SimPacket{kAddress, {8, 0, kDevice, 0}}, aErrPacket},
      {"status 0 with more bytes", SimPacket{kAddress, {8, 0, kDevice, 0, 0x00, 7}}, aErrNone},
  };
  for (const auto& row : writes) {
    SCOPED_TRACE(row.what);
    answer({row.reply});
    EXPECT_EQ(i2c.write(kDevice, 2, data), row.result);
  }

  const uint8_t r = kDevice | 1;
  const struct {
    const char* what;
    SimPacket reply;
    aErr result;
  } reads[] = {
      {"a count above the length asked for",
       SimPacket{kAddress, {8, 0, r, 20, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
       aErrPacket},
      {"a count above the bytes carried", SimPacket{kAddress, {8, 0, r, 4, 0, 1, 2}}, aErrPacket},
      {"status 0x80", SimPacket{kAddress, {8, 0, r, 4, 0x80}}, aErrUnknown},
      {"status 0x86", SimPacket{kAddress, {8, 0, r, 0, 0x86}}, 6},
  };
  for (const auto& row : reads) {
    SCOPED_TRACE(row.what);
    answer({row.reply});
    // Exactly the length asked for, on the heap, so that a write past it
    // shows.
    auto buffer = std::make_unique<uint8_t[]>(4);
    std::fill(buffer.get(), buffer.get() + 4, 0xEE);
    EXPECT_EQ(i2c.read(kDevice, 4, buffer.get()), row.result);
    EXPECT_EQ(Bytes(buffer.get(), buffer.get() + 4), Bytes(4, 0xEE)) << "nothing copied";
  }

  // Fewer bytes than asked for are a valid answer.
  answer({SimPacket{kAddress, {8, 0, r, 2, 0, 0x31, 0x32}}});
  uint8_t buffer[4] = {0};
  EXPECT_EQ(i2c.read(kDevice, 4, buffer), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x31, 0x32}));

  answer({});
  EXPECT_EQ(i2c.write(kDevice, 2, data), aErrTimeout);
  I2CClass unbound;
  EXPECT_EQ(unbound.write(kDevice, 2, data), aErrResource);
}

}  // namespace
