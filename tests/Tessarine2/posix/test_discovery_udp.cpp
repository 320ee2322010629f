// Legacy UDP discovery (the TCPIP branch of module enumeration) against
// simulated modules. It multicasts on every interface: each test first
// moves its process into a network namespace of its own and refuses to go
// on unless it is there; the modules sit in a second namespace behind a
// veth pair.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "tests/sim/legacydiscovery/LegacyDiscoveryPeer.h"
#include "tests/sim/legacydiscovery/ModuleNetwork.h"

namespace {

using std::chrono::milliseconds;
using testsupport::legacyAnswer;
using testsupport::LegacyDiscoveryPeer;
using testsupport::ModuleNetwork;

constexpr const char* kModuleA = "10.78.0.2";
constexpr const char* kModuleB = "10.78.0.3";

int64_t msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
}

uint32_t address(const char* text) {
  in_addr value{};
  inet_pton(AF_INET, text, &value);
  return value.s_addr;
}

struct Offered {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;  // 0: never
};

bool collect(const linkSpec* spec, bool* taken, void* reference) {
  Offered* offered = static_cast<Offered*>(reference);
  offered->specs.push_back(*spec);
  *taken = true;
  return offered->stopAfter == 0 || offered->specs.size() < offered->stopAfter;
}

// The record an answer gives.
linkSpec expectedSpec(const LegacyDiscoveryPeer::Answer& a, const char* from, uint32_t model) {
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serial_num = a.serial;
  spec.module = a.moduleAddress;
  spec.router = a.moduleAddress;
  spec.router_serial_num = a.serial;
  spec.model = model;
  spec.t.ip.ip_address = address(from);
  spec.t.ip.ip_port = a.port;
  return spec;
}

bool sameSpec(const linkSpec& a, const linkSpec& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class LegacyDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testsupport::enterOwnNetwork(), "") << "cannot make a private network namespace";
    ASSERT_TRUE(testsupport::inOwnNetwork()) << "refusing to multicast on the machine's own network";
  }

  void TearDown() override {
    if (network_) {
      network_->inModules([this] { peers_.clear(); });
    }
  }

  // The modules' namespace with both module addresses and those the
  // modules answer from, and peers in it.
  void addModules(const std::vector<std::pair<std::string, LegacyDiscoveryPeer::Answer>>& modules) {
    std::vector<std::string> addresses{kModuleA, kModuleB};
    for (const auto& module : modules) {
      if (std::find(addresses.begin(), addresses.end(), module.first) == addresses.end()) {
        addresses.push_back(module.first);
      }
    }
    network_ = std::make_unique<ModuleNetwork>(addresses);
    network_->inModules([&] {
      for (const auto& [from, a] : modules) {
        peers_.push_back(std::make_unique<LegacyDiscoveryPeer>(kModuleA, from, a));
      }
    });
  }

  std::unique_ptr<ModuleNetwork> network_;
  std::vector<std::unique_ptr<LegacyDiscoveryPeer>> peers_;
};

TEST_F(LegacyDiscovery, OnlyLoopbackSendsNoRequestAndReturnsAtOnce) {
  Offered offered;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), 0);
  EXPECT_LT(msSince(start), 500) << "no 2 s wait for answers";
  EXPECT_TRUE(offered.specs.empty());
  uint32_t interfaces[4];
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(interfaces, 4), 0u);
}

TEST_F(LegacyDiscovery, TwoModulesAnswerWithTheirAddressPortSerialAndModel) {
  const auto a = legacyAnswer(0x06, 8000, 0x11111111, 4);
  const auto b = legacyAnswer(0x0A, 0x2F1B, 0xA2B3C4D5, 0x13);
  addModules({{kModuleA, a}, {kModuleB, b}});
  Offered offered;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), 2);
  // It ends when no answer came for 2 s.
  int64_t took = msSince(start);
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 3000);
  ASSERT_EQ(offered.specs.size(), 2u);
  const linkSpec wantA = expectedSpec(a, kModuleA, 4);
  const linkSpec wantB = expectedSpec(b, kModuleB, 0x13);
  EXPECT_TRUE((sameSpec(offered.specs[0], wantA) && sameSpec(offered.specs[1], wantB)) ||
              (sameSpec(offered.specs[0], wantB) && sameSpec(offered.specs[1], wantA)));
  // One well-formed request reached each module.
  for (const auto& peer : peers_) {
    EXPECT_EQ(peer->requests(), 1);
    EXPECT_EQ(peer->otherDatagrams(), 0);
  }
}

