// The system entity against a simulated module: every option's request
// bytes, the value taken from the module's table, and the errors.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "Tessarine2/objects/Module.h"
#include "Tessarine2/objects/SystemClass.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using Zeltrova::Tessarine::SystemClass;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSystem = 3;

struct SystemFixture : ::testing::Test {
  explicit SystemFixture(ModuleIdentity identity = ModuleIdentity()) : sim("127.0.0.1", kAddress, identity) {}
  void SetUp() override {
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    system.init(module.get(), 0);
  }
  Bytes lastRequest() {
    auto sent = sentTo(sim.engine, kAddress);
    return sent.empty() ? Bytes() : sent.back();
  }

  TcpModule sim;
  std::unique_ptr<Module> module;
  SystemClass system;
};

using Op = std::function<aErr(SystemClass&, uint32_t*)>;

// Outputs start from *v, so that an output left alone reads back as it was.
Op get8(aErr (SystemClass::*f)(uint8_t*)) {
  return [f](SystemClass& s, uint32_t* v) {
    uint8_t x = static_cast<uint8_t>(*v);
    const aErr r = (s.*f)(&x);
    *v = x == static_cast<uint8_t>(*v) && r != aErrNone ? *v : x;
    return r;
  };
}
Op get32(aErr (SystemClass::*f)(uint32_t*)) {
  return [f](SystemClass& s, uint32_t* v) { return (s.*f)(v); };
}
Op getSigned(aErr (SystemClass::*f)(int32_t*)) {
  return [f](SystemClass& s, uint32_t* v) {
    int32_t x = static_cast<int32_t>(*v);
    const aErr r = (s.*f)(&x);
    *v = static_cast<uint32_t>(x);
    return r;
  };
}
Op set8(aErr (SystemClass::*f)(uint8_t), uint8_t value) {
  return [f, value](SystemClass& s, uint32_t*) { return (s.*f)(value); };
}
Op set32(aErr (SystemClass::*f)(uint32_t), uint32_t value) {
  return [f, value](SystemClass& s, uint32_t*) { return (s.*f)(value); };
}
Op call(aErr (SystemClass::*f)()) {
  return [f](SystemClass& s, uint32_t*) { return (s.*f)(); };
}

enum class Kind { Get, Set, Call };

struct Row {
  const char* what;
  Kind kind;
  Op op;
  Bytes request;
  uint32_t stored;  // Set: the value the module holds afterwards
};

