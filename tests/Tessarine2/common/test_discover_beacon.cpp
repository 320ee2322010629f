#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <ostream>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/zBeaconInterface.h"
#include "tests/Tessarine2/common/aweave_discovery_support.h"
#include "tests/sim/netdiscovery/BeaconResponder.h"
#include "tests/sim/netdiscovery/PrivateNetworkTest.h"

namespace {

using namespace std::chrono_literals;
using aweavetest::millisecondsOf;
using aweavetest::Offers;
using netsim::BeaconResponder;
using netsim::PrivateNetwork;

// The simulated servers' beacon actors take CZMQ's interface setting as it
// stands; every test starts from the default, the first interface.
void useFirstInterface() {
  ASSERT_TRUE(zBeaconInterface_setAndLock(""));
  zBeaconInterface_unlock();
}

class BeaconDiscovery : public netsim::InPrivateNetwork<PrivateNetwork::Links::WithEthernet> {
 protected:
  void SetUp() override {
    InPrivateNetwork::SetUp();
    if (!HasFatalFailure()) useFirstInterface();
  }
};

BeaconResponder::Options server(uint32_t serial, uint8_t model = 7, uint16_t port = 45000) {
  BeaconResponder::Options options;
  options.identity.serial = serial;
  options.identity.model = model;
  options.identity.port = port;
  return options;
}

uint8_t discoverOnEthernet(Offers& offers) {
  return aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, PrivateNetwork::ethernetAddress());
}

TEST_F(BeaconDiscovery, FindsServerOnTheInterfaceWithItsSpec) {
  BeaconResponder responder(server(0x12345678, 7, 45000));
  ASSERT_TRUE(responder.start());
  ASSERT_EQ(responder.hostname(), PrivateNetwork::ethernetAddressText());

  ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
  zBeaconInterface_unlock();
  Offers offers;
  std::string interfaceDuringRun;
  offers.during = [&] { interfaceDuringRun = zBeaconInterface_get(); };
  uint8_t count = 0;
  long long took = millisecondsOf([&] { count = discoverOnEthernet(offers); });

  EXPECT_EQ(count, 1);
  ASSERT_EQ(offers.records.size(), 1u);
  netsim::SpecFields spec = netsim::readNetworkSpec(offers.records[0].data());
  EXPECT_EQ(spec.type, 4u);
  EXPECT_EQ(spec.serial, 0x12345678u);
  EXPECT_EQ(spec.model, 7u);
  EXPECT_EQ(spec.address, (std::array<uint8_t, 4>{10, 77, 0, 1}));
  EXPECT_EQ(spec.port, 45000u);
  EXPECT_TRUE(spec.reservedZero);
  EXPECT_GE(responder.beaconsHeard(), 1);

  EXPECT_EQ(interfaceDuringRun, PrivateNetwork::ethernetAddressText());
  EXPECT_EQ(zBeaconInterface_get(), "*") << "the interface setting is put back";
  EXPECT_GE(took, 2000) << "answers are collected for about 2.2 s";
  EXPECT_LT(took, 4000);
}

struct UnofferedCase {
  const char* name;
  std::function<std::vector<BeaconResponder::Options>()> servers;
};

