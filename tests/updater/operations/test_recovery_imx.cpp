// Get_Fingerprint and Recover_Firmware against the simulated i.MX RT boot
// ROM, on a pseudo-terminal and as the emulated USB HID device 1FC9:0130.
// The ROM's jump starts a simulated module that runs the recovery loader on
// umockdev's emulated USB bus, where the real libusb finds it. The HID
// device and the bus share one umockdev testbed: a process sees only one.
// The program runs itself under umockdev's preload library. Recovery and
// fingerprint look for modules on USB only; nothing multicasts.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/sim/bird/BirdGenerator.h"
#include "tests/sim/bootrom/ImxSdpHidDevice.h"
#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/bootrom/ImxSdpSerialPeer.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/UeiTable.h"
#include "tests/sim/module/UpgradeCommand.h"
#include "tests/sim/updateserver/UpdateServerPeer.h"
#include "tests/sim/usb/UmockdevPreload.h"
#include "tests/sim/usb/UsbSimModule.h"
#include "tests/sim/usb/UsbTestbed.h"
#include "tests/updater/operations/Containers.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "tests/updater/operations/RecoveryImages.h"
#include "tests/updater/operations/SimModuleFixture.h"
#include "tests/updater/server/ServerTestFixture.h"
#include "updater/Updater.h"
#include "updater/firmware/KeyValueStore.h"
#include "updater/firmware/UpdaterStore.h"