TEST_F(SystemFixture, EveryOption) {
  const Row rows[] = {
      {"getModule", Kind::Get, get8(&SystemClass::getModule), {3, 0x41, 0x20}, 0},
      {"getRouter", Kind::Get, get8(&SystemClass::getRouter), {3, 0x42, 0x20}, 0},
      {"setRouter", Kind::Set, set8(&SystemClass::setRouter, 0x0C), {3, 0x82, 0x20, 0x0C}, 0x0C},
      {"getHBInterval", Kind::Get, get8(&SystemClass::getHBInterval), {3, 0x43, 0x20}, 0},
      {"setHBInterval", Kind::Set, set8(&SystemClass::setHBInterval, 9), {3, 0x83, 0x20, 9}, 9},
      {"getLED", Kind::Get, get8(&SystemClass::getLED), {3, 0x44, 0x20}, 0},
      {"setLED sends 1 for any non-zero", Kind::Set, set8(&SystemClass::setLED, 7), {3, 0x84, 0x20, 1}, 1},
      {"setLED 0", Kind::Set, set8(&SystemClass::setLED, 0), {3, 0x84, 0x20, 0}, 0},
      {"getBootSlot", Kind::Get, get8(&SystemClass::getBootSlot), {3, 0x46, 0x20}, 0},
      {"setBootSlot", Kind::Set, set8(&SystemClass::setBootSlot, 2), {3, 0x86, 0x20, 2}, 2},
      {"getVersion", Kind::Get, get32(&SystemClass::getVersion), {3, 0x47, 0x20}, 0},
      {"getModel", Kind::Get, get8(&SystemClass::getModel), {3, 0x48, 0x20}, 0},
      {"getSerialNumber", Kind::Get, get32(&SystemClass::getSerialNumber), {3, 0x49, 0x20}, 0},
      {"save", Kind::Call, call(&SystemClass::save), {3, 0x8A, 0x20}, 0},
      {"reset", Kind::Call, call(&SystemClass::reset), {3, 0x8B, 0x20}, 0},
      {"getInputVoltage", Kind::Get, get32(&SystemClass::getInputVoltage), {3, 0x4C, 0x20}, 0},
      {"getModuleHardwareOffset", Kind::Get, get8(&SystemClass::getModuleHardwareOffset), {3, 0x4D, 0x20}, 0},
      {"getModuleBaseAddress", Kind::Get, get8(&SystemClass::getModuleBaseAddress), {3, 0x4E, 0x20}, 0},
      {"getModuleSoftwareOffset", Kind::Get, get8(&SystemClass::getModuleSoftwareOffset), {3, 0x4F, 0x20}, 0},
      {"setModuleSoftwareOffset", Kind::Set, set8(&SystemClass::setModuleSoftwareOffset, 4), {3, 0x8F, 0x20, 4}, 4},
      {"getRouterAddressSetting", Kind::Get, get8(&SystemClass::getRouterAddressSetting), {3, 0x50, 0x20}, 0},
      {"routeToMe", Kind::Set, set8(&SystemClass::routeToMe, 1), {3, 0x94, 0x20, 1}, 1},
      {"getInputCurrent", Kind::Get, get32(&SystemClass::getInputCurrent), {3, 0x55, 0x20}, 0},
      {"getUptime", Kind::Get, get32(&SystemClass::getUptime), {3, 0x56, 0x20}, 0},
      {"getMaximumTemperature", Kind::Get, getSigned(&SystemClass::getMaximumTemperature), {3, 0x57, 0x20}, 0},
      {"logEvents", Kind::Call, call(&SystemClass::logEvents), {3, 0x98, 0x20}, 0},
      {"getUnregulatedVoltage", Kind::Get, getSigned(&SystemClass::getUnregulatedVoltage), {3, 0x59, 0x20}, 0},
      {"getUnregulatedCurrent", Kind::Get, getSigned(&SystemClass::getUnregulatedCurrent), {3, 0x5A, 0x20}, 0},
      {"getTemperature", Kind::Get, getSigned(&SystemClass::getTemperature), {3, 0x5B, 0x20}, 0},
      {"getMinimumTemperature", Kind::Get, getSigned(&SystemClass::getMinimumTemperature), {3, 0x5C, 0x20}, 0},
      {"getInputPowerSource", Kind::Get, get8(&SystemClass::getInputPowerSource), {3, 0x5D, 0x20}, 0},
      {"getInputPowerBehavior", Kind::Get, get8(&SystemClass::getInputPowerBehavior), {3, 0x5F, 0x20}, 0},
      {"setInputPowerBehavior", Kind::Set, set8(&SystemClass::setInputPowerBehavior, 1), {3, 0x9F, 0x20, 1}, 1},
      {"getPowerLimit", Kind::Get, get32(&SystemClass::getPowerLimit), {3, 0x61, 0x20}, 0},
      {"getPowerLimitMax", Kind::Get, get32(&SystemClass::getPowerLimitMax), {3, 0x62, 0x20}, 0},
      {"setPowerLimitMax",
       Kind::Set,
       set32(&SystemClass::setPowerLimitMax, 0x00ABCDEF),
       {3, 0xA2, 0x20, 0x00, 0xAB, 0xCD, 0xEF},
       0x00ABCDEF},
      {"getPowerLimitState", Kind::Get, get32(&SystemClass::getPowerLimitState), {3, 0x63, 0x20}, 0},
      {"resetEntityToFactoryDefaults",
       Kind::Call,
       call(&SystemClass::resetEntityToFactoryDefaults),
       {3, 0xA4, 0x20},
       0},
      {"resetDeviceToFactoryDefaults",
       Kind::Call,
       call(&SystemClass::resetDeviceToFactoryDefaults),
       {3, 0xA5, 0x20},
       0},
      {"getLinkInterface", Kind::Get, get8(&SystemClass::getLinkInterface), {3, 0x66, 0x20}, 0},
      {"setLinkInterface", Kind::Set, set8(&SystemClass::setLinkInterface, 2), {3, 0xA6, 0x20, 2}, 2},
      {"getHardwareVersion", Kind::Get, get32(&SystemClass::getHardwareVersion), {3, 0x68, 0x20}, 0},
      {"getErrors", Kind::Get, get32(&SystemClass::getErrors), {3, 0x69, 0x20}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const uint8_t option = row.request[1] & 0x3F;
    const uint32_t before = sim.table.value(kSystem, 0, option);
    const size_t callsBefore = sim.table.calls(kSystem, 0, option);
    uint32_t value = 0xA5A5A5A5;
    ASSERT_EQ(row.op(system, &value), aErrNone);
    EXPECT_EQ(lastRequest(), row.request);
    switch (row.kind) {
      case Kind::Get:
        EXPECT_EQ(value, before);
        break;
      case Kind::Set:
        EXPECT_EQ(sim.table.value(kSystem, 0, option), row.stored);
        break;
      case Kind::Call:
        EXPECT_EQ(sim.table.calls(kSystem, 0, option), callsBefore + 1);
        break;
    }
  }
  // Values the identity gave, read back through the entity.
  uint32_t serial = 0;
  ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, ModuleIdentity().serial);
  int32_t minimum = 0;
  ASSERT_EQ(system.getMinimumTemperature(&minimum), aErrNone);
  EXPECT_EQ(minimum, -5000000);
}

