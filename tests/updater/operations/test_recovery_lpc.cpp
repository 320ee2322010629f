// Get_Fingerprint and Recover_Firmware against the simulated LPC17xx ISP
// boot ROM on a pseudo-terminal, with the simulated update server on
// loopback for the recovery lookup and the download. Nothing here touches
// USB or multicasts.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Tessarine2/common/aError.h"
#include "tests/sim/TempDir.h"
#include "tests/sim/bootrom/Lpc17xxIspLine.h"
#include "tests/sim/bootrom/Lpc17xxIspRom.h"
#include "tests/sim/bootrom/SerialRomPeer.h"
#include "tests/sim/updateserver/UpdateServerPeer.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "tests/updater/operations/RecoveryImages.h"
#include "tests/updater/server/ServerTestFixture.h"
#include "updater/Updater.h"
#include "updater/firmware/KeyValueStore.h"

namespace {

using opstest::FlashBlock;
using opstest::kLpcChip;

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint32_t kBuild = 1234;
constexpr uint32_t kOldBuild = 1200;

std::vector<FlashBlock> oldLayout() { return {{0x00000000, birdgen::pattern(256, 21)}}; }

testsupport::UpdateServerModel lpcModel() {
  testsupport::UpdateServerModel model;
  model.addBuild(kSerial, kBuild, "1.2.3", opstest::bytesOf(opstest::lpcContainer(kSerial, opstest::lpcLayout(), true)));
  model.addBuild(kSerial, kOldBuild, "1.1.0",
                 opstest::bytesOf(opstest::lpcContainer(kSerial, oldLayout(), false, false, kOldBuild)));
  model.addFingerprint(kLpcChip, kSerial, kBuild);
  return model;
}

// The line speed the host's port has while bytes arrive. The serial
// stream puts the terminal's old settings back when it closes, so the speed
// is looked at from the ROM's side as each command line comes in.
class LineSpeeds {
 public:
  void open(const std::string& device) {
    std::lock_guard<std::mutex> hold(mutex_);
    fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~LineSpeeds() {
    if (fd_ >= 0) close(fd_);
  }
  // On the ROM's thread.
  void sample(const std::string& bytes) {
    std::lock_guard<std::mutex> hold(mutex_);
    termios settings{};
    if (fd_ < 0 || bytes.empty() || tcgetattr(fd_, &settings) != 0) return;
    text_ += bytes;
    // The speed of the first byte of each line.
    if (text_.size() == bytes.size() || text_[text_.size() - bytes.size() - 1] == '\n') {
      starts_.push_back({bytes[0], cfgetospeed(&settings)});
    }
  }
  // The speed when a line starting with the letter first came.
  speed_t at(char letter) const {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& s : starts_) {
      if (s.first == letter) return s.second;
    }
    return 0;
  }

 private:
  int fd_ = -1;
  mutable std::mutex mutex_;
  std::string text_;
  std::vector<std::pair<char, speed_t>> starts_;
};

class LpcRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    speeds.open(line.devicePath());
    HTTPRequest::SetLimits(servertest::fastLimits());
    server.start();
    updater = std::make_unique<Updater>(server.url().c_str(), store.c_str(), display);
  }
  void TearDown() override {
    updater.reset();
    server.stop();
    HTTPRequest::SetLimits(HTTPLimits());
  }

  bool recover(unsigned build = 0, unsigned baud = 115200, unsigned serial = 0, const std::string& file = "") {
    return updater->Recover_Firmware(port(), build, baud, serial, file, false);
  }
  const std::string& port() const { return line.devicePath(); }

  std::vector<std::string> commandsOf(char letter) const {
    std::vector<std::string> found;
    for (const std::string& c : rom.commands()) {
      if (!c.empty() && c[0] == letter) found.push_back(c);
    }
    return found;
  }
  std::vector<uint8_t> flash() const { return rom.flash(0, bootrom::Lpc17xxIspRom::kFlashSize); }
  KeyValueStore settings(uint32_t serial) const {
    KeyValueStore values;
    std::string text = testsupport::readFile(store + "/" + opstest::hex8(serial) + "/.settings");
    values.Parse(text.data(), text.size());
    return values;
  }

  // The ROM's line goes before the ROM; the updater lets go of the port
  // within each operation.
  bootrom::Lpc17xxIspRom rom;
  LineSpeeds speeds;
  bootrom::SerialRomPeer line{bootrom::SerialRomPeer::LineHandler([this](const std::string& bytes,
                                                                         bootrom::RomLine& paced) {
                                speeds.sample(bytes);
                                bootrom::serveLpcIsp(rom, bytes, paced);
                              }),
                              bootrom::lpcIspLineOptions()};
  testsupport::TempDir dir;
  std::string store = dir.path() + "/updater";
  testsupport::UpdateServerPeer server{lpcModel()};
  opstest::OpsDisplay display;
  std::unique_ptr<Updater> updater;
};

