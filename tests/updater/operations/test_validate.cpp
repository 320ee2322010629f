// _validate_birdfile and _disableWeave against a simulated module over TCP.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/updater/operations/Containers.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "tests/updater/operations/SimModuleFixture.h"
#include "updater/UpdaterInternal.h"

namespace {

using opstest::ContainerShape;
using opstest::identity;
using opstest::OpsDisplay;
using opstest::TcpModule;
using Zeltrova::Tessarine::Module;

constexpr uint32_t kSerial = 0x0000ABCD;

BirdFile load(const ContainerShape& spec) {
  birdgen::Bytes bytes = birdgen::file(opstest::makeContainer(spec));
  BirdFile bird;
  EXPECT_TRUE(bird.LoadData(bytes.data(), bytes.size()));
  return bird;
}

size_t systemRequests(const simmodule::ModuleEngine& engine) {
  size_t n = 0;
  for (const auto& r : engine.received()) n += !r.packet.data.empty() && r.packet.data[0] == 3;
  return n;
}

TEST(ValidateBirdfile, ContainerAndModuleChecks) {
  struct Row {
    const char* what;
    ContainerShape container;
    uint32_t moduleSerial;
    uint8_t moduleModel;
    bool valid;
    bool asksModule;
    std::vector<std::string> errors;
  };
  ContainerShape good;
  ContainerShape empty;
  empty.descriptor = false;
  empty.loaders.clear();
  empty.firmware.clear();
  ContainerShape otherSerial;
  otherSerial.serial = 0x1111;
  ContainerShape genericOtherSerial = otherSerial;
  genericOtherSerial.generic = true;
  ContainerShape noDescriptor;
  noDescriptor.descriptor = false;
  ContainerShape genericNoDescriptor = noDescriptor;
  genericNoDescriptor.generic = true;
  ContainerShape longerModel;
  longerModel.model = "Pandrel-X2";
  ContainerShape otherModel;
  otherModel.model = "Quillet";

  const Row rows[] = {
      {"everything fits", good, kSerial, 4, true, true, {}},
      {"no block at all", empty, kSerial, 4, false, false, {}},
      {"the container names another module", otherSerial, kSerial, 4, false, false, {}},
      {"a generic image fits any serial number", genericOtherSerial, kSerial, 4, true, true, {}},
      {"no descriptor: serial number 0", noDescriptor, kSerial, 4, false, false, {}},
      {"generic without descriptor: no model",
       genericNoDescriptor,
       kSerial,
       4,
       false,
       true,
       {"Connected device model and Bird file model do not match [Pandrel] (0)"}},
      {"the module reports another serial number", good, 0x2222, 4, false, true, {}},
      {"the module's model name begins the container's", longerModel, kSerial, 4, true, true, {}},
      {"another model",
       otherModel,
       kSerial,
       4,
       false,
       true,
       {"Connected device model and Bird file model do not match [Pandrel] (0)"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TcpModule sim(identity(row.moduleSerial, row.moduleModel));
    std::unique_ptr<Module> module = opstest::connectTcp(sim, row.moduleSerial);
    ASSERT_NE(module, nullptr);
    sim.engine.clearRecords();
    BirdFile bird = load(row.container);
    OpsDisplay display;
    EXPECT_EQ(_validate_birdfile(display, bird, *module, kSerial), row.valid);
    EXPECT_EQ(display.errors(), row.errors);
    EXPECT_EQ(systemRequests(sim.engine) > 0, row.asksModule);
  }
}

TEST(DisableWeave, ARunningModuleRefusesTheChange) {
  TcpModule sim(identity(kSerial));
  OpsDisplay display;
  Module idle(2, 0);
  EXPECT_EQ(_disableWeave(idle, display), aErrNone);
  Zeltrova::Tessarine::aWeaveConfig config;
  ASSERT_EQ(idle.getConfig(&config), aErrNone);
  EXPECT_EQ(config.enabled, 0);
  EXPECT_EQ(config.fallback, 0);
  EXPECT_EQ(config.localOnly, 1);
  EXPECT_EQ(config.port, 0);
  EXPECT_TRUE(display.lines.empty());

  std::unique_ptr<Module> running = opstest::connectTcp(sim, kSerial);
  ASSERT_NE(running, nullptr);
  EXPECT_EQ(_disableWeave(*running, display), aErrPermission);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to SET network configuration"});
}

}  // namespace
