// Modules behind a router share the router's link: use counts, teardown,
// and the router's link surviving every failed attempt to share it.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "Tessarine2/objects/SystemClass.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using Zeltrova::Tessarine::Link;
using Zeltrova::Tessarine::SystemClass;

constexpr uint8_t kRouterAddress = 0x02;

// The id of the link to an IPv4 address; the caller holds a use of it.
linkID linkTo(uint32_t address) {
  aLinkEntry* entry = sLookupEntryByIdentifier(address);
  return entry == nullptr ? 0 : entry->id;
}

ModuleIdentity identity(uint32_t serial, uint8_t model) {
  ModuleIdentity id;
  id.serial = serial;
  id.model = model;
  return id;
}

struct RoutedFixture : ::testing::Test {
  RoutedFixture() : sim("127.0.0.1", kRouterAddress, identity(0xA0000001, 0x11)) {
    sim.router.addModule(0x04, identity(0xB0000004, 0x12));
    sim.router.addModule(0x08, identity(0xB0000008, 0x13));
  }
  void SetUp() override {
    router = connectedModule(sim.spec(), kRouterAddress);
    ASSERT_TRUE(router->isConnected());
    routerLink = linkTo(sim.front.address());
    ASSERT_NE(routerLink, 0);
    SystemClass system;
    system.init(router.get(), 0);
    ASSERT_EQ(system.routeToMe(1), aErrNone);
  }
  std::unique_ptr<Module> behind(uint8_t address) {
    auto module = std::make_unique<Module>(address, false, 0);
    module->setConfig(directConfig());
    return module;
  }
  // The router's link still carries traffic.
  void expectRouterAlive(int uses) {
    EXPECT_EQ(useCount(routerLink), uses);
    EXPECT_TRUE(router->isConnected());
    const uint8_t ping[] = {1, 2, 3};
    EXPECT_EQ(router->debug(ping, sizeof ping), aErrNone);
  }

  TcpRouter sim;
  std::unique_ptr<Module> router;
  linkID routerLink = 0;
};

