// Link and Module connections over each transport against simulated
// modules: what goes on the wire, what the Link keeps, and what it refuses.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using Zeltrova::Tessarine::Link;

// Control packets as the module received them: force-route (0xAF) and
// synchronisation / address queries (0xAD), in order.
std::vector<SimPacket> controlPackets(const ModuleEngine& engine) {
  std::vector<SimPacket> out;
  for (const ModuleEngine::HostPacket& packet : engine.received()) {
    out.push_back(packet.packet);
  }
  return out;
}

const SimPacket kForceRouteOn{0xAF, {1}};
const SimPacket kForceRouteOff{0xAF, {0}};
const SimPacket kAddressQuery{0xAD, {}};

// A connection made from a link record adopts the module's address, and
// the link is closed by the Module's destruction with force-route off.
void expectDirectConnection(ModuleEngine& engine, const linkSpec& spec, bool synchronised) {
  auto module = connectedModule(spec, 2);
  ASSERT_TRUE(module->isConnected());
  EXPECT_EQ(module->getModuleAddress(), kAddress);
  linkSpec kept;
  ASSERT_EQ(module->getLinkSpecifier(&kept), aErrNone);
  EXPECT_EQ(std::memcmp(&kept, &spec, sizeof kept), 0);
  module.reset();
  ASSERT_TRUE(
      engine.waitUntil([&] { return engine.forceRoutes().size() >= 2 && engine.forceRoutes().back() == 0; }, 3000));

  std::vector<SimPacket> got = controlPackets(engine);
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got.front(), kForceRouteOn);
  size_t at = 1;
  if (synchronised) {
    // Synchronisation requests, then force-route on once more.
    size_t syncs = 0;
    while (at < got.size() && got[at] == kAddressQuery) {
      ++syncs;
      ++at;
    }
    EXPECT_GE(syncs, 1u);
    ASSERT_LT(at, got.size());
    EXPECT_EQ(got[at], kForceRouteOn);
    ++at;
  }
  // The Module's address query, and the link's last word.
  std::vector<SimPacket> rest(got.begin() + static_cast<std::ptrdiff_t>(at), got.end());
  EXPECT_EQ(rest, (std::vector<SimPacket>{kAddressQuery, kForceRouteOff}));
}

TEST(LinkConnect, FromSpecOverTcpAdoptsTheAddressAndClosesCleanly) {
  TcpModule sim;
  expectDirectConnection(sim.engine, sim.spec(), false);
}

TEST(LinkConnect, FromSpecOverASerialLine) {
  PtyModule sim;
  expectDirectConnection(sim.engine, serialSpec(processSerial(1), sim.front.devicePath()), false);
}

TEST(LinkConnect, FromSpecOverUsbThroughTheDriverNode) {
  PtyModule sim;
  const uint32_t serial = processSerial(2);
  char node[64];
  std::snprintf(node, sizeof node, "/dev/tessarine.%08X", serial);
  sim.front.publishAs(node);
  expectDirectConnection(sim.engine, usbSpec(serial), true);
}

TEST(LinkConnect, NetworkingModeOffKeepsTheConstructorsAddressAndAsksNothing) {
  TcpModule sim;
  Module module(2, false, 0);
  module.setConfig(directConfig());
  ASSERT_EQ(module.connectFromSpec(sim.spec()), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 2);
  EXPECT_TRUE(sentTo(sim.engine, 0xAD).empty());
}

TEST(LinkConnect, ReconnectUsesTheKeptSpecification) {
  TcpModule sim;
  auto module = connectedModule(sim.spec());
  ASSERT_TRUE(module->isConnected());
  EXPECT_EQ(module->disconnect(), aErrNone);
  EXPECT_FALSE(module->isConnected());
  EXPECT_EQ(module->getStatus(), 8);
  EXPECT_EQ(module->reconnect(), aErrNone);
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(module->connectFromSpec(sim.spec()), aErrBusy);
}