TEST_F(LpcRecoveryTest, FingerprintIsTheDeviceSerialNumberAtTheRequestedRate) {
  Fingerprint fp{};
  // The file is never looked at on an LPC17xx.
  ASSERT_TRUE(updater->Get_Fingerprint(fp, port(), kDefaultSerial, dir.file("missing.bird"), 9600, true));
  EXPECT_EQ(std::vector<uint32_t>(fp.words, fp.words + 4), std::vector<uint32_t>(kLpcChip.begin(), kLpcChip.end()));
  EXPECT_EQ(updater->recoveryChip, kRecoveryChipLPC);
  EXPECT_TRUE(rom.synchronized());
  EXPECT_EQ(rom.crystalKHz(), 14746u);
  EXPECT_EQ(rom.commands(), std::vector<std::string>({"N"}));
  EXPECT_EQ(speeds.at('?'), static_cast<speed_t>(B9600));
  EXPECT_EQ(speeds.at('N'), static_cast<speed_t>(B9600));
  EXPECT_TRUE(display.lines.empty()) << display.all();
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(LpcRecoveryTest, RecoveryWritesTheDescrambledImageThroughIsp) {
  ASSERT_TRUE(recover()) << display.all();

  // Flash holds the plain images; every byte around and behind them is
  // still erased (copies longer than a chunk program nothing beyond it),
  // and nothing after the end marker was written.
  std::vector<uint8_t> expected = opstest::flashWith(opstest::lpcLayout());
  std::vector<uint8_t> actual = flash();
  ASSERT_EQ(actual.size(), expected.size());
  size_t firstDifference = std::mismatch(actual.begin(), actual.end(), expected.begin()).first - actual.begin();
  EXPECT_EQ(firstDifference, actual.size()) << "flash differs from byte 0x" << std::hex << firstDifference;

  EXPECT_TRUE(rom.unlocked());
  EXPECT_TRUE(rom.running());
  EXPECT_EQ(rom.goAddress(), 0u);
  EXPECT_EQ(rom.goMode(), 'T');
  EXPECT_TRUE(rom.echo()) << "echo is switched back on before the start";
  EXPECT_TRUE(commandsOf('B').empty()) << "the default rate needs no change";

  // Sectors 0-29 prepared and erased first; every chunk then prepares the
  // sectors its copy covers.
  const std::vector<std::string> prepares = commandsOf('P');
  ASSERT_GE(prepares.size(), 1u);
  EXPECT_EQ(prepares[0], "P 0 29");
  EXPECT_EQ(commandsOf('E'), std::vector<std::string>({"E 0 29"}));
  EXPECT_EQ(commandsOf('C'), std::vector<std::string>({"C 3328 268439552 1024", "C 65536 268439552 1024",
                                                       "C 66304 268439552 512", "C 131072 268439552 4096",
                                                       "C 135168 268439552 1024"}));
  EXPECT_EQ(std::vector<std::string>(prepares.begin() + 1, prepares.end()),
            std::vector<std::string>({"P 0 1", "P 16 16", "P 16 16", "P 18 18", "P 18 18"}));
  const std::vector<std::string> writes = commandsOf('W');
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(writes[4], "W 268439552 1024") << "the last chunk is padded to its copy";

  // Six firmware blocks, shown as five; four written before the end marker.
  EXPECT_TRUE(display.has("I:Transferring firmware block 1 of 5, 600 bytes")) << display.all();
  EXPECT_TRUE(display.has("I:Transferring firmware block 4 of 5, 5000 bytes"));
  EXPECT_TRUE(display.has("I:Transferred 5 blocks, 6880 total bytes"));
  EXPECT_TRUE(display.has("I:Rebooting Device"));
  EXPECT_EQ(display.progressShown, 4);
  EXPECT_EQ(display.progressHidden, 4);
  EXPECT_DOUBLE_EQ(display.progress.back(), 1.0);
  EXPECT_EQ(display.lines.back().compare(0, 15, "I:Update time: "), 0);
  EXPECT_TRUE(display.errors().empty()) << display.all();

  // The lookup named module and build; the download is all that reached
  // the store.
  std::vector<std::string> ops;
  for (const testsupport::RecordedRequest& r : server.requests()) ops.push_back(r.op);
  EXPECT_EQ(ops.front(), "fix");
  EXPECT_FALSE(testsupport::readFile(store + "/0000ABCD/1234.bird").empty());
  KeyValueStore values = settings(kSerial);
  EXPECT_STREQ(values["LATEST_DOWNLOAD"], "1234.bird");
  EXPECT_EQ(values["LATEST_TRANSFER"], nullptr);
  EXPECT_EQ(values["LAST_TRANSFER_DATE"], nullptr);
}

struct RateCase {
  unsigned baud;
  speed_t speed;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.baud << " baud"; }

class LpcRecoveryRate : public LpcRecoveryTest, public ::testing::WithParamInterface<RateCase> {};

// The chip's UART follows "B" only: on the paced line a port at another
// rate than the chip's would be garbage to it.
TEST_P(LpcRecoveryRate, AnotherFlashingRateIsAnnouncedToTheChipFirst) {
  const RateCase c = GetParam();
  ASSERT_TRUE(recover(0, c.baud)) << display.all();
  const std::string announce = "B " + std::to_string(c.baud) + " 1";
  EXPECT_EQ(commandsOf('B'), std::vector<std::string>({announce}));
  EXPECT_EQ(rom.baudRequested(), c.baud);
  EXPECT_EQ(rom.uartBaud(), c.baud);
  // The fingerprint at 115200, then unlock, erase and writes at the rate.
  const std::vector<std::string> all = rom.commands();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[0], "N");
  EXPECT_EQ(all[1], announce);
  EXPECT_EQ(all[2], "U 23130");
  EXPECT_EQ(speeds.at('?'), static_cast<speed_t>(B115200));
  EXPECT_EQ(speeds.at('B'), static_cast<speed_t>(B115200));
  EXPECT_EQ(speeds.at('U'), c.speed);
  EXPECT_EQ(speeds.at('C'), c.speed);
  EXPECT_EQ(flash(), opstest::flashWith(opstest::lpcLayout()));
}

