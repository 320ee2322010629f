// Update_Firmware and Discover_Devices over USB: the real libusb against
// simulated modules on umockdev's emulated bus. The process also runs in a
// network namespace of its own, so a module not found on USB can never send
// the legacy discovery onto this machine's network.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/sim/module/UpgradeCommand.h"
#include "tests/sim/usb/UsbSimModule.h"
#include "tests/sim/usb/UsbTestbed.h"
#include "tests/sim/TempDir.h"
#include "tests/updater/operations/Containers.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "updater/Updater.h"
#include "updater/firmware/KeyValueStore.h"
#include "tests/updater/operations/PrivateNetworkEnvironment.h"
#include "tests/updater/operations/SimModuleFixture.h"

namespace {

using opstest::ContainerShape;
using opstest::identity;
using opstest::kModuleAddress;
using simmodule::UpgradeCommand;
using testsupport::usb::UsbRestart;
using testsupport::usb::UsbSimModule;
using testsupport::usb::UsbTestbed;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint32_t kBuild = 1234;

// libusb reads the emulated bus once, when its context starts: every test
// adds its devices first and runs in a process of its own (as ctest runs
// them).

// The build goes into the store beforehand and is named to the update, so
// no update server takes part (and no server thread's sockets share file
// descriptor numbers with libudev's, whose directory streams the thread
// sanitizer cannot see being opened under umockdev).
class UsbUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((store + "/0000ABCD").c_str(), 0755), 0);
    dir.write("updater/0000ABCD/1234.bird", opstest::containerBytes(ContainerShape()));
  }
  void TearDown() override {
    updater.reset();
    modules.clear();
  }

  KeyValueStore settings() const {
    KeyValueStore values;
    std::string text = testsupport::readFile(store + "/0000ABCD/.settings");
    values.Parse(text.data(), text.size());
    return values;
  }

  // On the bus under its serial number in eight hexadecimal digits.
  UsbSimModule& add(const simmodule::ModuleIdentity& id, UpgradeCommand::Settings settings = UpgradeCommand::Settings(),
                    UpgradeCommand::Mode mode = UpgradeCommand::Mode::Resident, UsbRestart restart = UsbRestart()) {
    modules.push_back(std::make_unique<UsbSimModule>(bus, id, settings, mode, restart));
    return *modules.back();
  }
  static UsbRestart neverBack() {
    UsbRestart r;
    r.returnAfter.reset();
    return r;
  }

  testsupport::TempDir dir;
  std::string store = dir.path() + "/updater";
  opstest::OpsDisplay display;
  // Nothing listens there; with a build given the update asks no server.
  std::unique_ptr<Updater> updater = std::make_unique<Updater>("http://127.0.0.1:1/cgi/u", store.c_str(), display);
  // The devices' models go with the bus, after the modules.
  UsbTestbed bus;
  std::vector<std::unique_ptr<UsbSimModule>> modules;
};

TEST_F(UsbUpdateTest, AModuleWhoseLoaderTakesOverTheLinkInPlace) {
  UpgradeCommand::Settings inPlace;
  inPlace.load = UpgradeCommand::Load::ReplyAndStay;
  UsbSimModule& module = add(identity(kSerial), inPlace, UpgradeCommand::Mode::Resident, neverBack());

  ASSERT_TRUE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false)) << display.all();
  EXPECT_EQ(module.upgrade().ramBlocks().size(), 1u);
  opstest::expectFirmwareIn(module.upgrade());
  EXPECT_TRUE(module.usb().unplugged()) << "the reboot took the module off the bus";
  EXPECT_STREQ(settings()["LATEST_TRANSFER"], "1234.bird");
  EXPECT_EQ(module.usb().counters().claims, 1);
}

TEST_F(UsbUpdateTest, ALoaderThatComesBackUnderTheDefaultSerialNumber) {
  // The resident firmware restarts without answering the load request and
  // leaves the bus for good; the loader shows up as 0xDEADDEAD.
  UpgradeCommand::Settings resident;
  resident.load = UpgradeCommand::Load::RestartWithoutReply;
  UsbSimModule& firmware = add(identity(kSerial), resident, UpgradeCommand::Mode::Resident, neverBack());
  UsbSimModule& loader = add(identity(kDefaultSerial), UpgradeCommand::Settings(), UpgradeCommand::Mode::Loader);

  ASSERT_TRUE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false)) << display.all();
  EXPECT_EQ(firmware.upgrade().counts().loads, 1);
  EXPECT_EQ(firmware.upgrade().ramBlocks().size(), 1u);
  EXPECT_EQ(firmware.upgrade().flashBytesWritten(), 0u);
  opstest::expectFirmwareIn(loader.upgrade());
}