TEST(LinkConnect, RefusesConfigurationAndSpecificationChangesWhileConnected) {
  TcpModule sim;
  Link link(sim.spec(), "Link");
  ASSERT_EQ(link.setConfig(directConfig()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  ASSERT_TRUE(link.isConnected());
  EXPECT_EQ(link.getStatus(), kLinkStateRunning);

  aWeaveConfig changed = directConfig();
  changed.port = 1234;
  EXPECT_EQ(link.setConfig(changed), aErrPermission);
  aWeaveConfig now;
  ASSERT_EQ(link.getConfig(&now), aErrNone);
  EXPECT_EQ(now.port, 0);
  EXPECT_EQ(link.getConfig(nullptr), aErrParam);

  EXPECT_EQ(link.setLinkSpecifier(tcpSpec(ipv4("127.0.0.9"), 1)), aErrBusy);
  linkSpec kept;
  ASSERT_EQ(link.getLinkSpecifier(&kept), aErrNone);
  EXPECT_EQ(kept.t.ip.ip_port, sim.front.port());

  // A second connect while holding the link.
  EXPECT_EQ(link.connect(), aErrConnection);
}

TEST(LinkConnect, DefaultsAndAnIdleLink) {
  const aWeaveConfig defaults;
  EXPECT_EQ(defaults.enabled, 1);
  EXPECT_EQ(defaults.fallback, 1);
  EXPECT_EQ(defaults.localOnly, 1);
  EXPECT_EQ(defaults.port, 0);
  EXPECT_EQ(defaults.networkInterface, ipv4("127.0.0.1"));

  Link link("idle");
  EXPECT_STREQ(link.getName(), "idle");
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getStatus(), 8);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
  linkSpec spec;
  EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
  EXPECT_EQ(link.connect(), aErrConfiguration);
  uint8_t address = 0x55;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);

  const std::string longName(1500, 'n');
  Link named(longName.c_str());
  EXPECT_EQ(std::string(named.getName()), longName.substr(0, 1024));
}

TEST(LinkConnect, SpecificationsThatCannotBeConnected) {
  struct Row {
    const char* what;
    linkSpec spec;
    aWeaveConfig config;
    aErr expected;
  };
  linkSpec aweave = tcpSpec(ipv4("127.0.0.1"), 1);
  aweave.type = AWEAVE;
  linkSpec unknown = tcpSpec(ipv4("127.0.0.1"), 1);
  unknown.type = 9;
  // Nothing listens on port 1 of this address.
  const linkSpec nobody = tcpSpec(ipv4("127.0.0.3"), 1);
  const Row rows[] = {
      {"aWeave with sharing off", aweave, directConfig(), aErrConfiguration},
      {"a type outside 1..4", unknown, directConfig(), aErrMode},
      {"a creation that fails", nobody, directConfig(), aErrConnection},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Module module(2, static_cast<uint8_t>(0));
    ASSERT_EQ(module.setConfig(row.config), aErrNone);
    EXPECT_EQ(module.connectFromSpec(row.spec), row.expected);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), 8) << "no link is kept";
  }
}

TEST(LinkConnect, ConnectWithSerialNumberZeroSearchesNothing) {
  Module module(2, static_cast<uint8_t>(0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(module.connect(USB, 0), aErrParam);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(LinkConnect, AddressQueryTakesTheFirstEmptyPacketWhateverItsAddress) {
  TcpModule sim;
  Link link(sim.spec(), "Link");
  link.setConfig(directConfig());
  ASSERT_EQ(link.connect(), aErrNone);
  // Once the module has the connection (it read force-route on), it stays
  // silent; another node's empty packet is the only answer.
  ASSERT_TRUE(sim.engine.waitUntil([&] { return sim.engine.forceRoutes().size() == 1; }, 3000));
  sim.engine.setSilent(true);
  sim.engine.injectPacket(SimPacket{0x10, {}});
  uint8_t first = 0;
  ASSERT_EQ(link.getModuleAddress(&first), aErrNone);
  EXPECT_EQ(first, 0x10);
}

}  // namespace