INSTANTIATE_TEST_SUITE_P(Rates, LpcRecoveryRate,
                         ::testing::Values(RateCase{9600, B9600}, RateCase{57600, B57600},
                                           RateCase{230400, B230400}),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                           return std::to_string(info.param.baud);
                         });

// A chip at its slowest behind a USB-serial adapter: erase answered after
// 105 ms, copies after 1 ms per 256 bytes, 16 ms adapter latency on every
// answer. A 10 KB image goes through at 115200.
TEST_F(LpcRecoveryTest, ASlowChipBehindAnAdapterIsRecovered) {
  rom.setTiming({105, 1});
  line.setAdapterLatency(std::chrono::milliseconds(16));
  const std::vector<FlashBlock> image = {{0x00000000, birdgen::pattern(10240, 31)}};
  const std::string file = dir.file("slow.bird");
  ASSERT_TRUE(birdgen::write(file, opstest::lpcContainer(kSerial, image, false)));
  ASSERT_TRUE(recover(0, 115200, 0, file)) << display.all();
  EXPECT_EQ(flash(), opstest::flashWith(image));
  EXPECT_TRUE(rom.running());
  EXPECT_TRUE(display.errors().empty()) << display.all();
}

TEST_F(LpcRecoveryTest, ABuildGivenByTheCallerWinsOverTheLookupsBuild) {
  ASSERT_TRUE(recover(kOldBuild)) << display.all();
  EXPECT_EQ(flash(), opstest::flashWith(oldLayout()));
  EXPECT_TRUE(display.has("I:Recovering firmware with build: 1200")) << display.all();
  // The module is still the one the lookup named.
  EXPECT_FALSE(testsupport::readFile(store + "/0000ABCD/1200.bird").empty());
}

