// Discovery answers of the module-sharing server: local multicast for a
// loopback-only server, beacon answers for a server on a real interface.
// Every test process first moves into a network namespace of its own and
// refuses to go on while it shares the machine's network namespace.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aServer_ZeroMQ.h"
#include "tests/Tessarine2/common/aweave_discovery_support.h"
#include "tests/Tessarine2/common/test_aServer_support.h"
#include "tests/sim/netdiscovery/PrivateNetworkTest.h"

namespace {

using namespace servertest;
using aweavetest::Offers;
using netsim::PrivateNetwork;

using LocalDiscovery = netsim::InPrivateNetwork<PrivateNetwork::Links::LoopbackOnly>;
using BeaconDiscovery = netsim::InPrivateNetwork<PrivateNetwork::Links::WithEthernet>;

uint8_t discover(Offers& offers, uint32_t networkInterface) {
  return aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, networkInterface);
}

// A server on a TCP link to a module, made by the test (so its model can
// be set by hand).
struct ManualServer {
  explicit ManualServer(bool localOnly, uint32_t networkInterface = 0) {
    link = module.open();
    server = aServer_Create(link, networkInterface, localOnly);
    started = server != nullptr ? aServer_Start(server) : aErrParam;
  }
  ~ManualServer() {
    aServer_Destroy(&server);
    aLink_Destroy(&link);
  }
  uint16_t port() {
    uint16_t value = 0;
    aServer_GetPort(server, &value);
    return value;
  }
  linktest::TcpModule module;
  linkID link = 0;
  aServer* server = nullptr;
  aErr started = aErrUnknown;
};

TEST_F(LocalDiscovery, ALocalServerIsFoundWithItsSpecAndCanBeReached) {
  SharedModule shared;
  ASSERT_TRUE(shared.open(true));
  Offers offers;
  EXPECT_EQ(discover(offers, 0), 1);
  ASSERT_EQ(offers.records.size(), 1u);
  const netsim::SpecFields spec = netsim::readNetworkSpec(offers.records[0].data());
  EXPECT_EQ(spec.type, 4u);
  EXPECT_EQ(spec.serial, shared.module.serial);
  EXPECT_EQ(spec.model, kModel);
  EXPECT_EQ(spec.address, (std::array<uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(spec.port, shared.port);
  EXPECT_EQ(spec.moduleAddress, 0u);
  EXPECT_TRUE(spec.reservedZero);

  linkSpec found;
  memcpy(&found, offers.records[0].data(), sizeof found);
  linkID client = aLink_CreateClient(found.t.ip.ip_address, static_cast<uint16_t>(found.t.ip.ip_port), 0);
  ASSERT_NE(client, 0);
  EXPECT_TRUE(linktest::echo(client, {1, 2}));
  aLink_Destroy(&client);
}

TEST_F(LocalDiscovery, NoAnswerUntilTheModelIsKnown) {
  ManualServer served(true);
  ASSERT_EQ(served.started, aErrNone);
  Offers before;
  EXPECT_EQ(discover(before, 0), 0);
  EXPECT_TRUE(before.records.empty());

  aServer_SetModel(served.server, 5);
  Offers after;
  EXPECT_EQ(discover(after, 0), 1);
  ASSERT_EQ(after.records.size(), 1u);
  const netsim::SpecFields spec = netsim::readNetworkSpec(after.records[0].data());
  EXPECT_EQ(spec.model, 5u);
  EXPECT_EQ(spec.port, served.port());
}

TEST_F(LocalDiscovery, TwoServersTakeTwoSlotsAndAreBothFound) {
  SharedModule first(0);
  SharedModule second(1);
  ASSERT_TRUE(first.open(true));
  ASSERT_TRUE(second.open(true));
  Offers offers;
  auto took = aweavetest::millisecondsOf([&] { EXPECT_EQ(discover(offers, 0), 2); });
  std::vector<uint32_t> serials = offers.serials();
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<uint32_t>{first.module.serial, second.module.serial}));
  EXPECT_LT(took, 1500) << "each server answers as soon as it is asked";
}