TEST_F(RoutedFixture, TwoModulesShareTheRoutersLinkUntilTheLastLetsGo) {
  auto a = behind(0x04);
  auto b = behind(0x08);
  ASSERT_EQ(a->connectThroughLinkModule(router.get()), aErrNone);
  ASSERT_EQ(b->connectThroughLinkModule(router.get()), aErrNone);
  EXPECT_EQ(useCount(routerLink), 3);
  EXPECT_EQ(a->getModuleAddress(), 0x04);

  SystemClass sa;
  SystemClass sb;
  sa.init(a.get(), 0);
  sb.init(b.get(), 0);
  uint32_t serial = 0;
  ASSERT_EQ(sa.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0xB0000004u);
  ASSERT_EQ(sb.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0xB0000008u);
  // Already connected: nothing happens.
  EXPECT_EQ(a->connectThroughLinkModule(router.get()), aErrNone);
  EXPECT_EQ(useCount(routerLink), 3);

  // The router's Module goes first; the link stays for the others.
  router.reset();
  EXPECT_EQ(useCount(routerLink), 2);
  ASSERT_EQ(sb.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(b->disconnect(), aErrNone);
  EXPECT_EQ(useCount(routerLink), 1);
  ASSERT_EQ(sa.getSerialNumber(&serial), aErrNone);
  EXPECT_TRUE(sim.engine.forceRoutes() == std::vector<uint8_t>{1});
  a.reset();
  EXPECT_EQ(useCount(routerLink), 0);
  EXPECT_TRUE(sim.engine.waitUntil([&] { return sim.engine.forceRoutes() == std::vector<uint8_t>({1, 0}); }, 3000));
}

TEST_F(RoutedFixture, AFailedShareNeverTakesTheRoutersLinkDown) {
  struct Row {
    const char* what;
    bool withSpec;
    linkSpec spec;
    aErr expected;
  };
  linkSpec aweave = sim.spec();
  aweave.type = AWEAVE;
  linkSpec unknown = sim.spec();
  unknown.type = 9;
  const Row rows[] = {
      {"no specification", false, sim.spec(), aErrConfiguration},
      {"aWeave with sharing off", true, aweave, aErrConfiguration},
      {"a type outside 1..4", true, unknown, aErrMode},
      {"a link that cannot be made", true, tcpSpec(ipv4("127.0.0.3"), 1), aErrConnection},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    {
      Link routed("routed");
      ASSERT_EQ(routed.setConfig(directConfig()), aErrNone);
      if (row.withSpec) {
        ASSERT_EQ(routed.setLinkSpecifier(row.spec), aErrNone);
      }
      EXPECT_EQ(routed.connectThroughLinkModule(*router->getLink()), row.expected);
      EXPECT_FALSE(routed.isConnected());
      EXPECT_EQ(routed.getStatus(), 8) << "no id kept without a use";
      EXPECT_EQ(routed.disconnect(), aErrNone);
      expectRouterAlive(1);
    }
    expectRouterAlive(1);
  }
}

TEST_F(RoutedFixture, ModuleLevelFailuresLeaveNetworkingModeAndTheRouter) {
  Module idle(kRouterAddress, static_cast<uint8_t>(0));
  Module unconnectedRouter(kRouterAddress, static_cast<uint8_t>(0));
  unconnectedRouter.setConfig(directConfig());
  ASSERT_EQ(unconnectedRouter.getLink()->setLinkSpecifier(sim.spec()), aErrNone);
  struct Row {
    const char* what;
    Module* router;
    aErr expected;
  };
  const Row rows[] = {
      {"a router that never connected", &idle, aErrNotFound},
      {"a router with a specification but no link", &unconnectedRouter, aErrInitialization},
      {"no router", nullptr, aErrParam},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto module = std::make_unique<Module>(0x04, static_cast<uint8_t>(0));
    module->setConfig(directConfig());
    EXPECT_EQ(module->connectThroughLinkModule(row.router), row.expected);
    EXPECT_FALSE(module->isConnected());
    module.reset();
    expectRouterAlive(1);
  }
}

// A second module on another loopback address; the routed Link holds a
// link to it that no longer runs when it is pointed at the router.
struct HeldLinkFixture : RoutedFixture {
  void SetUp() override {
    RoutedFixture::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    ASSERT_EQ(routed.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(routed.connect(), aErrNone);
    held = linkTo(other.front.address());
    ASSERT_NE(held, 0);
    EXPECT_EQ(useCount(held), 1);
    // The module leaves the network with an orderly close (after it has
    // read all it got, else the close resets): the held link stops
    // running but stays held.
    ASSERT_TRUE(other.engine.waitUntil([&] { return other.engine.forceRoutes().size() == 1; }, 3000));
    other.front.stopListening();
    other.front.disconnect(false);
    ASSERT_TRUE(eventually([&] { return !routed.isConnected(); }, 3000));
    EXPECT_EQ(useCount(held), 1);
  }

  TcpModule other{"127.0.0.2"};
  Link routed{other.spec(), "routed"};
  linkID held = 0;
};

TEST_F(HeldLinkFixture, ALinkHeldBeforeIsGivenBack) {
  ASSERT_EQ(routed.setLinkSpecifier(sim.spec()), aErrNone);
  ASSERT_EQ(routed.connectThroughLinkModule(*router->getLink()), aErrNone);
  EXPECT_TRUE(routed.isConnected());
  EXPECT_EQ(useCount(held), 0) << "the link held before is released";
  expectRouterAlive(2);
  routed.disconnect();
  expectRouterAlive(1);
}

TEST_F(HeldLinkFixture, ALinkHeldBeforeIsGivenBackWhenTheShareFails) {
  linkSpec unknown = sim.spec();
  unknown.type = 9;
  ASSERT_EQ(routed.setLinkSpecifier(unknown), aErrNone);
  EXPECT_EQ(routed.connectThroughLinkModule(*router->getLink()), aErrMode);
  EXPECT_EQ(useCount(held), 0);
  EXPECT_EQ(routed.getStatus(), 8);
  expectRouterAlive(1);
}

}  // namespace
