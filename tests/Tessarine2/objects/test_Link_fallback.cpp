// Discovery with fallback between USB and aWeave, discovery by model, and
// the paths through module-sharing servers and their clients, with the
// core's discovery and server creation scripted at link time.

#include <gtest/gtest.h>

#include <vector>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LinkImpl.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/LinkWraps.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"

namespace {

using namespace objtest;
using Zeltrova::Tessarine::_fallbackHelper;
using Zeltrova::Tessarine::Link;

constexpr uint32_t kSerial = 0x00C0FFEE;

struct Fallback : ::testing::Test {
  void SetUp() override { resetScript(); }
  void TearDown() override { resetScript(); }

  linkSpec found(linkType type, const linkSpec& base) {
    linkSpec spec = base;
    spec.type = type;
    spec.serial_num = kSerial;
    return spec;
  }
};

TEST(FallbackRule, OnlyNotFoundInitialisationAndConnectionFromUsbOrAweaveWithTheSwitchOn) {
  for (aErr result = 0; result < 40; ++result) {
    for (linkType type = 0; type <= 5; ++type) {
      for (uint8_t on = 0; on <= 1; ++on) {
        const bool retryable = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
        const bool expected = retryable && (type == USB || type == AWEAVE) && on == 1;
        EXPECT_EQ(_fallbackHelper(result, type, on), expected) << result << " " << type << " " << int(on);
      }
    }
  }
}

TEST_F(Fallback, SearchesTheOtherTransportOnceAndOnlyWhenTheRuleSaysSo) {
  TcpModule sim;
  struct Row {
    const char* what;
    linkType type;
    uint8_t enabled;
    uint8_t fallback;
    std::vector<linkType> found;  // types on which the module is found
    linkType foundAs;             // the type of the link record found
    bool serverWorks;             // a USB module behind a local server
    bool clientWorks;             // an aWeave client link
    std::vector<linkType> searched;
    aErr expected;
  };
  const Row rows[] = {
      {"USB not found, then aWeave not found", USB, 1, 1, {}, 0, false, false, {USB, AWEAVE}, aErrNotFound},
      {"USB not found, fallback off", USB, 1, 0, {}, 0, false, false, {USB}, aErrNotFound},
      {"TCP/IP is never retried", TCPIP, 1, 1, {}, 0, false, false, {TCPIP}, aErrNotFound},
      {"serial is never retried", SERIAL, 1, 1, {}, 0, false, false, {SERIAL}, aErrNotFound},
      {"aWeave then USB, no second round", AWEAVE, 1, 1, {}, 0, false, false, {AWEAVE, USB}, aErrNotFound},
      {"USB found but no server: aWeave client instead",
       USB,
       1,
       1,
       {USB, AWEAVE},
       0,
       false,
       true,
       {USB, AWEAVE},
       aErrNone},
      {"aWeave not found: USB behind a local server", AWEAVE, 1, 1, {USB}, 0, true, false, {AWEAVE, USB}, aErrNone},
      {"aWeave refused with sharing off is final",
       AWEAVE,
       0,
       1,
       {AWEAVE},
       0,
       false,
       false,
       {AWEAVE},
       aErrConfiguration},
      {"an unknown type found is final", USB, 1, 1, {USB}, 9, false, false, {USB}, aErrMode},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    resetScript();
    for (linkType type : row.found) {
      script().found[type] = found(row.foundAs == 0 ? type : row.foundAs, sim.spec());
    }
    if (row.serverWorks) {
      script().server = [&] { return aLink_CreateTCPIP(sim.front.address(), sim.front.port()); };
    }
    if (row.clientWorks) {
      script().client = [&] { return aLink_CreateTCPIP(sim.front.address(), sim.front.port()); };
    }
    Link link("Link");
    aWeaveConfig config;
    config.enabled = row.enabled;
    config.fallback = row.fallback;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(row.type, kSerial, 0), row.expected);
    EXPECT_EQ(script().findCalls, row.searched);
    EXPECT_EQ(link.isConnected(), row.expected == aErrNone);
  }
}

