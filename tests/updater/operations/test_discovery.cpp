// Discover_Devices and Discover_TNNetwork_Devices against simulated modules
// found by legacy discovery, inside a network namespace of the test's own.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "Tessarine2/common/aVersion.h"
#include "tests/sim/legacydiscovery/LegacyDiscoveryPeer.h"
#include "tests/sim/module/SimRouter.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "tests/updater/operations/PrivateNetworkEnvironment.h"
#include "tests/updater/operations/SimModuleFixture.h"
#include "updater/Updater.h"

namespace {

using opstest::identity;
using opstest::kModuleAddress;
using opstest::OpsDisplay;
using opstest::TcpModule;
using simmodule::SimPacket;
using testsupport::legacyAnswer;
using testsupport::LegacyDiscoveryPeer;

constexpr const char* kEthernet = "10.77.0.1";
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint32_t kBuild = 4711;
constexpr uint32_t kVersion = 0x23000004;  // 2.3.4, legacy layout

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_PRIVATE_NETWORK(); }

  void startModule(uint32_t serial = kSerial) {
    simmodule::ModuleIdentity id = identity(serial, 13, kBuild);
    id.version = kVersion;
    sim = std::make_unique<TcpModule>(id, simmodule::UpgradeCommand::Settings(), kEthernet);
    responder = std::make_unique<LegacyDiscoveryPeer>(kEthernet, kEthernet,
                                                      legacyAnswer(kModuleAddress, sim->port, serial, 13));
  }

  OpsDisplay display;
  Updater updater{"http://127.0.0.1:1/cgi/u", "/nonexistent", display};
  std::unique_ptr<TcpModule> sim;
  std::unique_ptr<LegacyDiscoveryPeer> responder;
};

TEST_F(DiscoveryTest, AModuleOnTheNetworkIsListedWithWhatItReports) {
  startModule();
  std::vector<DeviceInfo> found = updater.Discover_Devices(TCPIP);
  ASSERT_EQ(found.size(), 1u);
  const DeviceInfo& d = found[0];
  EXPECT_EQ(d.spec.type, TCPIP);
  EXPECT_EQ(d.spec.serial_num, kSerial);
  EXPECT_EQ(d.spec.model, 13u);
  EXPECT_EQ(d.modelName, "Ravosk");
  EXPECT_EQ(d.spec.t.ip.ip_address, netsim::PrivateNetwork::ethernetAddress());
  EXPECT_EQ(d.spec.t.ip.ip_port, sim->port);
  EXPECT_EQ(d.build, kBuild);
  EXPECT_EQ(d.major, 2u);
  EXPECT_EQ(d.minor, 3u);
  EXPECT_EQ(d.patch, 4u);
  EXPECT_EQ(d.spec.module, kModuleAddress);
  EXPECT_EQ(d.error, aErrNone);
  EXPECT_TRUE(display.lines.empty()) << display.all();
}

TEST_F(DiscoveryTest, UsbDiscoveryNeverTouchesTheNetwork) {
  startModule();
  EXPECT_TRUE(updater.Discover_Devices(USB).empty());
  EXPECT_EQ(responder->requests(), 0);
}

TEST_F(DiscoveryTest, BuildRepliesOfAnotherLengthGiveBuildZero) {
  startModule();
  for (size_t length : {5u, 7u}) {
    SCOPED_TRACE(length);
    sim->engine.setHandler(kModuleAddress, 73, [length](const SimPacket& request) {
      SimPacket reply{request.address, {73, 0xFF, 0, 0, 0x12, 0x67, 0}};
      reply.data.resize(length);
      return std::vector<SimPacket>{reply};
    });
    std::vector<DeviceInfo> found = updater.Discover_Devices(TCPIP);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].build, 0u);
    EXPECT_EQ(found[0].error, aErrNone);
    EXPECT_EQ(found[0].major, 2u);
  }
}

