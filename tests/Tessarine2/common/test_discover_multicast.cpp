#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <ostream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aMulticast.h"
#include "Tessarine2/common/aNetworkDiscovery.h"
#include "tests/Tessarine2/common/aweave_discovery_support.h"
#include "tests/sim/netdiscovery/MulticastResponder.h"
#include "tests/sim/netdiscovery/PrivateNetworkTest.h"

namespace {

using aweavetest::millisecondsOf;
using aweavetest::Offers;
using netsim::MulticastResponder;
using netsim::PortHolder;
using netsim::PrivateNetwork;
using netsim::ServerIdentity;

using LocalDiscovery = netsim::InPrivateNetwork<PrivateNetwork::Links::LoopbackOnly>;

constexpr uint32_t kLocal = 0;  // interface 0: local multicast discovery

MulticastResponder::Options server(uint32_t serial, uint8_t model = 5, uint16_t port = 50000) {
  MulticastResponder::Options options;
  options.identity.serial = serial;
  options.identity.model = model;
  options.identity.port = port;
  return options;
}

// UDP datagrams this network namespace has sent so far.
long long udpDatagramsSent() {
  std::ifstream snmp("/proc/net/snmp");
  std::string header, values;
  while (std::getline(snmp, header) && std::getline(snmp, values)) {
    if (header.rfind("Udp:", 0) != 0) continue;
    std::istringstream names(header), numbers(values);
    std::string name, number;
    while (names >> name && numbers >> number) {
      if (name == "OutDatagrams") return std::stoll(number);
    }
  }
  return -1;
}

TEST_F(LocalDiscovery, WithoutServersSendsNothing) {
  Offers offers;
  long long before = udpDatagramsSent();
  ASSERT_GE(before, 0);
  uint8_t count = 0;
  long long took = millisecondsOf([&] { count = aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, kLocal); });
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(offers.records.empty());
  EXPECT_EQ(udpDatagramsSent(), before) << "every slot was free: no request goes out";
  EXPECT_LT(took, 1000) << "free slots cost no waiting";

  // The probes let go of every request port.
  for (uint16_t slot = 0; slot < aDISCOVERY_SLOT_COUNT; ++slot) {
    aMulticast* receiver = aMulticast_Create(aDiscovery_Loopback(), aDiscovery_MulticastGroup(),
                                             static_cast<uint16_t>(aDISCOVERY_REQUEST_PORT_BASE + slot),
                                             aMULTICAST_RECEIVER);
    EXPECT_NE(receiver, nullptr) << "slot " << slot;
    aMulticast_Destroy(&receiver);
  }
}

TEST_F(LocalDiscovery, FindsServersInSlotOrderWithTheirSpecs) {
  MulticastResponder first(server(0x12345678, 5, 50000));
  MulticastResponder second(server(0x0BADCAFE, 17, 40001));
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());
  ASSERT_EQ(first.slot(), 0);
  ASSERT_EQ(second.slot(), 1);

  Offers offers;
  EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, aDiscovery_Loopback()), 2);
  ASSERT_EQ(offers.records.size(), 2u);

  // The record the callback sees is the server's answer, byte for byte.
  const uint8_t expected[128] = {0x04, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0x05, 0, 0, 0, 0x7F, 0, 0,    1,    0x50, 0xC3, 0, 0};
  EXPECT_EQ(offers.records[0], std::vector<uint8_t>(expected, expected + 128));

  netsim::SpecFields other = netsim::readNetworkSpec(offers.records[1].data());
  EXPECT_EQ(other.serial, 0x0BADCAFEu);
  EXPECT_EQ(other.model, 17u);
  EXPECT_EQ(other.port, 40001u);
  // And the library's own record reads the same fields.
  linkSpec spec;
  std::memcpy(&spec, offers.records[1].data(), sizeof(spec));
  EXPECT_EQ(spec.type, AWEAVE);
  EXPECT_EQ(spec.serial_num, 0x0BADCAFEu);
  EXPECT_EQ(spec.model, 17u);
  EXPECT_EQ(spec.t.ip.ip_address, aDiscovery_Loopback());
  EXPECT_EQ(spec.t.ip.ip_port, 40001u);

  EXPECT_EQ(first.requests(), 1);
  EXPECT_EQ(second.requests(), 1);
  EXPECT_EQ(first.otherDatagrams() + second.otherDatagrams(), 0) << "the request is exactly the 4-byte magic";
}

struct UnofferedCase {
  const char* name;
  std::function<std::vector<std::unique_ptr<MulticastResponder>>()> makeServers;
  std::function<std::unique_ptr<PortHolder>()> hold = [] { return nullptr; };

void PrintTo(const UnofferedCase& c, std::ostream* os) { *os << c.name; }
};

std::unique_ptr<MulticastResponder> answering(std::vector<uint8_t> answer, uint32_t serial = 0x0000AAAA) {
  MulticastResponder::Options options = server(serial);
  options.answer = std::move(answer);
  return std::make_unique<MulticastResponder>(options);
}