namespace {

using opstest::ContainerShape;
using simmodule::UpgradeCommand;
using testsupport::usb::UsbSimModule;
using testsupport::usb::UsbTestbed;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint32_t kBuild = 1234;
constexpr uint32_t kLoaderBuild = 55;
constexpr uint64_t kFuseId = 0x0123456789ABCDEFull;
// Option 39 subindexes 0 to 3 of the module the loader presents.
constexpr std::array<uint32_t, 4> kUniqueId = {0xA0A0A0A0, 0xB1B1B1B1, 0xC2C2C2C2, 0xD3D3D3D3};
// The fingerprint: subindex i in word 3 - i.
const birdgen::Fingerprint kImxChip = {0xD3D3D3D3, 0xC2C2C2C2, 0xB1B1B1B1, 0xA0A0A0A0};

using birdgen::withVectorTable;

// Both blocks can be started: A at the default start, B at its own.
constexpr uint32_t kLoaderStart = 0x20200000;
const Bytes kLoaderA = withVectorTable(birdgen::pattern(2500, 31), 0x20000000, 0x20000400);
const Bytes kLoaderB = withVectorTable(birdgen::pattern(100, 32), kLoaderStart, kLoaderStart);

// A loader container's first block: the descriptor every loader here carries.
birdgen::Container withLoaderDescriptor() {
  birdgen::Container c;
  birdgen::Descriptor d;
  d.build = std::to_string(kLoaderBuild);
  d.version = "9.9.9";
  d.serial = opstest::hex8(kDefaultSerial);
  d.model = "Pandrel";
  c.blocks.push_back(birdgen::descriptor(d));
  return c;
}

// The recovery loader as the store or the server holds it: two loader
// blocks (DTCM and OCRAM) and, optionally, where to start.
std::string loaderContainer(bool withStart, bool withBlocks = true) {
  birdgen::Container c = withLoaderDescriptor();
  if (withBlocks) {
    c.blocks.push_back(birdgen::loader(0x20000000, kLoaderA));
    c.blocks.push_back(birdgen::loader(0x20200000, kLoaderB));
  }
  if (withStart) c.blocks.push_back(birdgen::loaderStart(kLoaderStart));
  return opstest::bytesOf(c);
}

std::string firmwareContainer(bool generic = false) {
  ContainerShape spec;
  spec.generic = generic;
  return opstest::containerBytes(spec);
}

testsupport::UpdateServerModel imxModel(bool generic = false) {
  testsupport::UpdateServerModel model;
  model.addBuild(kDefaultSerial, kLoaderBuild, "9.9.9", loaderContainer(false));
  model.addBuild(kSerial, kBuild, "1.2.3", firmwareContainer(generic));
  model.addFingerprint(kImxChip, kSerial, kBuild);
  return model;
}

// The module that the recovery loader runs: on the emulated bus under its
// serial number, with the system entity and the upgrade command in loader
// mode.
simmodule::ModuleIdentity loaderIdentity(uint32_t serial) {
  simmodule::ModuleIdentity id = opstest::identity(serial);
  id.uniqueId = kUniqueId;
  return id;
}

class ImxRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::usb::umockdevPreloaded()) << "umockdev's preload library is missing";
    HTTPRequest::SetLimits(servertest::fastLimits());
    server.start();
    updater = std::make_unique<Updater>(server.url().c_str(), store.c_str(), display);
    // libusb reads the bus when it first starts, which is after the jump:
    // the module is there by then, as a real loader would be.
    rom.setOnJump([this](uint32_t) {
      std::lock_guard<std::mutex> hold(busMutex);
      if (loaderSerial == 0) return;
      loader = std::make_unique<UsbSimModule>(bus, loaderIdentity(loaderSerial), UpgradeCommand::Settings(),
                                              UpgradeCommand::Mode::Loader);
      if (configureLoader) configureLoader(*loader);
    });
  }
  void TearDown() override {
    updater.reset();
    serial.reset();
    hid.reset();
    {
      std::lock_guard<std::mutex> hold(busMutex);
      loader.reset();
    }
    server.stop();
    HTTPRequest::SetLimits(HTTPLimits());
  }

  // The ROM on a pseudo-terminal, or as the HID device on the bus.
  void onSerialPort() {
    serial = std::make_unique<bootrom::ImxSdpSerialPeer>(rom);
    port = serial->devicePath();
  }
  void onUsb() {
    hid = std::make_unique<bootrom::ImxSdpHidDevice>(rom, bus.umockdev());
    port = "USB";
  }

  // The loader the store holds for a module folder, as its latest download.
  void storeLoader(uint32_t folder, const std::string& bytes) {
    UpdaterStore s(store.c_str());
    UpdaterStoreItem item = s.AddDevice(folder);
    ASSERT_EQ(item.WriteFile("77.bird", reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
              aErrNone);
    item.attributes.Add(UpdaterStoreKeys::LATEST_DOWNLOAD, "77.bird");
    ASSERT_TRUE(item.attributes.Save());
  }

  UsbSimModule& started() {
    std::lock_guard<std::mutex> hold(busMutex);
    if (!loader) throw std::runtime_error("the jump started no module");
    return *loader;
  }

  std::vector<uint32_t> words(const Fingerprint& fp) const { return {fp.words, fp.words + 4}; }
  std::vector<std::string> ops() const {
    std::vector<std::string> found;
    for (const testsupport::RecordedRequest& r : server.requests()) found.push_back(r.op);
    return found;
  }
  KeyValueStore settings(uint32_t serialNumber) const {
    KeyValueStore values;
    std::string text = testsupport::readFile(store + "/" + opstest::hex8(serialNumber) + "/.settings");
    values.Parse(text.data(), text.size());
    return values;
  }
  void expectLoaderWritten(uint32_t start) const {
    const std::vector<bootrom::ImxSdpRom::Download> downloads = rom.downloads();
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[0].address, 0x20000000u);
    EXPECT_EQ(downloads[0].bytes, kLoaderA);
    EXPECT_EQ(downloads[1].address, 0x20200000u);
    EXPECT_EQ(downloads[1].bytes, kLoaderB);
    EXPECT_TRUE(rom.jumped());
    EXPECT_EQ(rom.jumpAddress(), start);
  }
  size_t resets(const UsbSimModule& module) const {
    return module.table().calls(simmodule::kCommandSystem, 0, simmodule::kSystemReset);
  }

  testsupport::TempDir dir;
  std::string store = dir.path() + "/updater";
  opstest::OpsDisplay display;
  testsupport::UpdateServerPeer server{imxModel()};
  std::unique_ptr<Updater> updater;

  UsbTestbed bus;
  std::mutex busMutex;  // the jump adds the module on the ROM's thread
  uint32_t loaderSerial = kDefaultSerial;  // 0: the jump starts nothing
  std::function<void(UsbSimModule&)> configureLoader;
  std::unique_ptr<UsbSimModule> loader;

  bootrom::ImxSdpRom rom{kFuseId};
  std::unique_ptr<bootrom::ImxSdpSerialPeer> serial;
  std::unique_ptr<bootrom::ImxSdpHidDevice> hid;
  std::string port;
};

