// Update_Firmware end to end: the simulated update server, the firmware
// store and a simulated module found by legacy discovery and reached over
// TCP, all inside a network namespace of the test's own.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/legacydiscovery/LegacyDiscoveryPeer.h"
#include "tests/sim/module/SimRouter.h"
#include "tests/updater/operations/OpsServerFixture.h"
#include "tests/updater/operations/PrivateNetworkEnvironment.h"
#include "tests/updater/operations/SimModuleFixture.h"
#include "updater/support/Log.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerShape;
using opstest::identity;
using opstest::kBuild;
using opstest::kModuleAddress;
using opstest::kPandrel;
using opstest::kSerial;
using opstest::OpsServerTest;
using opstest::TcpModule;
using simmodule::UpgradeCommand;
using testsupport::legacyAnswer;
using testsupport::LegacyDiscoveryPeer;
using Bytes = std::vector<uint8_t>;

constexpr const char* kEthernet = "10.77.0.1";

class UpdateTest : public OpsServerTest {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    OpsServerTest::SetUp();
  }
  void TearDown() override {
    responder.reset();
    sim.reset();
    OpsServerTest::TearDown();
  }

  // The module on the namespace's Ethernet address, answering discovery.
  void startModule(const simmodule::ModuleIdentity& id,
                   UpgradeCommand::Settings settings = UpgradeCommand::Settings()) {
    sim = std::make_unique<TcpModule>(id, settings, kEthernet);
    responder = std::make_unique<LegacyDiscoveryPeer>(kEthernet, kEthernet,
                                                      legacyAnswer(kModuleAddress, sim->port, id.serial, id.model));
  }

  void storeLatest() { ASSERT_EQ(updater->Download_Firmware(kSerial, "", false, false), kBuild); }

  // The container's images are where they belong in the module.
  // A retried block is prepared again, so its flags are seen twice.
  void expectWritten(const ContainerShape& spec = ContainerShape(), bool retried = false) {
    birdgen::Container c = opstest::makeContainer(spec);
    std::vector<UpgradeCommand::RamBlock> ram = sim->upgrade.ramBlocks();
    size_t loaders = 0;
    std::vector<uint8_t> flags;
    for (const birdgen::Block& b : c.blocks) {
      const uint8_t type = b.header & 0x1F;
      const uint32_t address = (uint32_t(b.payload[0]) << 24) | (uint32_t(b.payload[1]) << 16) |
                               (uint32_t(b.payload[2]) << 8) | b.payload[3];
      const Bytes image(b.payload.begin() + 4, b.payload.end());
      if (type == birdgen::kTypeLoader) {
        ASSERT_LT(loaders, ram.size());
        EXPECT_EQ(ram[loaders].address, address);
        EXPECT_EQ(ram[loaders].bytes, image);
        ++loaders;
      } else if (type == birdgen::kTypeFirmware) {
        EXPECT_EQ(sim->upgrade.flash(address, image.size()), image) << std::hex << address;
        flags.push_back(b.header >> 5);
      }
    }
    EXPECT_EQ(ram.size(), loaders);
    if (!retried) {
      EXPECT_EQ(sim->upgrade.loaderPrepareFlags(), flags);
    }
    EXPECT_EQ(sim->upgrade.counts().reboots, 1);
  }

  bool timeShown() const {
    for (const std::string& line : display.lines) {
      if (line.rfind("I:Update time: ", 0) == 0) return true;
    }
    return false;
  }

  std::unique_ptr<TcpModule> sim;
  std::unique_ptr<LegacyDiscoveryPeer> responder;
};

// --- the road of one update, for each way the module starts its loader ---

class UpdateLoadTest : public UpdateTest, public ::testing::WithParamInterface<UpgradeCommand::Load> {};

TEST_P(UpdateLoadTest, TheLatestStoredBuildIsWrittenAndRecorded) {
  storeLatest();
  UpgradeCommand::Settings moduleSettings;
  moduleSettings.load = GetParam();
  startModule(identity(kSerial), moduleSettings);

  ASSERT_TRUE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false)) << display.all();
  expectWritten();
  EXPECT_EQ(sim->upgrade.mode(), UpgradeCommand::Mode::Resident);
  KeyValueStore values = settings(kSerial);
  EXPECT_STREQ(values["LATEST_TRANSFER"], "1234.bird");
  EXPECT_EQ(values.GetString("LAST_TRANSFER_DATE", "").size(), 24u);
  EXPECT_TRUE(display.has("I:Updating firmware with build: 1234")) << display.all();
  EXPECT_TRUE(display.has("I:Transferring loader block 1 of 1, 64 bytes"));
  EXPECT_TRUE(display.has("I:Transferring firmware block 2 of 2, 81 bytes"));
  EXPECT_TRUE(timeShown());
  EXPECT_TRUE(display.errors().empty()) << display.all();
}

