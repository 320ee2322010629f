// The simulated boot ROMs as processes of their own, driven by a probe that
// speaks to them like the recovery roads do.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/sim/ProgramRun.h"
#include "tests/sim/TempDir.h"

namespace {

using RomRun = testsupport::CommandRun;

RomRun run(const std::string& command) { return testsupport::runCommand(command); }

bool has(const RomRun& r, const std::string& text) { return r.output.find(text) != std::string::npos; }

const std::string kLpcRom = SIM_LPC17XX_ISP;
const std::string kImxRom = SIM_IMXRT_SDP;
const std::string kProbe = RECOVERY_PROBE;

TEST(StandaloneRoms, LpcIspAnswersTheFingerprintRoad) {
  RomRun r = run(kLpcRom + " --serial 1,2,0xdeadbeef,4 -- " + kProbe + " lpc {port}");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(has(r, "device: /dev/pts/")) << r.output;
  EXPECT_TRUE(has(r, "[ 00000001 00000002 DEADBEEF 00000004 ]")) << r.output;
  EXPECT_TRUE(has(r, "synchronized")) << r.output;
}

TEST(StandaloneRoms, LpcIspFaultsReachTheHost) {
  RomRun r = run(kLpcRom + " --silent -- " + kProbe + " lpc {port}");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(has(r, "lpc: no answer")) << r.output;
  r = run(kLpcRom + " --answer 'N=19\\r\\n' -- " + kProbe + " lpc {port}");
  EXPECT_EQ(r.status, 1) << r.output;
}

TEST(StandaloneRoms, LpcIspKeepsTheFlashImage) {
  testsupport::TempDir dir;
  RomRun r = run(kLpcRom + " --flash-out " + dir.file("flash.bin") + " -- true");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(testsupport::readFile(dir.file("flash.bin")), std::string(512 * 1024, '\xFF'));
}

TEST(StandaloneRoms, ImxSdpOverSerial) {
  testsupport::TempDir dir;
  RomRun r = run(kImxRom + " --serial --uid 0x1122334455667788 --memory-out 0x20000000:1000:" + dir.file("mem.bin") +
              " -- " + kProbe + " imx {port}");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(has(r, "uid 1122334455667788")) << r.output;
  EXPECT_TRUE(has(r, "write 0x20000000 2000")) << r.output;
  EXPECT_TRUE(has(r, "jump 0x20000400")) << r.output;
  std::string memory = testsupport::readFile(dir.file("mem.bin"));
  ASSERT_EQ(memory.size(), 1000u);
  EXPECT_EQ(static_cast<unsigned char>(memory[999]), 999 & 0xFF);
}

// The host runs in a process of its own, reaching the emulated HID device
// through umockdev's preload library.
TEST(StandaloneRoms, ImxSdpOverUsbHid) {
  RomRun r = run(kImxRom + " --hid --uid 0xCAFE0000BEEF -- " + kProbe + " imx {port}");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(has(r, "device: USB")) << r.output;
  EXPECT_TRUE(has(r, "uid 0000CAFE0000BEEF")) << r.output;
  EXPECT_TRUE(has(r, "jump 0x20000400")) << r.output;

  r = run(kImxRom + " --hid --no-register-answer -- " + kProbe + " imx {port}");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(has(r, "imx: fingerprint 7")) << r.output;
}

}  // namespace