TEST_F(ImxRecoveryTest, FingerprintOverTheSerialPortWithTheStoredLoader) {
  onSerialPort();
  storeLoader(kDefaultSerial, loaderContainer(true));

  Fingerprint fp{};
  ASSERT_TRUE(updater->Get_Fingerprint(fp, port, kDefaultSerial, "", 115200, true)) << display.all();
  EXPECT_EQ(words(fp), std::vector<uint32_t>(kImxChip.begin(), kImxChip.end()));
  EXPECT_EQ(updater->recoveryChip, kRecoveryChipIMX);
  expectLoaderWritten(kLoaderStart);
  EXPECT_EQ(resets(started()), 1u) << "-N leaves the module reset";
  // The LPC17xx probe went first on the same port; its "?" was made up to
  // a whole command, so every command after it is framed right.
  EXPECT_EQ(serial->received().front(), '?');
  EXPECT_EQ(rom.commandTypes().front(), 0x3F00);
  EXPECT_EQ(rom.commandTypes()[1], 0x0505);
  EXPECT_TRUE(server.requests().empty()) << "a stored loader needs no server";
  EXPECT_TRUE(display.lines.empty()) << display.all();
}

TEST_F(ImxRecoveryTest, FingerprintOverUsbHidDownloadsTheLoaderWhenNoneIsStored) {
  onUsb();

  Fingerprint fp{};
  ASSERT_TRUE(updater->Get_Fingerprint(fp, port, kDefaultSerial, "", 115200, true)) << display.all();
  EXPECT_EQ(words(fp), std::vector<uint32_t>(kImxChip.begin(), kImxChip.end()));
  // No loader-start block: the default start address.
  expectLoaderWritten(0x20000400);
  EXPECT_EQ(resets(started()), 1u);
  // Downloaded for the default serial number, its messages muted.
  EXPECT_FALSE(testsupport::readFile(store + "/DEADDEAD/55.bird").empty());
  EXPECT_STREQ(settings(kDefaultSerial)["LATEST_DOWNLOAD"], "55.bird");
  EXPECT_TRUE(display.lines.empty()) << display.all();
  // Over HID every report carries its id: commands 17 bytes, data reports
  // up to 1025.
  const std::vector<std::vector<uint8_t>> reports = hid->reportsWritten();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front().size(), 17u);
  EXPECT_EQ(reports.back(), Bytes({1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ImxRecoveryTest, RecoveryOverUsbHidThroughTheServersLookup) {
  onUsb();
  storeLoader(kDefaultSerial, loaderContainer(true));

  ASSERT_TRUE(updater->Recover_Firmware(port, 0, 9600, 0, "", false)) << display.all();
  expectLoaderWritten(kLoaderStart);
  UsbSimModule& module = started();
  opstest::expectFirmwareIn(module.upgrade());
  EXPECT_EQ(resets(module), 0u) << "the loader keeps running for the firmware";
  EXPECT_EQ(ops(), std::vector<std::string>({"fix", "hi", "qu", "builds", "bird"}));
  EXPECT_TRUE(display.has("I:Recovering firmware with build: 1234")) << display.all();
  EXPECT_TRUE(display.has("I:Transferring firmware block 1 of 2, 304 bytes"));
  EXPECT_EQ(display.lines.back().compare(0, 15, "I:Update time: "), 0);
  EXPECT_TRUE(display.errors().empty()) << display.all();
  // Only the download reached the store.
  KeyValueStore values = settings(kSerial);
  EXPECT_STREQ(values["LATEST_DOWNLOAD"], "1234.bird");
  EXPECT_EQ(values["LATEST_TRANSFER"], nullptr);
}

TEST_F(ImxRecoveryTest, RecoveryOverTheSerialPortFromAFileForTheGivenModule) {
  onSerialPort();
  // The loader comes back under the module's own serial number.
  loaderSerial = kSerial;
  const std::string file = dir.write("both.bird", [] {
    ContainerShape spec;
    spec.loaders = {birdgen::loader(0x20000000, kLoaderA)};
    birdgen::Container c = opstest::makeContainer(spec);
    c.blocks.push_back(birdgen::loaderStart(0x20000400));
    return opstest::bytesOf(c);
  }());

  ASSERT_TRUE(updater->Recover_Firmware(port, 0, 115200, kSerial, file, false)) << display.all();
  // The file's loader block went to the ROM, its firmware to the loader.
  ASSERT_EQ(rom.downloads().size(), 1u);
  EXPECT_EQ(rom.downloads()[0].address, 0x20000000u);
  EXPECT_EQ(rom.jumpAddress(), 0x20000400u);
  opstest::expectFirmwareIn(started().upgrade());
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(display.has("I:Recovering from Birdfile: " + file)) << display.all();
  EXPECT_EQ(access((store + "/0000ABCD").c_str(), F_OK), -1) << "a file recovery touches no store folder";
}

// Nothing is written, so nothing the ROM holds can be started: it refuses
// the jump and stays in its download protocol.
TEST_F(ImxRecoveryTest, AContainerWithoutLoaderBlocksOnlyJumps) {
  onSerialPort();
  storeLoader(kDefaultSerial, loaderContainer(true, false));
  loaderSerial = 0;
  Fingerprint fp{};
  EXPECT_FALSE(updater->Get_Fingerprint(fp, port, kDefaultSerial, "", 115200, true));
  // The LPC17xx probe's "?" made up to a whole command first.
  EXPECT_EQ(rom.commandTypes(), std::vector<uint16_t>({0x3F00, 0x0B0B}));
  EXPECT_FALSE(rom.jumped());
  EXPECT_EQ(rom.refusedJumps(), 1u);
}

// The serial road at 115200 on a line that takes its time, with a USB
// adapter's latency: a loader far longer than a fixed answer wait could
// cover, behind the LPC17xx probe's stray "?".
TEST_F(ImxRecoveryTest, ALargeLoaderOverThePacedSerialLine) {
  const Bytes big = withVectorTable(birdgen::pattern(16 * 1024, 40), 0x20000000, 0x20000400);
  birdgen::Container c = withLoaderDescriptor();
  c.blocks.push_back(birdgen::loader(0x20000000, big));
  storeLoader(kDefaultSerial, opstest::bytesOf(c));
  bootrom::SerialLineOptions line;
  line.adapterLatency = std::chrono::milliseconds(16);
  serial = std::make_unique<bootrom::ImxSdpSerialPeer>(rom, line);
  port = serial->devicePath();

  Fingerprint fp{};
  ASSERT_TRUE(updater->Get_Fingerprint(fp, port, kDefaultSerial, "", 115200, true)) << display.all();
  EXPECT_EQ(words(fp), std::vector<uint32_t>(kImxChip.begin(), kImxChip.end()));
  ASSERT_EQ(rom.downloads().size(), 1u);
  EXPECT_EQ(rom.downloads()[0].bytes, big);
  EXPECT_EQ(rom.jumpAddress(), 0x20000400u);
  EXPECT_TRUE(display.errors().empty()) << display.all();
}

// -o sets the LPC17xx flashing rate; the i.MX ROM's UART runs at 115200
// only, and the serial road stays there.
TEST_F(ImxRecoveryTest, TheSerialRoadIgnoresTheFlashingRate) {
  for (unsigned rate : {9600u, 230400u}) {
    SCOPED_TRACE(rate);
    bootrom::ImxSdpRom chip{kFuseId};
    chip.setOnJump([this](uint32_t) {
      std::lock_guard<std::mutex> hold(busMutex);
      loader = std::make_unique<UsbSimModule>(bus, loaderIdentity(kSerial), UpgradeCommand::Settings(),
                                              UpgradeCommand::Mode::Loader);
    });
    bootrom::ImxSdpSerialPeer line(chip);
    const std::string file = dir.write("rate.bird", [] {
      ContainerShape spec;
      spec.loaders = {birdgen::loader(0x20000000, kLoaderA)};
      birdgen::Container c = opstest::makeContainer(spec);
      c.blocks.push_back(birdgen::loaderStart(0x20000400));
      return opstest::bytesOf(c);
    }());
    ASSERT_TRUE(updater->Recover_Firmware(line.devicePath(), 0, rate, kSerial, file, false)) << display.all();
    EXPECT_TRUE(chip.jumped());
    opstest::expectFirmwareIn(started().upgrade());
    std::lock_guard<std::mutex> hold(busMutex);
    loader.reset();
  }
}

struct BadLoaderCase {
  const char* name;
  uint32_t start;  // 0: no loader-start block (the default start)
  Bytes image;     // loaded at 0x20000000
};

void PrintTo(const BadLoaderCase& c, std::ostream* os) { *os << c.name; }

class ImxBadLoader : public ImxRecoveryTest, public ::testing::WithParamInterface<BadLoaderCase> {};

// A container the chip could not start is refused before the ROM hears a
// byte of it: the chip stays as it was, and the error says why.
TEST_P(ImxBadLoader, IsRefusedBeforeAnythingIsSent) {
  const BadLoaderCase& c = GetParam();
  onSerialPort();
  birdgen::Container container = withLoaderDescriptor();
  container.blocks.push_back(birdgen::loader(0x20000000, c.image));
  if (c.start != 0) container.blocks.push_back(birdgen::loaderStart(c.start));
  storeLoader(kDefaultSerial, opstest::bytesOf(container));

  EXPECT_FALSE(updater->Recover_Firmware(port, 0, 115200, 0, "", false));
  char line[160];
  snprintf(line, sizeof line,
           "Recovery loader refused, nothing sent to the chip: no image vector table at its start 0x%08X",
           c.start != 0 ? c.start : 0x20000400u);
  EXPECT_EQ(display.errors(), std::vector<std::string>({line})) << "one line for one refusal: " << display.all();
  EXPECT_TRUE(rom.commandTypes().empty());
  EXPECT_TRUE(rom.downloads().empty());
  EXPECT_FALSE(rom.jumped());
  EXPECT_EQ(serial->received(), "?") << "only the LPC17xx probe reached the line";
}

Bytes brokenTable(size_t byte, uint8_t value) {
  Bytes image = kLoaderA;
  image[0x400 + byte] = value;
  return image;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImxBadLoader,
    ::testing::Values(BadLoaderCase{"noTableAtTheDefaultStart", 0, birdgen::pattern(2500, 31)},
                      BadLoaderCase{"startOutsideTheBlocks", 0x20002000, kLoaderA},
                      BadLoaderCase{"tableCutOffByTheBlockEnd", 0, Bytes(kLoaderA.begin(), kLoaderA.begin() + 0x410)},
                      BadLoaderCase{"wrongTag", 0, brokenTable(0, 0xD2)},
                      BadLoaderCase{"wrongLength", 0, brokenTable(2, 0x40)},
                      BadLoaderCase{"unknownVersion", 0, brokenTable(3, 0x50)},
                      BadLoaderCase{"tableNamesAnotherAddress", 0, brokenTable(21, 0x05)}),
    [](const ::testing::TestParamInfo<BadLoaderCase>& info) { return info.param.name; });

// A failure the fingerprint road reports itself is the recovery's one
// line; "Could not get Device Identifier" stands only for those it logs.
TEST_F(ImxRecoveryTest, AFileWithoutASerialNumberIsRefused) {
  onSerialPort();
  const std::string file = dir.write("loader.bird", loaderContainer(true));
  EXPECT_FALSE(updater->Recover_Firmware(port, 0, 115200, 0, file, false));
  EXPECT_EQ(display.errors(),
            std::vector<std::string>({"Add serial number or remove the bird filename to use a default recovery image."}));
  EXPECT_TRUE(rom.commandTypes().empty());
  EXPECT_TRUE(server.requests().empty());

  // -N always passes the default serial number: a file is refused there too.
  display.lines.clear();
  Fingerprint fp{};
  EXPECT_FALSE(updater->Get_Fingerprint(fp, port, kDefaultSerial, file, 115200, true));
  EXPECT_EQ(display.errors(),
            std::vector<std::string>({"Add serial number or remove the bird filename to use a default recovery image."}));
}

TEST_F(ImxRecoveryTest, LowerCaseUsbIsASerialDevicePath) {
  onUsb();
  storeLoader(kDefaultSerial, loaderContainer(true));
  Fingerprint fp{};
  EXPECT_FALSE(updater->Get_Fingerprint(fp, "usb", kDefaultSerial, "", 115200, true));
  EXPECT_TRUE(hid->reportsWritten().empty());
  EXPECT_FALSE(rom.jumped());
}

TEST_F(ImxRecoveryTest, ALoaderTheRomDoesNotConfirmIsNotStarted) {
  onSerialPort();
  storeLoader(kDefaultSerial, loaderContainer(true));
  bootrom::SdpFaults faults;
  faults.confirmDownload = false;
  rom.setFaults(faults);
  EXPECT_FALSE(updater->Recover_Firmware(port, 0, 115200, 0, "", false));
  EXPECT_EQ(display.errors(),
            std::vector<std::string>({"Recovery loader download failed at block 1 of 2 (2500 bytes to 0x20000000): "
                                      "the boot ROM did not confirm it; the chip needs a reset and another recovery"}))
      << display.all();
  EXPECT_EQ(rom.downloads().size(), 1u) << "no block after the first unconfirmed one";
  EXPECT_FALSE(rom.jumped());
  EXPECT_TRUE(server.requests().empty());
}

// A chip with HAB closed starts only a signed loader: it refuses the jump
// to this unsigned one with its HAB word and the HAB failure status, and
// stays in its boot ROM. The recovery ends at once with what the ROM said,
// instead of looking for a loader that will never show up.
class ImxHabClosed : public ImxRecoveryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ImxHabClosed, ARefusedJumpIsReportedAtOnce) {
  rom.setHabClosed(true);
  if (GetParam()) {
    onUsb();
  } else {
    onSerialPort();
  }
  storeLoader(kDefaultSerial, loaderContainer(true));
  const std::chrono::steady_clock::time_point begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(updater->Recover_Firmware(port, 0, 115200, 0, "", false));
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(display.errors(),
            std::vector<std::string>({"Recovery loader not started: the boot ROM answered the jump to 0x20200000 with "
                                      "HAB closed (0x12343412), status 0x33333333 (HAB failure); the loader is not "
                                      "signed, and a chip with HAB closed starts only signed images"}))
      << display.all();
  EXPECT_LT(took, 8.0) << "no loader was waited for";
  ASSERT_EQ(rom.downloads().size(), 2u);
  EXPECT_EQ(rom.refusedJumps(), 1u);
  EXPECT_FALSE(rom.jumped());
  EXPECT_TRUE(server.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, ImxHabClosed, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "UsbHid" : "Serial");
                         });