INSTANTIATE_TEST_SUITE_P(Loaders, UpdateLoadTest,
                         ::testing::Values(UpgradeCommand::Load::ReplyThenRestart,
                                           UpgradeCommand::Load::RestartWithoutReply,
                                           UpgradeCommand::Load::ReplyAndStay),
                         [](const ::testing::TestParamInfo<UpgradeCommand::Load>& info) {
                           switch (info.param) {
                             case UpgradeCommand::Load::ReplyThenRestart:
                               return std::string("ReplyThenRestart");
                             case UpgradeCommand::Load::RestartWithoutReply:
                               return std::string("RestartWithoutReply");
                             case UpgradeCommand::Load::ReplyAndStay:
                               break;
                           }
                           return std::string("ReplyAndStay");
                         });

TEST_F(UpdateTest, AFileUpdateOfAModuleWithoutFolderRecordsInANewFolder) {
  ContainerShape generic;
  generic.generic = true;
  generic.serial = 0;
  const std::string path = dir.write("generic.bird", containerBytes(generic));
  startModule(identity(kSerial));

  ASSERT_TRUE(updater->Update_Firmware(kSerial, 777, path, 0, 0, false)) << display.all();
  EXPECT_TRUE(display.has("I:Updating from Birdfile: " + path));
  // The serial number went into the image, little-endian at image byte 16,
  // and as UTF-16 text at image byte 32.
  const Bytes word = sim->upgrade.flash(0x00010010, 4);
  EXPECT_EQ(word, (Bytes{0xCD, 0xAB, 0x00, 0x00}));
  const Bytes text = sim->upgrade.flash(0x00010020, 16);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(text[2 * i], uint8_t("0000ABCD"[i])) << i;
  EXPECT_STREQ(settings(kSerial)["LATEST_TRANSFER"], path.c_str());
}

// The one error line of a failed update: the step it stopped at, and once
// the loader runs, how the module is got back.
constexpr const char* kInLoader = "; the module may be in its loader and can be recovered with -t RECOVER";
constexpr const char* kUnchanged = "; the module's firmware is unchanged";

// What the diagnostic log writes with no component selected (-X absent).
class LogCapture {
 public:
  LogCapture() : file_(std::tmpfile()), mask_(Log::package_bitmask), previous_(Log::fh) {
    Log::package_bitmask = 0;
    Log::SetOutput(file_);
  }
  ~LogCapture() {
    Log::SetOutput(previous_);
    Log::package_bitmask = mask_;
    if (file_ != nullptr) std::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() const {
    if (file_ == nullptr) return "(no log file)";
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buffer[512];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  FILE* file_;
  uint32_t mask_;
  FILE* previous_;
};

bool oneErrorLine(const opstest::OpsDisplay& display, const std::string& begins, const std::string& ends) {
  const std::vector<std::string> errors = display.errors();
  return errors.size() == 1 && errors[0].rfind(begins, 0) == 0 && errors[0].size() >= ends.size() &&
         errors[0].compare(errors[0].size() - ends.size(), ends.size(), ends) == 0;
}

TEST_F(UpdateTest, FaultsOfTheModule) {
  struct Row {
    const char* what;
    UpgradeCommand::Faults faults;
    bool updated;
    const char* begins;  // the error line, when the update fails
    const char* ends;
  };
  UpgradeCommand::Faults badSum;
  badSum.badLoaderSums = 1;
  UpgradeCommand::Faults badLoaderImage;
  badLoaderImage.badSums = 1;
  UpgradeCommand::Faults shortInit;
  shortInit.shortInitReply = true;
  UpgradeCommand::Faults loaderRefuses;
  loaderRefuses.refuseLoaderPrepare = true;
  UpgradeCommand::Faults drops;
  drops.dropAfterLoaderPieces = 3;
  UpgradeCommand::Faults writesFail;
  writesFail.failWrites = true;
  const Row rows[] = {
      {"the loader init is answered short", shortInit, false,
       "Update failed at the loader init [24, aErrPacket]: the init answer held 5 bytes, too few for a load base",
       kUnchanged},
      // A loader image with a block that did not arrive whole is not started.
      {"a bad loader sum", badLoaderImage, false,
       "Update failed at loader block 1 of 1 [29, aErrInvalidOption]: the module's sum of the block is ", kUnchanged},
      {"the loader refuses a block: no retry", loaderRefuses, false,
       "Update failed at firmware block 1 of 2 [29, aErrInvalidOption]: the module refused to prepare the block "
       "(status 1)",
       kInLoader},
      // Some of the block was written before the link went.
      {"the link drops during a block", drops, false, "Update failed at firmware block 1 of 2 [", kInLoader},
      {"every write of a block fails", writesFail, false,
       "Update failed at firmware block 1 of 2 [29, aErrInvalidOption]: the loader refused to write the block "
       "(status 1)",
       kInLoader},
      // Last: it records the transfer.
      {"a bad firmware sum is retried", badSum, true, "", ""},
  };
  storeLatest();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    display.lines.clear();
    startModule(identity(kSerial));
    sim->upgrade.setFaults(row.faults);
    // The error line is the failure's one line: nothing reaches the log
    // when -X selects nothing, however often a block was tried.
    const LogCapture log;
    EXPECT_EQ(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false), row.updated) << display.all();
    EXPECT_EQ(log.text(), "");
    if (row.updated) {
      EXPECT_TRUE(display.has("I:  Retry 1")) << display.all();
      EXPECT_TRUE(display.errors().empty()) << display.all();
      expectWritten(ContainerShape(), true);
    } else {
      EXPECT_TRUE(oneErrorLine(display, row.begins, row.ends)) << display.all();
      // No summary claims blocks that did not go through.
      EXPECT_FALSE(display.has("I:Transferred 0 blocks, 0 total bytes")) << display.all();
      EXPECT_EQ(sim->upgrade.counts().reboots, 0);
      EXPECT_EQ(settings(kSerial)["LATEST_TRANSFER"], nullptr);
    }
    responder.reset();
    sim.reset();
  }
}