TEST_F(DiscoveryTest, AFailedAddressQueryKeepsTheVersionAndTheDiscoveredAddresses) {
  startModule();
  sim->table.setError(3, 0, 1, 13);
  std::vector<DeviceInfo> found = updater.Discover_Devices(TCPIP);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].error, 13);
  EXPECT_EQ(found[0].major, 2u);
  EXPECT_EQ(found[0].build, kBuild);
  EXPECT_EQ(found[0].spec.module, kModuleAddress) << "as the discovery answer gave it";
}

// --- behind a router -----------------------------------------------------

constexpr uint32_t kRouterSerial = 0xD272031D;

struct Router {
  Router() : router(engine, identity(kRouterSerial, 13), false) {
    for (uint8_t address : {0x20, 0x10}) {
      simmodule::ModuleIdentity id = identity(0x2181F000u + address, 5, 100u + address);
      id.version = kVersion;
      router.addModule(address, id).setBuild(100u + address);
    }
    // A device that acknowledges on an odd address is never probed.
    router.bus().addDevice(0x31);
    front = std::make_unique<simmodule::TcpFront>(engine, 0, kEthernet);
    responder = std::make_unique<LegacyDiscoveryPeer>(kEthernet, kEthernet,
                                                      legacyAnswer(kModuleAddress, front->port(), kRouterSerial, 13));
  }
  ~Router() {
    responder.reset();
    front.reset();
  }

  simmodule::ModuleEngine engine{kModuleAddress};
  simmodule::SimRouter router;
  std::unique_ptr<simmodule::TcpFront> front;
  std::unique_ptr<LegacyDiscoveryPeer> responder;
};

TEST_F(DiscoveryTest, ModulesBehindARouterAreFoundByProbingItsBus) {
  Router net;
  std::vector<DeviceInfo> found = updater.Discover_TNNetwork_Devices(kRouterSerial, 0);
  ASSERT_EQ(found.size(), 2u) << display.all();
  for (size_t i = 0; i < 2; ++i) {
    const DeviceInfo& d = found[i];
    const uint8_t address = i == 0 ? 0x10 : 0x20;
    SCOPED_TRACE(address);
    EXPECT_EQ(d.address, address);
    EXPECT_EQ(d.spec.type, TCPIP);
    EXPECT_EQ(d.spec.serial_num, 0x2181F000u + address);
    EXPECT_EQ(d.spec.router_serial_num, kRouterSerial);
    EXPECT_EQ(d.spec.router, kModuleAddress);
    EXPECT_EQ(d.spec.module, address);
    EXPECT_EQ(d.spec.model, 5u);
    EXPECT_EQ(d.modelName, "Quillet");
    EXPECT_EQ(d.build, 100u + address);
    EXPECT_EQ(d.error, aErrNone);
    // Reached through the router: its address and port.
    EXPECT_EQ(d.spec.t.ip.ip_address, netsim::PrivateNetwork::ethernetAddress());
    EXPECT_EQ(d.spec.t.ip.ip_port, net.front->port());
  }

  // Even addresses 2 to 252 but the router's own, with speed 3.
  std::vector<simmodule::I2CBus::Transfer> probes = net.router.bus().transfers();
  ASSERT_EQ(probes.size(), 125u);
  for (const auto& probe : probes) {
    EXPECT_EQ(probe.busAddress % 2, 0);
    EXPECT_NE(probe.busAddress, kModuleAddress);
    EXPECT_EQ(probe.speed, 3);
  }
  EXPECT_FALSE(net.router.routing()) << "the router routes to the host no longer";
}

TEST_F(DiscoveryTest, AnUnknownRouterGivesNothing) {
  Router net;
  EXPECT_TRUE(updater.Discover_TNNetwork_Devices(0x0BADBAD0, TCPIP).empty());
  EXPECT_TRUE(display.lines.empty());
}

TEST_F(DiscoveryTest, ARouterThatWillNotRouteGivesNothing) {
  Router net;
  net.router.table().setError(3, 0, 20, 12);
  EXPECT_TRUE(updater.Discover_TNNetwork_Devices(kRouterSerial, TCPIP).empty());
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Error 12 on route to me"});
  EXPECT_TRUE(net.router.bus().transfers().empty());
}

}  // namespace