TEST_F(LpcRecoveryTest, AFileNeedsNeitherSerialNumberNorServer) {
  const std::string file = dir.file("recovery.bird");
  ASSERT_TRUE(birdgen::write(file, opstest::lpcContainer(kSerial, oldLayout(), false)));
  ASSERT_TRUE(recover(0, 115200, 0, file)) << display.all();
  EXPECT_EQ(flash(), opstest::flashWith(oldLayout()));
  EXPECT_TRUE(display.has("I:Recovering from Birdfile: " + file));
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(testsupport::readFile(store + "/0000ABCD/.settings"), "");
}

// What the user sees when the recovery stops before the chip is touched.
struct LookupCase {
  const char* name;
  testsupport::UpdateServerModel model;
  std::string error;  // the last error shown begins with this
  std::string cause;  // and goes on to say why
};

class LpcRecoveryLookup : public LpcRecoveryTest, public ::testing::WithParamInterface<int> {};

TEST_P(LpcRecoveryLookup, StopsBeforeTheChipIsUnlocked) {
  std::vector<LookupCase> cases;
  {
    testsupport::UpdateServerModel unknownChip;
    unknownChip.addBuild(kSerial, kBuild, "1.2.3", "x");
    cases.push_back({"the server does not know the chip", unknownChip,
                     "Failed to retrieve recovery information from Zeltrova server: ",
                     "the answer begins \"fail unknown fingerprint\", not \"ok\""});
  }
  {
    testsupport::UpdateServerModel noModule;
    noModule.addFingerprint(kLpcChip, 0, kBuild);
    cases.push_back({"the lookup names serial number 0", noModule,
                     "Failed to retrieve recovery information from Zeltrova server: ",
                     "does not name a module"});
  }
  {
    testsupport::UpdateServerModel missingBuild;
    missingBuild.addBuild(kSerial, kOldBuild, "1.1.0", "x");
    missingBuild.addFingerprint(kLpcChip, kSerial, 999);
    cases.push_back({"the named build cannot be had", missingBuild, "Failed to load bird file: ",
                     "/0000ABCD/999.bird: No such file or directory"});
  }
  {
    testsupport::UpdateServerModel generic;
    generic.addBuild(kSerial, kBuild, "1.2.3",
                     opstest::bytesOf(opstest::lpcContainer(kSerial, opstest::lpcLayout(), false, true)));
    generic.addFingerprint(kLpcChip, kSerial, kBuild);
    cases.push_back({"the build is a generic image", generic, "Updater does not support offline recovery", ""});
  }
  const LookupCase& c = cases.at(static_cast<size_t>(GetParam()));
  SCOPED_TRACE(c.name);
  server.setModel(c.model);
  rom.loadFlash(0, {1, 2, 3, 4});

  EXPECT_FALSE(recover());
  ASSERT_FALSE(display.errors().empty());
  const std::string shown = display.errors().back();
  EXPECT_EQ(shown.rfind(c.error, 0), 0u) << display.all();
  EXPECT_NE(shown.find(c.cause, c.error.size()), std::string::npos) << display.all();
  if (c.cause.empty()) {
    EXPECT_EQ(shown, c.error);
  }
  EXPECT_FALSE(rom.unlocked());
  EXPECT_EQ(rom.flash(0, 4), std::vector<uint8_t>({1, 2, 3, 4}));
  EXPECT_EQ(access((store + "/00000000").c_str(), F_OK), -1) << "no folder for serial number 0";
}

INSTANTIATE_TEST_SUITE_P(Cases, LpcRecoveryLookup, ::testing::Range(0, 4));

// Failures of the chip while it is being written: one error line names the
// step and, once the erase was sent, that the chip needs another recovery.
struct ChipFault {
  const char* name;
  bootrom::LpcFaults faults;
  bool erased;      // the old flash is gone
  bool written;     // every block reached flash
  std::string error;
};

const char kAgain[] = "; the chip's flash is incomplete and it needs another recovery";