// The module takes every block but keeps its link after the reboot
// request: it did not restart, so the update is not known to have taken.
TEST_F(UpdateTest, AModuleThatDoesNotRestartAfterTheRebootFailsTheUpdate) {
  storeLatest();
  startModule(identity(kSerial));
  UpgradeCommand::Faults stays;
  stays.keepLinkOnReboot = true;
  sim->upgrade.setFaults(stays);
  EXPECT_FALSE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false));
  EXPECT_TRUE(oneErrorLine(display,
                           "Update failed at reboot [18, aErrTimeout]: the module kept its link for 30 s after the "
                           "reboot request: it did not restart",
                           kInLoader))
      << display.all();
  EXPECT_EQ(sim->upgrade.counts().reboots, 1);
  EXPECT_EQ(settings(kSerial)["LATEST_TRANSFER"], nullptr);
}

TEST_F(UpdateTest, AGenericImageWhoseSerialNumberCannotBePlacedIsNotSent) {
  ContainerShape generic;
  generic.generic = true;
  birdgen::Container c = opstest::makeContainer(generic);
  // Offsets outside every firmware image.
  c.blocks.back() = birdgen::serialOffsets(0x00090000, 0x00090010);
  const birdgen::Bytes bytes = birdgen::file(c);
  const std::string path = dir.write("misplaced.bird", std::string(bytes.begin(), bytes.end()));
  startModule(identity(kSerial));
  EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, path, 0, 0, false));
  EXPECT_EQ(display.errors(), std::vector<std::string>{
                                  "Could not put serial number [0000ABCD] into the firmware image; nothing was sent"});
  EXPECT_EQ(sim->upgrade.counts().inits, 0);
}

// A restarting module over TCP/IP: its port refuses connections for a
// while, then accepts them again at the same address.
TEST_F(UpdateTest, AModuleWhosePortRefusesForAWhileAfterItsLoaderStarts) {
  struct Row {
    const char* what;
    std::chrono::milliseconds refusal;
    bool updated;
  };
  const Row rows[] = {
      // Longer than the reconnect keeps trying (15 attempts a second apart).
      {"not back in time", std::chrono::milliseconds(60000), false},
      // Last: it records the transfer.
      {"back after three seconds", std::chrono::milliseconds(3000), true},
  };
  storeLatest();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    display.lines.clear();
    startModule(identity(kSerial));
    sim->refuseAfterRestart(row.refusal);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false), row.updated) << display.all();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (row.updated) {
      expectWritten();
      EXPECT_GE(sim->relistened(), 1);
      EXPECT_GE(took, 3.0) << "the first attempts were refused";
      EXPECT_STREQ(settings(kSerial)["LATEST_TRANSFER"], "1234.bird");
      EXPECT_TRUE(display.errors().empty()) << display.all();
    } else {
      EXPECT_TRUE(oneErrorLine(display, "Update failed at the reconnect after the loader start: module [0000ABCD]",
                               "can be recovered with -t RECOVER"))
          << display.all();
      EXPECT_LT(took, 40.0);
      EXPECT_EQ(sim->upgrade.counts().writes, 0);
      EXPECT_EQ(settings(kSerial)["LATEST_TRANSFER"], nullptr);
    }
    responder.reset();
    sim.reset();
  }
}

