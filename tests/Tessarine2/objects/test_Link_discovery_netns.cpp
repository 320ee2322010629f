// Finding a network module by legacy UDP discovery and connecting to it.
// The discovery multicasts, so every test runs in a network namespace of
// its own with one Ethernet link (10.77.0.1), where the module listens.

#include <gtest/gtest.h>

#include <memory>

#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"
#include "tests/sim/legacydiscovery/LegacyDiscoveryPeer.h"
#include "tests/sim/netdiscovery/PrivateNetworkTest.h"

namespace {

using namespace objtest;
using testsupport::legacyAnswer;
using testsupport::LegacyDiscoveryPeer;

constexpr uint32_t kSerial = 0x0BADF00D;
constexpr uint8_t kModel = 0x13;

class NetworkModule : public netsim::InPrivateNetwork<netsim::PrivateNetwork::Links::WithEthernet> {
 protected:
  void SetUp() override {
    InPrivateNetwork::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    ModuleIdentity identity;
    identity.serial = kSerial;
    identity.model = kModel;
    const char* ethernet = netsim::PrivateNetwork::ethernetAddressText();
    sim = std::make_unique<TcpModule>(ethernet, kAddress, identity);
    responder = std::make_unique<LegacyDiscoveryPeer>(ethernet, ethernet,
                                                      legacyAnswer(kAddress, sim->front.port(), kSerial, kModel));
  }
  void TearDown() override {
    responder.reset();
    sim.reset();
  }

  std::unique_ptr<TcpModule> sim;
  std::unique_ptr<LegacyDiscoveryPeer> responder;
};

TEST_F(NetworkModule, FoundBySerialNumberAndConnected) {
  Module module(2, static_cast<uint8_t>(0));
  module.setConfig(directConfig());
  ASSERT_EQ(module.connect(TCPIP, kSerial), aErrNone);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), kAddress);
  EXPECT_GE(responder->requests(), 1);
  linkSpec spec;
  ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, TCPIP);
  EXPECT_EQ(spec.serial_num, kSerial);
  EXPECT_EQ(spec.model, kModel);
  EXPECT_EQ(spec.t.ip.ip_address, netsim::PrivateNetwork::ethernetAddress());
  EXPECT_EQ(spec.t.ip.ip_port, sim->front.port());
}

TEST_F(NetworkModule, FoundByModelOrNotAtAll) {
  struct Row {
    const char* what;
    uint32_t serial;
    uint8_t model;
    aErr result;
  };
  const Row rows[] = {
      {"any model", 0, 0, aErrNone},
      {"its model", 0, kModel, aErrNone},
      {"another model", 0, 0x42, aErrNotFound},
      {"another serial number; TCP/IP has no fallback", kSerial + 1, 0, aErrNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Module module(2, row.model);
    aWeaveConfig config;  // fallback on: TCP/IP is not retried anyway
    config.enabled = 0;
    module.setConfig(config);
    EXPECT_EQ(module.discoverAndConnect(TCPIP, row.serial), row.result);
    EXPECT_EQ(module.isConnected(), row.result == aErrNone);
  }
}

}  // namespace