// The road of a real module: the loader start restarts it, it leaves the
// bus, and it enumerates again as a new device with the same serial number
// while the update keeps looking for it (up to 15 attempts a second apart).
TEST_F(UsbUpdateTest, AModuleThatLeavesTheBusAndComesBackIsUpdated) {
  struct Row {
    const char* what;
    UpgradeCommand::Load load;
    std::chrono::milliseconds away;
  };
  const Row rows[] = {
      {"back after 2 s", UpgradeCommand::Load::ReplyThenRestart, std::chrono::milliseconds(2000)},
      // Most of the attempts find nothing.
      {"back after 12 s", UpgradeCommand::Load::ReplyThenRestart, std::chrono::milliseconds(12000)},
      // The entity's own reconnects run first and find nothing either.
      {"no answer to the load, back after 4 s", UpgradeCommand::Load::RestartWithoutReply,
       std::chrono::milliseconds(4000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    display.lines.clear();
    UpgradeCommand::Settings loads;
    loads.load = row.load;
    UsbRestart restart;
    restart.returnAfter = row.away;
    UsbSimModule& module = add(identity(kSerial), loads, UpgradeCommand::Mode::Resident, restart);
    const int firstAddress = module.usb().deviceNumber();
    const auto start = std::chrono::steady_clock::now();

    ASSERT_TRUE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false)) << display.all();
    EXPECT_GE(std::chrono::steady_clock::now() - start, row.away);
    EXPECT_EQ(module.returns(), 1);
    opstest::expectFirmwareIn(module.upgrade());
    EXPECT_EQ(module.upgrade().counts().writes, 3) << "one write per chunk of each block";
    EXPECT_STREQ(settings()["LATEST_TRANSFER"], "1234.bird");
    EXPECT_TRUE(display.errors().empty()) << display.all();
    // The loader was written through the device that came back.
    EXPECT_NE(module.usb().deviceNumber(), firstAddress);
    EXPECT_EQ(module.usb().counters().claims, 1);
    modules.clear();
    ASSERT_EQ(unlink((store + "/0000ABCD/.settings").c_str()), 0);
  }
}

TEST_F(UsbUpdateTest, AModuleThatNeverComesBackFailsWithinTheAttempts) {
  UsbSimModule& module = add(identity(kSerial), UpgradeCommand::Settings(), UpgradeCommand::Mode::Resident, neverBack());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false));
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // 15 attempts a second apart, each an enumeration of the bus.
  EXPECT_GE(took, 14.0);
  EXPECT_LT(took, 30.0);
  EXPECT_EQ(display.errors(),
            std::vector<std::string>{"Update failed at the reconnect after the loader start: module [0000ABCD] did "
                                     "not come back; it may be in its loader and can be recovered with -t RECOVER"});
  EXPECT_EQ(module.departures(), 1);
  EXPECT_EQ(module.upgrade().counts().loads, 1);
  EXPECT_EQ(module.upgrade().flashBytesWritten(), 0u);
  EXPECT_TRUE(testsupport::readFile(store + "/0000ABCD/.settings").find("LATEST_TRANSFER") == std::string::npos);
}

TEST_F(UsbUpdateTest, DiscoveryListsTheModulesOnTheBus) {
  simmodule::ModuleIdentity id = identity(kSerial, 4, 4711);
  id.version = 0x23000004;
  add(id);
  std::vector<DeviceInfo> found = updater->Discover_Devices(USB);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].spec.type, USB);
  EXPECT_EQ(found[0].spec.serial_num, kSerial);
  EXPECT_EQ(found[0].modelName, "Pandrel");
  EXPECT_EQ(found[0].build, 4711u);
  EXPECT_EQ(found[0].spec.module, kModuleAddress);
  EXPECT_EQ(found[0].error, aErrNone);
}

}  // namespace