// Over TCP/IP the module is looked for again at the address it was found
// at, which binds no module: whoever answers there after the loader start
// must report the serial number the update was validated for, or the
// default one a recovery loader reports.
TEST_F(UpdateTest, WhoAnswersAfterTheLoaderStartMustBeTheModuleValidated) {
  struct Row {
    const char* what;
    uint32_t comesBackAs;
    bool updated;
  };
  const Row rows[] = {
      {"another module", 0x11112222, false},
      // Last: it records the transfer.
      {"the loader under the default serial number", kDefaultSerial, true},
  };
  storeLatest();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    display.lines.clear();
    startModule(identity(kSerial));
    sim->comeBackAs(row.comesBackAs);
    EXPECT_EQ(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false), row.updated) << display.all();
    if (row.updated) {
      expectWritten();
      EXPECT_STREQ(settings(kSerial)["LATEST_TRANSFER"], "1234.bird");
      EXPECT_TRUE(display.errors().empty()) << display.all();
    } else {
      EXPECT_TRUE(oneErrorLine(display,
                               std::string("Update failed at the reconnect after the loader start: the module at ") +
                                   kEthernet + ":" + std::to_string(sim->port) +
                                   " reports serial number [11112222], not [0000ABCD]; nothing was written to it",
                               "can be recovered with -t RECOVER"))
          << display.all();
      // No firmware request reached it.
      EXPECT_TRUE(sim->upgrade.loaderPrepareFlags().empty());
      EXPECT_EQ(sim->upgrade.counts().writes, 0);
      EXPECT_EQ(sim->upgrade.flashBytesWritten(), 0u);
      EXPECT_EQ(sim->upgrade.counts().reboots, 0);
      EXPECT_EQ(settings(kSerial)["LATEST_TRANSFER"], nullptr);
    }
    responder.reset();
    sim.reset();
  }
}

TEST_F(UpdateTest, AModuleThatDoesNotFitTheContainerIsLeftAlone) {
  storeLatest();
  const std::string stored = deviceDir(kSerial) + "/1234.bird";
  struct Row {
    const char* what;
    simmodule::ModuleIdentity module;
    std::vector<std::string> errors;
  };
  const Row rows[] = {
      {"another model", identity(kSerial, 13),
       {"Connected device model and Bird file model do not match [Ravosk] (0)",
        "Birdfile failed validation: " + stored + " is for model Pandrel, the module is a Ravosk"}},
      // Found by the serial number it announces, but reports another one.
      {"another serial number", identity(0x00001111),
       {"Birdfile failed validation: the module reports serial number 00001111, not 0000ABCD"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    display.lines.clear();
    startModule(row.module);
    responder.reset();
    responder = std::make_unique<LegacyDiscoveryPeer>(
        kEthernet, kEthernet, legacyAnswer(kModuleAddress, sim->port, kSerial, row.module.model));

    EXPECT_FALSE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false));
    EXPECT_EQ(display.errors(), row.errors) << display.all();
    EXPECT_EQ(sim->upgrade.counts().inits, 0);
    // The override writes it all the same.
    display.lines.clear();
    EXPECT_TRUE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, true)) << display.all();
    EXPECT_EQ(sim->upgrade.counts().reboots, 1);
    responder.reset();
    sim.reset();
  }
}

TEST_F(UpdateTest, NoModuleAnywhere) {
  storeLatest();
  EXPECT_FALSE(updater->Update_Firmware(kSerial, kBuild, "", 0, 0, false));
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to connect to module [0000ABCD]"});
}

// --- choosing the build: no module is reached in these ---

