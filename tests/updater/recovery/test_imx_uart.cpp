// Conformance: Debian's imx_uart (imx-usb-loader), a host tool written for
// the real chips, loads an image into the simulated i.MX RT boot ROM on its
// paced serial line, verifies it and starts it. It is only the far side
// here; the suite skips when it is not installed.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/sim/ProgramRun.h"
#include "tests/sim/TempDir.h"

namespace {

const std::string kImxRom = SIM_IMXRT_SDP;

using testsupport::CommandRun;
using testsupport::runCommand;

void putWord(std::string& image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
}

// An image as imx_uart expects one: the image vector table at its start,
// naming where it goes (self) and, through the boot data, how long it is.
std::string bootImage(uint32_t self, size_t size) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 7) & 0xFF);
  const char header[] = {'\xD1', '\x00', '\x20', '\x41'};
  image.replace(0, 4, header, 4);
  putWord(image, 4, self + 0x1001);  // entry
  putWord(image, 8, 0);
  putWord(image, 12, 0);            // no DCD
  putWord(image, 16, self + 0x20);  // boot data, right behind
  putWord(image, 20, self);
  putWord(image, 24, 0);
  putWord(image, 28, 0);
  putWord(image, 32, self);  // boot data: start, length, plugin
  putWord(image, 36, static_cast<uint32_t>(size));
  putWord(image, 40, 0);
  return image;
}

TEST(ImxUart, LoadsVerifiesAndStartsAnImageOnThePacedLine) {
  const std::string tool = testsupport::findOnPath("imx_uart");
  if (tool.empty()) {
    GTEST_SKIP() << "imx_uart (Debian package imx-usb-loader) is not installed";
  }
  testsupport::TempDir dir;
  // The chip's RAM for the tool: DTCM, OCRAM and ITCM, 512 KiB each. No
  // association phase (-N) and no RTS/CTS (-n): the ROM's UART has neither.
  const std::string config = dir.write("imxrt.conf",
                                       "imxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,512K,0x00000000,512K\n");
  const uint32_t self = 0x20000400;
  const std::string image = bootImage(self, 16 * 1024);
  const std::string file = dir.write("loader.imx", image);
  // The started image speaks on the UART, as a boot loader's banner would;
  // the tool reads its answer to the jump from there.
  const CommandRun r = runCommand(kImxRom + " --serial --after-jump 'U-Boot\\r\\n' --memory-out 0x20000400:16384:" +
                    dir.file("memory.bin") + " -- " + tool + " -N -n -v {port} " + config + " " + file);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("status 0x88888888"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Verify success"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("write 0x20000400 16384"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("jump 0x20000400"), std::string::npos) << r.output;
  EXPECT_EQ(testsupport::readFile(dir.file("memory.bin")), image);
}

}  // namespace
