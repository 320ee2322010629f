// The Updater executable's -N and -U -t RECOVER against the standalone
// simulated boot ROMs (sim-lpc17xx-isp, sim-imxrt-sdp on a pseudo-terminal),
// each a process of its own, with sim-updateserver for the recovery lookup.
// The ROM process runs the Updater with "{port}" as its device. These roads
// reach no module over the network: nothing multicasts.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/updater/operations/RecoveryImages.h"
#include "tests/updater/operations/UpdaterCliFixture.h"

namespace {

using testsupport::readFile;

class RecoveryCliTest : public opstest::UpdaterCliFixture {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(dir.file("models").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("models/0000ABCD").c_str(), 0755), 0);
    dir.write("models/0000ABCD/1234.bird",
              opstest::bytesOf(opstest::lpcContainer(0x0000ABCD, opstest::lpcLayout(), true)));
    dir.write("models/fingerprints", "1A2B3C4D 00000042 8BADF00D 00C0FFEE 0000ABCD 1234\n");
    startServer();
    ASSERT_GT(server->port(), 0) << "sim-updateserver did not start";
  }

  // The ROM process with its options, running the Updater with these.
  int underRom(const std::string& rom, std::vector<std::string> romOptions, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {rom};
    argv.insert(argv.end(), romOptions.begin(), romOptions.end());
    argv.insert(argv.end(), {"--", UPDATER_PATH, "-u", serverUrl(), "-i", dir.path()});
    argv.insert(argv.end(), options.begin(), options.end());
    return runCaptured(argv);
  }
};

// The ROM process carries bytes at the line's rate; here behind an adapter
// with 16 ms latency.
TEST_F(RecoveryCliTest, FingerprintOfAnLpc17xx) {
  ASSERT_EQ(underRom(SIM_LPC17XX_ISP_PATH, {"--latency", "16"}, {"-N", "-s", "{port}"}), 0) << out << err;
  EXPECT_TRUE(printed("[ 1A2B3C4D 00000042 8BADF00D 00C0FFEE ]")) << out;
  EXPECT_TRUE(printed("synchronized"));
  EXPECT_FALSE(printed("unlocked")) << "a fingerprint writes nothing";
}

