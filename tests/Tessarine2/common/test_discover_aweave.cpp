#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <ostream>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aNetworkDiscovery.h"
#include "Tessarine2/common/zBeaconInterface.h"
#include "tests/Tessarine2/common/aweave_discovery_support.h"
#include "tests/sim/netdiscovery/BeaconResponder.h"
#include "tests/sim/netdiscovery/MulticastResponder.h"
#include "tests/sim/netdiscovery/PrivateNetworkTest.h"

namespace {

using aweavetest::Offers;
using netsim::BeaconResponder;
using netsim::MulticastResponder;
using netsim::PrivateNetwork;

constexpr uint32_t kBeaconServer = 0x000000BE;
constexpr uint32_t kLocalServer = 0x0000010C;

template <typename Responder>
typename Responder::Options server(uint32_t serial) {
  typename Responder::Options options;
  options.identity.serial = serial;
  options.identity.model = 9;
  return options;
}

struct RouteCase {
  const char* name;
  PrivateNetwork::Links links;
  uint32_t networkInterface;
  uint32_t expectedSerial;
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }

// A beacon server and a local server run side by side; the interface asked
// for and the machine's interfaces decide which of them the discovery finds.
class DiscoveryRoute : public ::testing::TestWithParam<RouteCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(testsupport::enterOwnNetwork(), "");
    ASSERT_EQ(PrivateNetwork::useLinks(GetParam().links), "");
    ASSERT_TRUE(testsupport::inOwnNetwork()) << "refusing to send anything on the machine's own network";
    // The simulated beacon server binds the first interface, CZMQ's default.
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    zBeaconInterface_unlock();
  }
};

TEST_P(DiscoveryRoute, ChoosesTheMechanism) {
  const RouteCase& c = GetParam();
  MulticastResponder local(server<MulticastResponder>(kLocalServer));
  ASSERT_TRUE(local.start());
  std::unique_ptr<BeaconResponder> beacon;
  if (c.links == PrivateNetwork::Links::WithEthernet) {
    beacon = std::make_unique<BeaconResponder>(server<BeaconResponder>(kBeaconServer));
    ASSERT_TRUE(beacon->start());
  }

  Offers offers;
  EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, c.networkInterface), 1) << c.name;
  EXPECT_EQ(offers.serials(), std::vector<uint32_t>{c.expectedSerial}) << c.name;

  // The generic enumeration hands the aWeave type to the same discovery.
  Offers again;
  EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, &Offers::callback, &again, c.networkInterface), 1) << c.name;
  EXPECT_EQ(again.serials(), std::vector<uint32_t>{c.expectedSerial}) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, DiscoveryRoute,
    ::testing::Values(
        RouteCase{"AnyInterfaceMeansLocal", PrivateNetwork::Links::WithEthernet, 0, kLocalServer},
        RouteCase{"LoopbackMeansLocal", PrivateNetwork::Links::WithEthernet, aDiscovery_Loopback(), kLocalServer},
        RouteCase{"RealInterfaceMeansBeacon", PrivateNetwork::Links::WithEthernet, PrivateNetwork::ethernetAddress(),
                  kBeaconServer},
        RouteCase{"NoIPv4InterfaceMeansLocal", PrivateNetwork::Links::LoopbackOnly, PrivateNetwork::ethernetAddress(),
                  kLocalServer}),
    [](const ::testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

}  // namespace