TEST_F(UpdateTest, BuildChoice) {
  // Nothing stored, the server's latest not stored: no build at all.
  EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
  EXPECT_EQ(display.lines, (std::vector<std::string>{
                               "I:New firmware is available.  Updater will proceed if valid firmware is found locally.",
                               "E:Could not find valid build for this device."}));

  // A recorded download stands in for the server's latest.
  ASSERT_EQ(updater->Download_Firmware(kSerial, "1200", false, false), 1200u);
  display.lines.clear();
  EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
  EXPECT_TRUE(display.has("I:Updating with the Latest Download")) << display.all();
  EXPECT_TRUE(display.has("I:Updating firmware with build: 1200"));

  // A build given by the caller is not looked for on the server, and an
  // update never downloads.
  peer.clearRequests();
  display.lines.clear();
  EXPECT_FALSE(updater->Update_Firmware(kSerial, 999, "", 0, 0, false));
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to load bird file: " + deviceDir(kSerial) +
                                                       "/999.bird: No such file or directory"});
  EXPECT_TRUE(peer.requests().empty());

  EXPECT_FALSE(updater->Update_Firmware(0, 0, "", 0, 0, false));
  EXPECT_EQ(display.errors().back(), "Update command must specify the specific device");
}

TEST_F(UpdateTest, ARecordedTransferIsUsedByItsLeadingDigits) {
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deviceDir(kSerial).c_str(), 0755), 0);
  dir.write("updater/0000ABCD/.settings", "LATEST_TRANSFER=1234.bird\n");
  // The server names no build.
  testsupport::UpdateServerFaults noLatest;
  noLatest.onlyOp = "qu";
  noLatest.body = "fail\n";
  peer.setFaults(noLatest);
  EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
  EXPECT_TRUE(display.has("I:Updating with the Latest Transfer")) << display.all();
  EXPECT_TRUE(display.has("I:Updating firmware with build: 1234"));

  // A transfer recorded from a file path names no build.
  dir.write("updater/0000ABCD/.settings", "LATEST_TRANSFER=/tmp/x/1234.bird\n");
  display.lines.clear();
  EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Could not find valid build for this device."});
}

// --- through a router ----------------------------------------------------

constexpr uint32_t kRouterSerial = 0xD272031D;
constexpr uint8_t kTargetAddress = 0x10;

// A router module on the network with the target behind it on its I2C bus.
struct RoutedModules {
  explicit RoutedModules()
      : router(engine, routerIdentity(), false), target(router.addModule(kTargetAddress, identity(kSerial))),
        upgrade(engine, kTargetAddress, behindRouter()) {
    target.setBuild(kBuild);
    front = std::make_unique<simmodule::TcpFront>(engine, 0, kEthernet);
    responder = std::make_unique<LegacyDiscoveryPeer>(kEthernet, kEthernet,
                                                      legacyAnswer(kModuleAddress, front->port(), kRouterSerial, 13));
  }
  ~RoutedModules() {
    responder.reset();
    front.reset();
  }
  static simmodule::ModuleIdentity routerIdentity() { return identity(kRouterSerial, 13); }
  static UpgradeCommand::Settings behindRouter() {
    UpgradeCommand::Settings s;
    s.dropLinkOnRestart = false;
    return s;
  }

  simmodule::ModuleEngine engine{kModuleAddress};
  simmodule::SimRouter router;
  simmodule::UeiTable& target;
  UpgradeCommand upgrade;
  std::unique_ptr<simmodule::TcpFront> front;
  std::unique_ptr<LegacyDiscoveryPeer> responder;
};

TEST_F(UpdateTest, AModuleBehindARouterIsUpdatedThroughTheRoutersLink) {
  storeLatest();
  RoutedModules modules;
  ASSERT_TRUE(updater->Update_Firmware(kSerial, 0, "", 0, kRouterSerial, false)) << display.all();
  birdgen::Container c = opstest::makeContainer(ContainerShape());
  EXPECT_EQ(modules.upgrade.flash(0x00010000, 300), Bytes(c.blocks[2].payload.begin() + 4, c.blocks[2].payload.end()));
  EXPECT_EQ(modules.upgrade.counts().reboots, 1);
  EXPECT_STREQ(settings(kSerial)["LATEST_TRANSFER"], "1234.bird");

  // A serial number that is not behind the router.
  display.lines.clear();
  const std::string stored = deviceDir(kSerial) + "/1234.bird";
  EXPECT_FALSE(updater->Update_Firmware(0x00005555, 0, stored, 0, kRouterSerial, true));
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Module address required for indirect firmware update, "
                                                      "could not find serial number [0x00005555] on network"});
}

}  // namespace