TEST_F(SystemFixture, ModuleErrorsPerWidth) {
  const Row rows[] = {
      {"get 8", Kind::Get, get8(&SystemClass::getModel), {3, 0x48, 0x20}, 0},
      {"get 32", Kind::Get, get32(&SystemClass::getSerialNumber), {3, 0x49, 0x20}, 0},
      {"get signed 32", Kind::Get, getSigned(&SystemClass::getTemperature), {3, 0x5B, 0x20}, 0},
      {"set 8", Kind::Set, set8(&SystemClass::setRouter, 4), {3, 0x82, 0x20, 4}, 0},
      {"set 32", Kind::Set, set32(&SystemClass::setPowerLimitMax, 4), {3, 0xA2, 0x20, 0, 0, 0, 4}, 0},
      {"call", Kind::Call, call(&SystemClass::reset), {3, 0x8B, 0x20}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const uint8_t option = row.request[1] & 0x3F;
    sim.table.setError(kSystem, 0, option, 21);
    uint32_t value = 0xA5A5A5A5;
    EXPECT_EQ(row.op(system, &value), 21);
    EXPECT_EQ(lastRequest(), row.request);
    if (row.kind == Kind::Get) {
      EXPECT_EQ(value, 0xA5A5A5A5u) << "nothing stored";
    }
    sim.table.setError(kSystem, 0, option, 0);
  }
  uint8_t address = 0;
  EXPECT_EQ(system.getModule(nullptr), aErrParam);
  SystemClass unbound;
  EXPECT_EQ(unbound.getModule(&address), aErrResource);
}

TEST_F(SystemFixture, NameAndUniqueIdentifier) {
  const Bytes name{'r', 'o', 'u', 't', 'e', 'r', '-', '1'};
  ASSERT_EQ(system.setName(name.data(), name.size()), aErrNone);
  EXPECT_EQ(lastRequest(), (Bytes{3, 0xA0, 0x20, 'r', 'o', 'u', 't', 'e', 'r', '-', '1', 0x00}));
  Bytes buffer(64);
  size_t count = 0;
  ASSERT_EQ(system.getName(buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)), name);

  // Option 39 by subindex; the module does not repeat the subindex.
  for (uint8_t i = 0; i < 4; ++i) {
    uint32_t word = 0;
    ASSERT_EQ(system.getUEI32(39, i, &word), aErrNone);
    EXPECT_EQ(word, ModuleIdentity().uniqueId[i]);
    EXPECT_EQ(lastRequest(), (Bytes{3, 0x67, 0x20, i}));
  }
  uint32_t word = 0;
  EXPECT_EQ(system.getUEI32(39, 4, &word), 26) << "the module's index-range error";
}

ModuleIdentity withBehaviourConfig() {
  ModuleIdentity identity;
  identity.powerBehaviorAsBytes = true;
  identity.powerBehaviorConfig = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  return identity;
}

struct SystemBehaviourConfig : SystemFixture {
  SystemBehaviourConfig() : SystemFixture(withBehaviourConfig()) {}
};

TEST_F(SystemBehaviourConfig, WordsTravelInMemoryOrder) {
  uint32_t words[8] = {0};
  size_t count = 0;
  // Ten bytes are no whole number of words.
  EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 8, &count), aErrMemory);
  EXPECT_EQ(count, 10u);

  const uint32_t out[2] = {0x04030201, 0x08070605};
  ASSERT_EQ(system.setInputPowerBehaviorConfig(out, 2), aErrNone);
  Bytes inMemory(8);
  std::memcpy(inMemory.data(), out, sizeof out);
  EXPECT_EQ(sim.table.bytes(kSystem, 0, 31), inMemory);
  ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 8, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(words[0], out[0]);
  EXPECT_EQ(words[1], out[1]);
}

}  // namespace