void PrintTo(const UnofferedCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> specOf(uint32_t serial, size_t size) {
  netsim::ServerIdentity identity;
  identity.serial = serial;
  identity.model = 7;
  identity.address = {10, 77, 0, 1};
  std::vector<uint8_t> spec = netsim::makeNetworkSpec(identity);
  spec.resize(size, 0);
  return spec;
}

// Each case runs answers that must not reach the callback beside an
// ordinary server (serial 0x0000BBBB), which is found all the same.
class BeaconDiscoveryIgnores : public BeaconDiscovery, public ::testing::WithParamInterface<UnofferedCase> {};

TEST_P(BeaconDiscoveryIgnores, AnswerAndFindsTheOthers) {
  std::vector<std::unique_ptr<BeaconResponder>> responders;
  for (const BeaconResponder::Options& options : GetParam().servers()) {
    responders.push_back(std::make_unique<BeaconResponder>(options));
  }
  responders.push_back(std::make_unique<BeaconResponder>(server(0x0000BBBB)));
  for (auto& responder : responders) ASSERT_TRUE(responder->start());

  Offers offers;
  uint8_t count = discoverOnEthernet(offers);
  std::vector<uint32_t> serials = offers.serials();
  EXPECT_EQ(std::count(serials.begin(), serials.end(), 0x0000BBBBu), 1) << GetParam().name;
  EXPECT_EQ(std::count(serials.begin(), serials.end(), 0x0000AAAAu), GetParam().name == std::string("SameSerialTwice"))
      << GetParam().name;
  EXPECT_EQ(count, serials.size());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BeaconDiscoveryIgnores,
    ::testing::Values(UnofferedCase{"ModelNotLearned", [] { return std::vector<BeaconResponder::Options>{server(0x0000AAAA, 0)}; }},
                      UnofferedCase{"ShortBy1",
                                    [] {
                                      BeaconResponder::Options o = server(0x0000AAAA);
                                      o.answer = specOf(0x0000AAAA, 127);
                                      return std::vector<BeaconResponder::Options>{o};
                                    }},
                      UnofferedCase{"LongBy1",
                                    [] {
                                      BeaconResponder::Options o = server(0x0000AAAA);
                                      o.answer = specOf(0x0000AAAA, 129);
                                      return std::vector<BeaconResponder::Options>{o};
                                    }},
                      // Offered once, although both keep publishing.
                      UnofferedCase{"SameSerialTwice",
                                    [] {
                                      return std::vector<BeaconResponder::Options>{server(0x0000AAAA, 7, 1),
                                                                                   server(0x0000AAAA, 7, 2)};
                                    }}),
    [](const ::testing::TestParamInfo<UnofferedCase>& info) { return std::string(info.param.name); });

TEST_F(BeaconDiscovery, CallbackThatStopsEndsTheRun) {
  BeaconResponder first(server(0x00000001));
  BeaconResponder second(server(0x00000002));
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());
  Offers offers;
  offers.stopAfter = 1;
  uint8_t count = 0;
  long long took = millisecondsOf([&] { count = discoverOnEthernet(offers); });
  EXPECT_EQ(count, 1);
  EXPECT_EQ(offers.records.size(), 1u);
  EXPECT_LT(took, 2000);
}

TEST_F(BeaconDiscovery, BusyNetworkDoesNotCutTheCollectionShort) {
  // One server repeats its record every 5 ms; another starts answering only
  // after 800 ms. Counting heard beacons instead of time would end the run
  // long before the slow one speaks.
  BeaconResponder::Options chatty = server(0x00000001);
  chatty.publishIntervalMS = 5;
  BeaconResponder::Options slow = server(0x00000002);
  slow.publishDelayMS = 800;
  BeaconResponder first(chatty);
  BeaconResponder second(slow);
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());

  Offers offers;
  EXPECT_EQ(discoverOnEthernet(offers), 2);
  EXPECT_EQ(offers.serials(), (std::vector<uint32_t>{1, 2}));
}

TEST_F(BeaconDiscovery, InterfaceNotOnThisMachineFindsNothingAtOnce) {
  BeaconResponder responder(server(0x00000001));
  ASSERT_TRUE(responder.start());

  Offers offers;
  in_addr elsewhere{};
  inet_pton(AF_INET, "10.99.0.1", &elsewhere);
  uint8_t count = 0;
  long long took = millisecondsOf(
      [&] { count = aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, elsewhere.s_addr); });
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(offers.records.empty());
  EXPECT_LT(took, 1000);
  EXPECT_EQ(zBeaconInterface_get(), "");
  // The lock was let go.
  ASSERT_TRUE(zBeaconInterface_setAndLock(""));
  zBeaconInterface_unlock();
}

TEST_F(BeaconDiscovery, InterfaceStaysLockedForTheWholeRun) {
  BeaconResponder responder(server(0x00000001));
  ASSERT_TRUE(responder.start());

  std::promise<void> gotLock;
  std::future<void> gotLockSeen = gotLock.get_future();
  std::future<void> other;
  bool secondLockRefused = false;
  bool otherWaited = false;
  Offers offers;
  offers.during = [&] {
    // A callback cannot start beacon discovery or a server of its own: the
    // lock is taken, not waited for.
    secondLockRefused = !zBeaconInterface_setAndLock("");
    other = std::async(std::launch::async, [&gotLock] {
      if (zBeaconInterface_setAndLock("*")) {
        gotLock.set_value();
        zBeaconInterface_unlock();
      }
    });
    otherWaited = gotLockSeen.wait_for(200ms) == std::future_status::timeout;
  };
  EXPECT_EQ(discoverOnEthernet(offers), 1);
  EXPECT_TRUE(secondLockRefused);
  EXPECT_TRUE(otherWaited) << "another thread could change the interface under the beacon";
  ASSERT_TRUE(other.valid());
  EXPECT_EQ(gotLockSeen.wait_for(5s), std::future_status::ready);
  other.get();
}

}  // namespace