TEST_F(ImxRecoveryTest, AnIdentifierTheModuleCannotReadFailsTheFingerprint) {
  onUsb();
  storeLoader(kDefaultSerial, loaderContainer(true));
  configureLoader = [](UsbSimModule& m) {
    m.table().setError(simmodule::kCommandSystem, 0, systemUniqueIdentifier, simmodule::UeiTable::kErrIndexRange);
  };
  Fingerprint fp{};
  EXPECT_FALSE(updater->Get_Fingerprint(fp, port, kDefaultSerial, "", 115200, true));
  EXPECT_EQ(resets(started()), 0u) << "no reset after a failed read";
  EXPECT_TRUE(display.errors().empty()) << display.all();
}

// A recorded loader name is followed only inside the module's folder, even
// when it points at a good loader elsewhere: the fingerprint then fails as
// with no loader recorded, before the ROM is sent anything.
TEST_F(ImxRecoveryTest, ARecordedLoaderOutsideTheFolderIsNotLoaded) {
  onSerialPort();
  const std::string image = loaderContainer(true);
  UpdaterStore s(store.c_str());
  s.AddDevice(kDefaultSerial);
  ASSERT_EQ(mkdir((store + "/DEADDEAD/sub").c_str(), 0755), 0);
  dir.write("updater/x.bird", image);
  dir.write("updater/DEADDEAD/sub/x.bird", image);
  const std::string absolute = dir.write("x.bird", image);
  for (const std::string& name : {std::string("../x.bird"), absolute, std::string("sub/x.bird")}) {
    SCOPED_TRACE(name);
    dir.write("updater/DEADDEAD/.settings", "LATEST_DOWNLOAD=" + name + "\n");
    Fingerprint fp{};
    EXPECT_FALSE(updater->Get_Fingerprint(fp, port, kDefaultSerial, "", 115200, false));
    EXPECT_TRUE(rom.downloads().empty());
    EXPECT_FALSE(rom.jumped());
  }
  EXPECT_TRUE(server.requests().empty()) << "a module with a folder downloads nothing";
}

