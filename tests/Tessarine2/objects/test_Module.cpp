// Module: auto-networking against a silent module, the debug echo and the
// capability queries with the shapes their answers must have.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDebug = 23;
constexpr uint8_t kCapability = 73;

TEST(ModuleAutoNetworking, ASilentModuleLeavesTheLinkOpenAndReportsNotReady) {
  TcpModule sim;
  sim.engine.setSilent(true);
  Module module(2, static_cast<uint8_t>(0));
  module.setConfig(directConfig());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(module.connectFromSpec(sim.spec()), aErrNotReady);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(3900));
  EXPECT_LT(took, std::chrono::milliseconds(6000));
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), 2);
  EXPECT_EQ(sentTo(sim.engine, 0xAD).size(), 4u);
}

// The address query is what tells a reconnect that the module is back: a
// reconnect without an answer must not hold the link, or every later
// attempt fails at once without trying.
TEST(ModuleAutoNetworking, AReconnectWithoutAnAddressLeavesTheModuleDisconnected) {
  TcpModule sim;
  auto module = connectedModule(sim.spec());
  ASSERT_TRUE(module->isConnected());
  ASSERT_EQ(module->disconnect(), aErrNone);
  sim.engine.setSilent(true);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    sim.engine.clearRecords();
    EXPECT_EQ(module->reconnect(), aErrNotReady);
    EXPECT_FALSE(module->isConnected());
    EXPECT_EQ(sentTo(sim.engine, 0xAD).size(), 4u) << "each attempt asks again";
  }
  sim.engine.setSilent(false);
  EXPECT_EQ(module->reconnect(), aErrNone);
  EXPECT_TRUE(module->isConnected());
}

struct ModuleFixture : ::testing::Test {
  void SetUp() override {
    sim.table.defineValue(0x30, 0, 1, 1, 0);
    sim.table.defineValue(0x30, 1, 1, 1, 0);
    sim.table.setSubClassQuantity(0x30, 1, 5);
    sim.table.setEntityGroup(0x30, 1, 4);
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
  }
  Bytes lastRequest() {
    auto sent = sentTo(sim.engine, kAddress);
    return sent.empty() ? Bytes() : sent.back();
  }
  // The module answers the command with these packets instead.
  void answer(uint8_t command, std::vector<SimPacket> packets) {
    sim.engine.setHandler(kAddress, command, [packets](const SimPacket&) { return packets; });
  }

  TcpModule sim;
  std::unique_ptr<Module> module;
};

TEST_F(ModuleFixture, DebugEcho) {
  Bytes full(27);
  for (size_t i = 0; i < full.size(); ++i) {
    full[i] = static_cast<uint8_t>(0x80 + i);
  }
  EXPECT_EQ(module->debug(nullptr, 0), aErrNone);
  EXPECT_EQ(lastRequest(), Bytes{kDebug});
  EXPECT_EQ(module->debug(full.data(), 27), aErrNone);
  EXPECT_EQ(lastRequest().size(), 28u);
  sim.engine.clearRecords();
  Bytes tooLong(28, 1);
  EXPECT_EQ(module->debug(tooLong.data(), 28), aErrParam);
  EXPECT_TRUE(sentTo(sim.engine, kAddress).empty());

  const uint8_t data[] = {1, 2, 3};
  const struct {
    const char* what;
    std::vector<SimPacket> replies;
    aErr result;
  } rows[] = {
      {"another byte", {SimPacket{kAddress, {kDebug, 1, 2, 4}}}, aErrIO},
      {"shorter", {SimPacket{kAddress, {kDebug, 1, 2}}}, aErrIO},
      {"longer", {SimPacket{kAddress, {kDebug, 1, 2, 3, 4}}}, aErrIO},
      {"silence", {}, aErrTimeout},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    answer(kDebug, row.replies);
    EXPECT_EQ(module->debug(data, sizeof data), row.result);
  }
  Module idle(2, static_cast<uint8_t>(0));
  EXPECT_EQ(idle.debug(data, sizeof data), aErrConnection);
}

TEST_F(ModuleFixture, CapabilityQueries) {
  using Query = std::function<aErr(Module&, uint8_t*)>;
  struct Row {
    const char* what;
    Query query;
    Bytes request;
    aErr result;
    uint8_t out;
  };
  auto has = [](uint8_t c, uint8_t o, uint8_t i, uint8_t f) {
    return [=](Module& m, uint8_t* out) {
      *out = 0;
      return m.hasUEI(c, o, i, f);
    };
  };
  const Row rows[] = {
      {"has a readable option", has(3, 9, 0, 0x40), {kCapability, 1, 3, 9, 0, 0x40}, aErrNone, 0},
      {"has any access", has(3, 2, 0, 0), {kCapability, 1, 3, 2, 0, 0}, aErrNone, 0},
      {"a read-only option asked for writing", has(3, 9, 0, 0x80), {kCapability, 1, 3, 9, 0, 0x80}, aErrPermission, 0},
      {"an option the module lacks", has(3, 5, 0, 0x40), {kCapability, 1, 3, 5, 0, 0x40}, aErrInvalidOption, 0},
      {"class quantity",
       [](Module& m, uint8_t* out) { return m.classQuantity(0x30, out); },
       {kCapability, 4, 0x30},
       aErrNone,
       2},
      {"subclass quantity",
       [](Module& m, uint8_t* out) { return m.subClassQuantity(0x30, 1, out); },
       {kCapability, 5, 0x30, 1},
       aErrNone,
       5},
      {"entity group",
       [](Module& m, uint8_t* out) { return m.entityGroup(0x30, 1, out); },
       {kCapability, 6, 0x30, 1},
       aErrNone,
       4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    uint8_t out = 0xEE;
    EXPECT_EQ(row.query(*module, &out), row.result);
    EXPECT_EQ(out, row.out);
    EXPECT_EQ(lastRequest(), row.request);
  }

  sim.engine.clearRecords();
  EXPECT_EQ(module->hasUEI(3, 9, 0, 0xC0), aErrParam);
  EXPECT_EQ(module->hasUEI(3, 9, 0, 0x01), aErrParam);
  EXPECT_TRUE(sentTo(sim.engine, kAddress).empty());
}

TEST_F(ModuleFixture, CapabilityAnswersOfAnotherShapeAreConsumedAndRefused) {
  const struct {
    const char* what;
    SimPacket answer;
  } rows[] = {
      {"one byte too many", SimPacket{kAddress, {kCapability, 4, 0x30, 2, 0}}},
      {"one byte too few", SimPacket{kAddress, {kCapability, 4, 0x30}}},
      {"another command echoed", SimPacket{kAddress, {kCapability, 4, 0x31, 2}}},
      {"another query echoed", SimPacket{kAddress, {kCapability, 5, 0x30, 2}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    answer(kCapability, {row.answer});
    uint8_t count = 0xEE;
    EXPECT_EQ(module->classQuantity(0x30, &count), aErrUnknown);
    EXPECT_EQ(count, 0);
  }
  // The module's own answers again: nothing stale is taken.
  sim.engine.setHandler(kAddress, kCapability, sim.table.capabilityHandler());
  uint8_t count = 0;
  EXPECT_EQ(module->classQuantity(0x30, &count), aErrNone);
  EXPECT_EQ(count, 2);

  Module idle(2, static_cast<uint8_t>(0));
  count = 9;
  EXPECT_EQ(idle.classQuantity(3, &count), aErrConnection);
  EXPECT_EQ(count, 0);
}

}  // namespace