std::vector<ChipFault> chipFaults() {
  std::vector<ChipFault> cases;
  auto answer = [](char letter, const std::string& text) {
    bootrom::LpcFaults f;
    f.answers[letter] = text;
    return f;
  };
  const std::string firstWrite = std::string("Recovery failed at RAM write for flash 0x00000D00 of firmware block 1") + kAgain;
  cases.push_back({"unlock refused", answer('U', "16\r\n"), false, false,
                   "Recovery failed at unlock; flash left as it was"});
  cases.push_back({"erase refused", answer('E', "9\r\n"), false, false,
                   std::string("Recovery failed at erase of sectors 0 to 29") + kAgain});
  cases.push_back({"erase never answered", answer('E', ""), false, false,
                   std::string("Recovery failed at erase of sectors 0 to 29") + kAgain});
  cases.push_back({"copy refused", answer('C', "9\r\n"), true, false,
                   std::string("Recovery failed at copy to flash 0x00000D00 of firmware block 1") + kAgain});
  cases.push_back({"RAM write refused", answer('W', "13\r\n"), true, false, firstWrite});
  bootrom::LpcFaults resend;
  resend.checksumVerdicts = {"RESEND\r\n", "RESEND\r\n", "RESEND\r\n"};
  cases.push_back({"three RESENDs", resend, true, false, firstWrite});
  cases.push_back({"echo cannot be switched", answer('A', "12\r\n"), true, true,
                   std::string("Recovery Error transfering data to device ==> [2, ") + aError_GetErrorText(2) + "]"});
  return cases;
}

class LpcRecoveryChipFault : public LpcRecoveryTest, public ::testing::WithParamInterface<int> {};

TEST_P(LpcRecoveryChipFault, EndsTheRecoveryAsAFailure) {
  const ChipFault c = chipFaults().at(static_cast<size_t>(GetParam()));
  SCOPED_TRACE(c.name);
  rom.loadFlash(0x10000, {1, 2, 3, 4});
  // The synchronisation and the identification still go through.
  rom.setFaults(c.faults);
  EXPECT_FALSE(recover()) << display.all();
  EXPECT_EQ(display.errors(), std::vector<std::string>({c.error})) << display.all();
  EXPECT_FALSE(rom.running());
  if (c.written) {
    EXPECT_EQ(flash(), opstest::flashWith(opstest::lpcLayout()));
  } else if (c.erased) {
    EXPECT_EQ(rom.flash(0x10000, 4), std::vector<uint8_t>({0xFF, 0xFF, 0xFF, 0xFF}));
  } else {
    EXPECT_EQ(rom.flash(0x10000, 4), std::vector<uint8_t>({1, 2, 3, 4}));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LpcRecoveryChipFault, ::testing::Range(0, 7));

TEST_F(LpcRecoveryTest, AStoreThatCannotBeMadeIsReportedNotThrown) {
  dir.write("updater", "a file where the store should be");
  EXPECT_FALSE(recover());
  ASSERT_EQ(display.errors().size(), 1u) << display.all();
  EXPECT_NE(display.errors()[0].find("exists and is a file"), std::string::npos) << display.all();
  EXPECT_FALSE(rom.synchronized()) << "nothing reached the chip";

  // The i.MX road of -N needs the store for its loader: it fails quietly.
  rom.setFaults([] {
    bootrom::LpcFaults f;
    f.silent = true;
    return f;
  }());
  display.lines.clear();
  Fingerprint fp{};
  EXPECT_FALSE(updater->Get_Fingerprint(fp, port(), kDefaultSerial, "", 115200, true));
  EXPECT_TRUE(display.lines.empty()) << display.all();
}

TEST_F(LpcRecoveryTest, NoChipAnswersAndNoRecoveryImageCanBeHad) {
  rom.setFaults([] {
    bootrom::LpcFaults f;
    f.silent = true;
    return f;
  }());
  // Neither an LPC17xx nor an i.MX: the i.MX road finds no loader stored
  // for 0xDEADDEAD and the server has none either. The download's own
  // messages stay muted; the recovery's own error shows again.
  EXPECT_FALSE(recover());
  const std::string line = "Could not get Device Identifier: no LPC17xx boot ROM answered on " + port() +
                           "; no i.MX recovery loader to start (No recovery image stored for the device)";
  EXPECT_EQ(display.errors(), std::vector<std::string>({line})) << display.all();
  EXPECT_EQ(updater->recoveryChip, kRecoveryChipIMX);
  bool queried = false;
  for (const testsupport::RecordedRequest& r : server.requests()) queried = queried || r.target.find("DEADDEAD") != std::string::npos;
  EXPECT_TRUE(queried) << "a loader was looked for under the default serial number";
}

}  // namespace
