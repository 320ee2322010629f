#ifndef TESTS_UPDATER_OPERATIONS_OPSSERVERFIXTURE_H
#define TESTS_UPDATER_OPERATIONS_OPSSERVERFIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/sim/TempDir.h"
#include "tests/sim/updateserver/UpdateServerPeer.h"
#include "tests/updater/operations/Containers.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "tests/updater/server/ServerTestFixture.h"
#include "updater/Updater.h"
#include "updater/firmware/KeyValueStore.h"

namespace opstest {

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint32_t kOldBuild = 1200;
constexpr uint32_t kBuild = 1234;
// A module whose server build 77 is no container at all.
constexpr uint32_t kJunkSerial = 0x0BAD0001;

inline testsupport::UpdateServerModel opsModel() {
  testsupport::UpdateServerModel model;
  ContainerShape old;
  old.build = kOldBuild;
  model.addBuild(kSerial, kOldBuild, "1.1.0", containerBytes(old));
  ContainerShape latest;
  model.addBuild(kSerial, kBuild, "1.2.3", containerBytes(latest));
  model.addBuild(kJunkSerial, 77, "0.0.1", "this is not a bird");
  model.addFingerprint({1, 2, 3, 4}, kSerial, kOldBuild);
  return model;
}

// An Updater on a fresh store, against the simulated update server.
class OpsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HTTPRequest::SetLimits(servertest::fastLimits());
    peer.start();
    updater = std::make_unique<Updater>(peer.url().c_str(), store.c_str(), display);
  }
  void TearDown() override {
    updater.reset();
    peer.stop();
    HTTPRequest::SetLimits(HTTPLimits());
  }

  std::string deviceDir(uint32_t serial) const { return store + "/" + hex8(serial); }
  std::string storedFile(uint32_t serial, const std::string& name) const {
    return testsupport::readFile(deviceDir(serial) + "/" + name);
  }
  KeyValueStore settings(uint32_t serial) const {
    KeyValueStore values;
    std::string text = storedFile(serial, ".settings");
    values.Parse(text.data(), text.size());
    return values;
  }
  // Requests of the op that reached the server.
  size_t requestsOf(const std::string& op) const {
    size_t n = 0;
    for (const testsupport::RecordedRequest& r : peer.requests()) n += r.op == op;
    return n;
  }

  testsupport::TempDir dir;
  std::string store = dir.path() + "/updater";
  testsupport::UpdateServerPeer peer{opsModel()};
  OpsDisplay display;
  std::unique_ptr<Updater> updater;
};

}  // namespace opstest

#endif