struct FirmwarePhaseCase {
  const char* name;
  bool generic;
  bool refusePrepare;
  std::string error;
};

void PrintTo(const FirmwarePhaseCase& c, std::ostream* os) { *os << c.name; }

class ImxRecoveryFirmwarePhase : public ImxRecoveryTest, public ::testing::WithParamInterface<FirmwarePhaseCase> {};

TEST_P(ImxRecoveryFirmwarePhase, FailsWithTheMessage) {
  const FirmwarePhaseCase& c = GetParam();
  server.setModel(imxModel(c.generic));
  onUsb();
  storeLoader(kDefaultSerial, loaderContainer(true));
  if (c.refusePrepare) {
    configureLoader = [](UsbSimModule& m) {
      UpgradeCommand::Faults faults;
      faults.refuseLoaderPrepare = true;
      m.upgrade().setFaults(faults);
    };
  }
  EXPECT_FALSE(updater->Recover_Firmware(port, 0, 115200, 0, "", false));
  ASSERT_FALSE(display.errors().empty());
  EXPECT_EQ(display.errors(), std::vector<std::string>{c.error}) << display.all();
  EXPECT_EQ(started().upgrade().flashBytesWritten(), 0u);
  EXPECT_EQ(started().upgrade().counts().reboots, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ImxRecoveryFirmwarePhase,
                         ::testing::Values(FirmwarePhaseCase{"generic", true, false,
                                                             "Updater does not support offline recovery"},
                                           FirmwarePhaseCase{"prepareRefused", false, true,
                                                             "Failed to transfer firmware at firmware block 1 of 2 "
                                                             "[29, aErrInvalidOption]: the module refused to prepare "
                                                             "the block (status 1)"}),
                         [](const ::testing::TestParamInfo<FirmwarePhaseCase>& info) { return info.param.name; });

}  // namespace