TEST_F(LegacyDiscovery, ShortAndGarbageDatagramsAreNoAnswers) {
  auto a = legacyAnswer(0x06, 8000, 0x11111111, 4);
  LegacyDiscoveryPeer::Answer garbage = a;
  garbage.port = 1;
  std::string oddAddress = testsupport::legacyAnswerBytes(garbage);
  oddAddress[1] = 0x07;
  std::string zeroAddress = oddAddress;
  zeroAddress[1] = 0;
  std::string noPort = testsupport::legacyAnswerBytes(garbage);
  noPort[2] = noPort[3] = 0;
  a.before = {std::string(7, '\x55'), oddAddress, zeroAddress, noPort, std::string()};
  // An answer of 12 bytes carries no model; it inherits nothing from the
  // datagram before it.
  auto b = legacyAnswer(0x0A, 8001, 0x22222222, 0x13);
  b.length = 12;
  b.before = {std::string(16, '\x77')};
  addModules({{kModuleA, a}, {kModuleB, b}});
  Offered offered;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), 2);
  ASSERT_EQ(offered.specs.size(), 2u);
  for (const linkSpec& spec : offered.specs) {
    if (spec.serial_num == 0x22222222) {
      EXPECT_TRUE(sameSpec(spec, expectedSpec(b, kModuleB, 0xFF)));
    } else {
      EXPECT_TRUE(sameSpec(spec, expectedSpec(a, kModuleA, 4)));
    }
  }
}

TEST_F(LegacyDiscovery, CallbackThatStopsEndsAtOnce) {
  addModules({{kModuleA, legacyAnswer(0x06, 8000, 1, 4)}, {kModuleB, legacyAnswer(0x08, 8001, 2, 4)}});
  Offered offered;
  offered.stopAfter = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), 1);
  EXPECT_LT(msSince(start), 1000);
  EXPECT_EQ(offered.specs.size(), 1u);
}

TEST_F(LegacyDiscovery, ModuleAnsweringOnAndOnIsOfferedEachTime) {
  auto a = legacyAnswer(0x06, 8000, 0x11111111, 4);
  a.repeats = 3;
  addModules({{kModuleA, a}});
  Offered offered;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), 3);
  EXPECT_EQ(offered.specs.size(), 3u);
}

TEST_F(LegacyDiscovery, SlowTrainOfFiftyModulesIsFoundWhole) {
  // Fifty modules, each answering 150 ms after the one before: the last
  // answers more than 7 s after the request, yet no gap reaches 2 s.
  constexpr int kModules = 50;
  constexpr int kGapMS = 150;
  std::vector<std::pair<std::string, LegacyDiscoveryPeer::Answer>> modules;
  for (int i = 0; i < kModules; ++i) {
    auto a = legacyAnswer(static_cast<uint8_t>(2 * (i + 1)), static_cast<uint16_t>(8000 + i), 0x5000 + i, 4);
    a.delayMS = kGapMS * i;
    modules.emplace_back("10.78.0." + std::to_string(10 + i), a);
  }
  addModules(modules);
  Offered offered;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), kModules);
  EXPECT_GE(msSince(start), kGapMS * (kModules - 1) + 1900) << "ends only after 2 s without an answer";
  std::set<uint32_t> serials;
  for (const linkSpec& spec : offered.specs) {
    serials.insert(spec.serial_num);
    const int i = static_cast<int>(spec.serial_num - 0x5000);
    ASSERT_TRUE(i >= 0 && i < kModules) << std::hex << spec.serial_num;
    EXPECT_TRUE(sameSpec(spec, expectedSpec(modules[i].second, modules[i].first.c_str(), 4)));
  }
  EXPECT_EQ(serials.size(), static_cast<size_t>(kModules));
}