TEST_F(LocalDiscovery, WithoutIPv4InterfacesEveryServerIsLocal) {
  ManualServer served(false);
  ASSERT_EQ(served.started, aErrNone);
  uint32_t networkInterface = 0;
  aServer_GetInterface(served.server, &networkInterface);
  EXPECT_EQ(networkInterface, loopback());
  aServer_SetModel(served.server, 7);
  Offers offers;
  EXPECT_EQ(discover(offers, 0), 1);
}

TEST_F(LocalDiscovery, AServerOnAnAddressOfNoInterfaceDoesNotStart) {
  in_addr foreign{};
  inet_pton(AF_INET, "192.0.2.1", &foreign);  // TEST-NET-1: on no interface here
  ManualServer served(false, foreign.s_addr);
  EXPECT_EQ(served.started, aErrResource);
  EXPECT_TRUE(linktest::echo(served.link, {1})) << "the link is untouched";
}

TEST_F(BeaconDiscovery, AServerOnTheInterfaceAnswersBeaconsAndIsReachedThere) {
  SharedModule shared;
  ASSERT_TRUE(shared.open(false, 0));
  EXPECT_EQ(shared.networkInterface, PrivateNetwork::ethernetAddress())
      << "interface 0 becomes the first IPv4 interface";

  Offers offers;
  EXPECT_EQ(discover(offers, PrivateNetwork::ethernetAddress()), 1);
  ASSERT_EQ(offers.records.size(), 1u);
  const netsim::SpecFields spec = netsim::readNetworkSpec(offers.records[0].data());
  EXPECT_EQ(spec.type, 4u);
  EXPECT_EQ(spec.serial, shared.module.serial);
  EXPECT_EQ(spec.model, kModel);
  EXPECT_EQ(spec.address, (std::array<uint8_t, 4>{10, 77, 0, 1}));
  EXPECT_EQ(spec.port, shared.port);

  linkID client = aLink_CreateClient(PrivateNetwork::ethernetAddress(), static_cast<uint16_t>(spec.port), 0);
  ASSERT_NE(client, 0);
  EXPECT_TRUE(linktest::echo(client, {3}));
  aLink_Destroy(&client);

  Offers local;
  EXPECT_EQ(discover(local, 0), 0) << "a server on a real interface does not answer local multicast";
}

TEST_F(BeaconDiscovery, BeaconsAreAnsweredOnlyOnceTheModelIsKnown) {
  ManualServer served(false);
  ASSERT_EQ(served.started, aErrNone);
  Offers before;
  EXPECT_EQ(discover(before, PrivateNetwork::ethernetAddress()), 0);

  aServer_SetModel(served.server, 9);
  Offers after;
  EXPECT_EQ(discover(after, PrivateNetwork::ethernetAddress()), 1);
  ASSERT_EQ(after.records.size(), 1u);
  EXPECT_EQ(netsim::readNetworkSpec(after.records[0].data()).model, 9u);
  EXPECT_EQ(netsim::readNetworkSpec(after.records[0].data()).port, served.port());
}

TEST_F(BeaconDiscovery, ALocalOnlyServerAnswersOnlyLocalMulticast) {
  SharedModule shared;
  ASSERT_TRUE(shared.open(true));
  EXPECT_EQ(shared.networkInterface, loopback());
  Offers beacon;
  EXPECT_EQ(discover(beacon, PrivateNetwork::ethernetAddress()), 0);
  Offers local;
  EXPECT_EQ(discover(local, 0), 1);
  ASSERT_EQ(local.records.size(), 1u);
  EXPECT_EQ(netsim::readNetworkSpec(local.records[0].data()).address, (std::array<uint8_t, 4>{127, 0, 0, 1}));
}

}  // namespace
