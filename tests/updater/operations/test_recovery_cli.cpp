// The Updater executable's -N and -U -t RECOVER against the standalone
// simulated boot ROMs (sim-lpc17xx-isp, sim-imxrt-sdp on a pseudo-terminal),
// each a process of its own, with sim-updateserver for the recovery lookup.
// The ROM process runs the Updater with "{port}" as its device. These roads
// reach no module over the network: nothing multicasts.

#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST_F(RecoveryCliTest, FingerprintOfAnLpc17xx) {
  ASSERT_EQ(underRom(SIM_LPC17XX_ISP_PATH, {}, {"-N", "-s", "{port}"}), 0) << out << err;
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

#ifdef SIM_IMXRT_SDP_PATH
TEST_F(RecoveryCliTest, FingerprintOfAnImxRefusesAFile) {
  dir.write("loader.bird", "not looked at");
  EXPECT_EQ(underRom(SIM_IMXRT_SDP_PATH, {"--serial"}, {"-N", "-s", "{port}", "-f", dir.file("loader.bird")}), 1);
  EXPECT_TRUE(complained("Add serial number or remove the bird filename to use a default recovery image.")) << err;
  EXPECT_TRUE(complained("Got no response from chip"));
  EXPECT_EQ(out.find("write 0x"), std::string::npos) << out;
  EXPECT_EQ(out.find("jump 0x"), std::string::npos);
}
#endif

}  // namespace