// Datagrams to the requester's reply port, one every period from a module
// address, until stopped.
class Chatter {
 public:
  Chatter(ModuleNetwork& network, std::string datagram, milliseconds period = milliseconds(100)) {
    // Started on the modules' thread: the sending thread lives there.
    network.inModules([&] { thread_ = std::thread([this, datagram, period] { chatter(datagram, period); }); });
  }
  ~Chatter() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  int sent() const { return sent_.load(); }

 private:
  void chatter(const std::string& datagram, milliseconds period) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, period, [this] { return stop_; })) {
      if (testsupport::sendToReplyPort(kModuleB, ModuleNetwork::kHostAddress, datagram)) {
        ++sent_;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::atomic<int> sent_{0};
  std::thread thread_;
};

TEST_F(LegacyDiscovery, FloodOfAnswersEndsAfterAsManyAsTheCountHolds) {
  addModules({{kModuleA, legacyAnswer(0x06, 8000, 0x11111111, 4)}});
  Chatter flood(*network_, testsupport::legacyAnswerBytes(legacyAnswer(0x08, 8001, 0x33333333, 4)),
                milliseconds(1));
  Offered offered;
  auto start = std::chrono::steady_clock::now();
  // 255 taken, not a count that wrapped past 255 to a small number.
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), 255);
  EXPECT_LT(msSince(start), 10000) << "a flood at a datagram per millisecond ends on the count";
  EXPECT_EQ(offered.specs.size(), 255u);
}

TEST_F(LegacyDiscovery, AnswersTricklingInEndAtTheOverallLimit) {
  // One answer every 500 ms never leaves 2 s of silence and stays far below
  // the count: only the overall limit ends it.
  addModules({{kModuleA, legacyAnswer(0x06, 8000, 0x11111111, 4)}});
  Chatter trickle(*network_, testsupport::legacyAnswerBytes(legacyAnswer(0x08, 8001, 0x33333333, 4)),
                  milliseconds(500));
  Offered offered;
  auto start = std::chrono::steady_clock::now();
  aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0);
  int64_t took = msSince(start);
  EXPECT_GE(took, 29900);
  EXPECT_LT(took, 32000);
  EXPECT_GT(offered.specs.size(), 20u);
  EXPECT_LT(offered.specs.size(), 255u);
}

TEST_F(LegacyDiscovery, GarbageDoesNotExtendTheWait) {
  addModules({{kModuleA, legacyAnswer(0x06, 8000, 0x11111111, 4)}});
  Chatter chatter(*network_, std::string(16, '\x01'));
  Offered offered;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &offered, 0), 1);
  int64_t took = msSince(start);
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 2800);
  EXPECT_GT(chatter.sent(), 10);
}

TEST_F(LegacyDiscovery, FindModuleBySerialNumberAndTheInterfaceList) {
  const auto b = legacyAnswer(0x0A, 8001, 0x22222222, 0x13);
  addModules({{kModuleA, legacyAnswer(0x06, 8000, 0x11111111, 4)}, {kModuleB, b}});
  linkSpec* found = aDiscovery_FindModule(TCPIP, 0x22222222, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_TRUE(sameSpec(*found, expectedSpec(b, kModuleB, 0x13)));
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x0BADBEEF, 0), nullptr);

  uint32_t interfaces[4] = {};
  ASSERT_EQ(aDiscovery_GetIPv4Interfaces(interfaces, 4), 1u);
  EXPECT_EQ(interfaces[0], address(ModuleNetwork::kHostAddress));
  char text[16];
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(interfaces[0], text, sizeof text), 9u);
  EXPECT_STREQ(text, ModuleNetwork::kHostAddress);
}

}  // namespace