TEST_F(Fallback, AUsbModuleGoesThroughALocalServerWhoseAddressIsWrittenBack) {
  TcpModule sim;
  script().found[USB] = found(USB, sim.spec());
  script().server = [&] { return aLink_CreateTCPIP(sim.front.address(), sim.front.port()); };
  script().serverPort = 47001;
  script().serverInterface = ipv4("127.0.0.1");
  Module module(2, static_cast<uint8_t>(0));
  ASSERT_EQ(module.connect(USB, kSerial), aErrNone);
  EXPECT_EQ(script().serverCalls, std::vector<uint32_t>{kSerial});
  aWeaveConfig config;
  ASSERT_EQ(module.getConfig(&config), aErrNone);
  EXPECT_EQ(config.port, 47001);
  EXPECT_EQ(module.getModuleAddress(), kAddress);

  // A module behind it reaches the router through that server: an aWeave
  // link record to the written-back address, joining the router's link.
  Module behind(0x04, false, 0);
  ASSERT_EQ(behind.connectThroughLinkModule(&module), aErrNone);
  ASSERT_EQ(script().clientCalls.size(), 1u);
  EXPECT_EQ(script().clientCalls[0].address, ipv4("127.0.0.1"));
  EXPECT_EQ(script().clientCalls[0].port, 47001);
  EXPECT_NE(script().clientCalls[0].existing, 0);
  linkSpec spec;
  ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, AWEAVE);
  EXPECT_EQ(spec.t.ip.ip_port, 47001u);
  EXPECT_EQ(useCount(script().clientCalls[0].existing), 2);
}

TEST_F(Fallback, SerialNumberZeroTakesTheFirstModuleOfTheModel) {
  TcpModule first("127.0.0.1");
  TcpModule second("127.0.0.2");
  linkSpec a = first.spec();
  a.model = 0x11;
  linkSpec b = second.spec();
  b.model = 0x13;
  script().enumerated = {a, b};
  struct Row {
    uint8_t model;
    uint32_t address;
    aErr expected;
  };
  const Row rows[] = {
      {0, first.front.address(), aErrNone},
      {0x13, second.front.address(), aErrNone},
      {0x42, 0, aErrNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(int(row.model));
    Link link("Link");
    ASSERT_EQ(link.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(TCPIP, 0, row.model), row.expected);
    linkSpec kept;
    if (row.expected == aErrNone) {
      ASSERT_EQ(link.getLinkSpecifier(&kept), aErrNone);
      EXPECT_EQ(kept.t.ip.ip_address, row.address);
      EXPECT_TRUE(link.isConnected());
    } else {
      EXPECT_EQ(link.getLinkSpecifier(&kept), aErrNotFound);
    }
  }
}

TEST_F(Fallback, NoMemoryForTheSearchRecordIsAnError) {
  script().noSpecMemory = true;
  Link link("Link");
  EXPECT_EQ(link.discoverAndConnect(USB, 0, 0x13), aErrMemory);
  EXPECT_TRUE(script().enumerateCalls.empty());
}

TEST_F(Fallback, DiscoveringAgainWhileConnectedKeepsTheLink) {
  TcpModule sim;
  script().found[TCPIP] = found(TCPIP, sim.spec());
  Link link("Link");
  ASSERT_EQ(link.setConfig(directConfig()), aErrNone);
  ASSERT_EQ(link.discoverAndConnect(TCPIP, kSerial, 0), aErrNone);
  EXPECT_EQ(link.discoverAndConnect(TCPIP, kSerial, 0), aErrConnection);
  EXPECT_TRUE(link.isConnected());
}

TEST_F(Fallback, AFailedPutIsReportedAtOnce) {
  TcpModule sim;
  auto module = connectedModule(sim.spec());
  ASSERT_TRUE(module->isConnected());
  setPutFailure(aErrResource);
  const auto start = std::chrono::steady_clock::now();
  const uint8_t data[] = {1, 2};
  EXPECT_EQ(module->getLink()->sendPacket(kAddress, 23, sizeof data, data), aErrResource);
  EXPECT_EQ(module->debug(data, sizeof data), aErrResource);
  EXPECT_EQ(module->hasUEI(3, 9, 0, 0x40), aErrResource);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << "no wait for a reply";
  setPutFailure(aErrNone);
  EXPECT_EQ(module->debug(data, sizeof data), aErrNone);
}

}  // namespace