std::vector<uint8_t> specOf(uint32_t serial, std::array<uint8_t, 4> address = {127, 0, 0, 1}) {
  ServerIdentity identity;
  identity.serial = serial;
  identity.model = 5;
  identity.address = address;
  return netsim::makeNetworkSpec(identity);
}

// Each case puts an answer that must not reach the callback in slot 0 and an
// ordinary server (serial 0x0000BBBB) behind it: the scan passes over the
// first and still finds the second.
class LocalDiscoveryIgnores : public netsim::InPrivateNetwork<PrivateNetwork::Links::LoopbackOnly>,
                              public ::testing::WithParamInterface<UnofferedCase> {};

TEST_P(LocalDiscoveryIgnores, AnswerAndGoesOn) {
  std::unique_ptr<PortHolder> holder = GetParam().hold();
  std::vector<std::unique_ptr<MulticastResponder>> servers = GetParam().makeServers();
  for (auto& s : servers) ASSERT_TRUE(s->start());
  MulticastResponder last(server(0x0000BBBB));
  ASSERT_TRUE(last.start());

  Offers offers;
  uint8_t count = aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, kLocal);
  EXPECT_EQ(offers.serials(), std::vector<uint32_t>{0x0000BBBB}) << GetParam().name;
  EXPECT_EQ(count, 1);
  EXPECT_EQ(last.requests(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LocalDiscoveryIgnores,
    ::testing::Values(
        UnofferedCase{"ModelNotLearned",
                      [] {
                        std::vector<std::unique_ptr<MulticastResponder>> s;
                        s.push_back(std::make_unique<MulticastResponder>(server(0x0000AAAA, 0)));
                        return s;
                      }},
        UnofferedCase{"AnotherAddress",
                      [] {
                        std::vector<std::unique_ptr<MulticastResponder>> s;
                        s.push_back(answering(specOf(0x0000AAAA, {10, 77, 0, 1})));
                        return s;
                      }},
        UnofferedCase{"ShortBy1",
                      [] {
                        std::vector<uint8_t> spec = specOf(0x0000AAAA);
                        spec.pop_back();
                        std::vector<std::unique_ptr<MulticastResponder>> s;
                        s.push_back(answering(spec));
                        return s;
                      }},
        UnofferedCase{"LongBy1",
                      [] {
                        std::vector<uint8_t> spec = specOf(0x0000AAAA);
                        spec.push_back(0);
                        std::vector<std::unique_ptr<MulticastResponder>> s;
                        s.push_back(answering(spec));
                        return s;
                      }},
        UnofferedCase{"AnsweringTooLate",
                      [] {
                        MulticastResponder::Options late = server(0x0000AAAA);
                        late.answerDelayMS = 1500;
                        std::vector<std::unique_ptr<MulticastResponder>> s;
                        s.push_back(std::make_unique<MulticastResponder>(late));
                        return s;
                      }},
        UnofferedCase{"SilentHolderOfTheSlot",
                      [] { return std::vector<std::unique_ptr<MulticastResponder>>{}; },
                      [] { return std::make_unique<PortHolder>(aDISCOVERY_REQUEST_PORT_BASE); }},
        // Another client scanning slot 0 holds its reply port.
        UnofferedCase{"ReplyPortBusy",
                      [] {
                        std::vector<std::unique_ptr<MulticastResponder>> s;
                        s.push_back(std::make_unique<MulticastResponder>(server(0x0000AAAA)));
                        return s;
                      },
                      [] { return std::make_unique<PortHolder>(aDISCOVERY_REPLY_PORT_BASE); }}),
    [](const ::testing::TestParamInfo<UnofferedCase>& info) { return std::string(info.param.name); });

TEST_F(LocalDiscovery, SameServerTwiceIsOfferedOnce) {
  MulticastResponder first(server(0x00C0FFEE, 5, 40000));
  MulticastResponder again(server(0x00C0FFEE, 5, 40001));
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(again.start());
  Offers offers;
  EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &offers, kLocal), 1);
  ASSERT_EQ(offers.records.size(), 1u);
  EXPECT_EQ(netsim::readNetworkSpec(offers.records[0].data()).port, 40000u);
}

TEST_F(LocalDiscovery, CallbackDecidesWhatCountsAndWhenToStop) {
  MulticastResponder first(server(0x00000001));
  MulticastResponder second(server(0x00000002));
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());

  Offers stopping;
  stopping.stopAfter = 1;
  EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &stopping, kLocal), 1);
  EXPECT_EQ(stopping.serials(), std::vector<uint32_t>{1});
  EXPECT_EQ(second.requests(), 0) << "the scan ends after the slot whose offer stopped it";

  Offers declining;
  declining.take = false;
  EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(&Offers::callback, &declining, kLocal), 0);
  EXPECT_EQ(declining.serials(), (std::vector<uint32_t>{1, 2})) << "offered, just not taken";
}

TEST_F(LocalDiscovery, NoCallbackFindsNothing) {
  MulticastResponder first(server(0x00000001));
  ASSERT_TRUE(first.start());
  EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(nullptr, nullptr, kLocal), 0);
  EXPECT_EQ(first.requests(), 0);
}

}  // namespace