TEST_F(RecoveryCliTest, RecoveryOfAnLpc17xxThroughTheServersLookup) {
  const std::string image = dir.file("flash.bin");
  ASSERT_EQ(underRom(SIM_LPC17XX_ISP_PATH, {"--flash-out", image}, {"-U", "-t", "RECOVER", "-s", "{port}"}), 0)
      << out << err;
  EXPECT_TRUE(printed("Recovering firmware with build: 1234")) << out;
  EXPECT_TRUE(printed("Rebooting Device"));
  EXPECT_TRUE(printed("unlocked"));
  EXPECT_TRUE(printed("go 0x00000000 T"));
  const std::vector<uint8_t> expected = opstest::flashWith(opstest::lpcLayout());
  EXPECT_EQ(readFile(image), std::string(expected.begin(), expected.end()));
  const std::string settings = readFile(dir.file("updater/0000ABCD/.settings"));
  EXPECT_NE(settings.find("LATEST_DOWNLOAD=1234.bird\n"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("LATEST_TRANSFER"), std::string::npos) << "a recovery records no transfer";
}

// Containers the chip cannot take are refused before the erase: the chip
// keeps every byte it had, and the user reads why.
struct BadContainer {
  const char* name;
  std::vector<opstest::FlashBlock> blocks;
  std::string reason;
  bool endMarker = false;  // the blocks are followed by the end mark (and one block more)
};

std::vector<BadContainer> badContainers() {
  using birdgen::pattern;
  return {
      {"unaligned block", {{0x0, pattern(600, 1)}, {0x1010, pattern(100, 2)}},
       "firmware block 2 at 0x00001010 does not start on a 256-byte boundary"},
      {"block past the end of flash", {{0x7F000, pattern(0x1001, 3)}},
       "firmware block 1 (0x0007F000, 4097 bytes) reaches past the end of flash at 0x00080000"},
      {"copy past the end of flash", {{0x7FF00, pattern(300, 4)}},
       "firmware block 1 (0x0007FF00, 300 bytes) reaches past the end of flash at 0x00080000"},
      {"overlapping blocks", {{0x1000, pattern(600, 5)}, {0x10000, pattern(64, 6)}, {0x1100, pattern(100, 7)}},
       "firmware blocks 1 and 3 overlap at 0x00001100"},
      {"oversized block", {{0x0, pattern(0x80100, 8)}},
       "firmware block 1 holds 524544 bytes, more than the chip's 524288 bytes of flash"},
      // The flash would be erased and nothing written back.
      {"no firmware block", {}, "the container holds no firmware block, so nothing would be written"},
      {"end mark first", {}, "its first firmware block is the end mark, so nothing would be written", true},
  };
}

class RecoveryCliBadContainer : public RecoveryCliTest, public ::testing::WithParamInterface<int> {};

TEST_P(RecoveryCliBadContainer, LeavesTheFlashAsItWas) {
  const BadContainer c = badContainers().at(static_cast<size_t>(GetParam()));
  SCOPED_TRACE(c.name);
  const birdgen::Bytes before = birdgen::pattern(512 * 1024, 99);
  dir.write("before.bin", std::string(before.begin(), before.end()));
  dir.write("bad.bird", opstest::bytesOf(opstest::lpcContainer(0x0000ABCD, c.blocks, c.endMarker)));
  EXPECT_EQ(underRom(SIM_LPC17XX_ISP_PATH,
                     {"--flash-in", dir.file("before.bin"), "--flash-out", dir.file("after.bin"), "--wire-out",
                      dir.file("wire.bin")},
                     {"-U", "-t", "RECOVER", "-s", "{port}", "-f", dir.file("bad.bird")}),
            1)
      << out << err;
  EXPECT_TRUE(complained("Recovery container refused, flash left as it was: " + c.reason)) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line for one failure: " << err;
  EXPECT_TRUE(readFile(dir.file("after.bin")) == std::string(before.begin(), before.end())) << "flash changed";
  const std::string wire = readFile(dir.file("wire.bin"));
  EXPECT_EQ(wire.find("U 23130"), std::string::npos) << "only the fingerprint reached the chip";
  EXPECT_EQ(wire.find("E 0 29"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoveryCliBadContainer,
                         ::testing::Range(0, static_cast<int>(badContainers().size())));

#ifdef SIM_IMXRT_SDP_PATH
TEST_F(RecoveryCliTest, FingerprintOfAnImxRefusesAFile) {
  dir.write("loader.bird", "not looked at");
  EXPECT_EQ(underRom(SIM_IMXRT_SDP_PATH, {"--serial"}, {"-N", "-s", "{port}", "-f", dir.file("loader.bird")}), 1);
  EXPECT_TRUE(complained("Add serial number or remove the bird filename to use a default recovery image.")) << err;
  EXPECT_FALSE(complained("Got no response from chip")) << "one line for one refusal: " << err;
  EXPECT_EQ(out.find("write 0x"), std::string::npos) << out;
  EXPECT_EQ(out.find("jump 0x"), std::string::npos);
}

// A loader whose start holds no image vector table could never be started:
// the chip is sent nothing of it, and the run fails with a line saying why.
TEST_F(RecoveryCliTest, AnImxLoaderWithoutAVectorTableIsRefused) {
  opstest::ContainerShape spec;
  spec.loaders = {birdgen::loader(0x20000000, birdgen::pattern(2048, 9))};
  birdgen::Container c = opstest::makeContainer(spec);
  c.blocks.push_back(birdgen::loaderStart(0x20000400));
  dir.write("loader.bird", opstest::bytesOf(c));
  EXPECT_EQ(underRom(SIM_IMXRT_SDP_PATH, {"--serial"},
                     {"-U", "-t", "RECOVER", "-s", "{port}", "-d", "0000ABCD", "-f", dir.file("loader.bird")}),
            1);
  EXPECT_TRUE(complained("Recovery loader refused, nothing sent to the chip: no image vector table at its start "
                         "0x20000400"))
      << err;
  EXPECT_FALSE(complained("Could not get Device Identifier")) << "one line for one refusal: " << err;
  EXPECT_EQ(out.find("write 0x"), std::string::npos) << out;
  EXPECT_EQ(out.find("jump 0x"), std::string::npos) << out;
}
#endif

}  // namespace
