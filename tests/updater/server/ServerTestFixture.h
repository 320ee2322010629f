#ifndef TESTS_UPDATER_SERVER_SERVERTESTFIXTURE_H
#define TESTS_UPDATER_SERVER_SERVERTESTFIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/sim/updateserver/UpdateServerPeer.h"
#include "updater/server/HTTPRequest.h"

namespace servertest {

// libcurl honours proxy variables; a proxy from the environment would carry
// these loopback requests off the machine. Cleared before main, while no
// thread exists.
inline const bool kProxiesCleared = [] {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
  return true;
}();

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint32_t kOldBuild = 1200;
constexpr uint32_t kBuild = 1234;
// Binary, with a zero byte and a length that needs base64 padding.
inline const std::string kContainer = std::string("bird\x00\x01\xff\x80zlib", 12);

inline testsupport::UpdateServerModel testModel() {
  testsupport::UpdateServerModel model;
  model.addBuild(kSerial, kOldBuild, "1.1.0", "old");
  model.addBuild(kSerial, kBuild, "1.2.3", kContainer);
  model.addFingerprint({1, 2, 3, 4}, kSerial, kBuild);
  return model;
}

// Limits short enough that a failing case ends in a second or two: a short
// answer's bound is 2 s, and a transfer below the low-speed floor ends
// after 1 s.
inline HTTPLimits fastLimits() {
  HTTPLimits limits;
  limits.connectTimeoutMS = 1000;
  limits.answerMS = 1000;
  limits.lowSpeedSeconds = 1;
  return limits;
}

// A running peer with the test model and fast limits for every request.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HTTPRequest::SetLimits(fastLimits());
    peer.start();
    url = peer.url();
  }
  void TearDown() override {
    peer.stop();
    HTTPRequest::SetLimits(HTTPLimits());
  }

  testsupport::UpdateServerPeer peer{testModel()};
  std::string url;
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace servertest

#endif
