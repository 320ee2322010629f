// The simulated LPC17xx ISP ROM against independent host tools written for
// the real chip (lpc21isp, lpcprog from lpctools), on its paced line, and
// the commands those tools rely on. The tools are only the far side here.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sim/ProgramRun.h"
#include "tests/sim/TempDir.h"
#include "tests/sim/bootrom/Lpc17xxIspRom.h"

namespace {

const std::string kRom = SIM_LPC17XX_ISP;
// The tools know the LPC1768 by its part id; lpcprog's parts list only
// the LPC1764, so its runs present the chip as one.
const char kLpc1764[] = "0x26011922";

#define REQUIRE_TOOL(var, name)                                                                  \
  const std::string var = testsupport::findOnPath(name);                                      \
  if (var.empty()) {                                                                             \
    GTEST_SKIP() << name << " is not installed (scripts/setup installs it)";                    \
  }

class LpcRomConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    image = std::string(10240, '\0');
    for (size_t i = 0; i < image.size(); ++i) {
      image[i] = static_cast<char>((i * 131 + 7) >> 3);
    }
    dir.write("image.bin", image);
  }

  // The ROM process running the tool; its exit status.
  int underRom(std::vector<std::string> romOptions, const std::vector<std::string>& command) {
    std::vector<std::string> argv = {kRom, "--flash-out", dir.file("flash.bin")};
    argv.insert(argv.end(), romOptions.begin(), romOptions.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    const int status = testsupport::runProgram(argv, dir.file("out"), dir.file("err"));
    output = testsupport::readFile(dir.file("out")) + testsupport::readFile(dir.file("err"));
    return status;
  }
  bool said(const std::string& text) const { return output.find(text) != std::string::npos; }

  // Flash holds the image, but for word 7, which the tools set to make the
  // vector table's checksum valid; the rest stays erased.
  void expectImageInFlash() {
    const std::string flash = testsupport::readFile(dir.file("flash.bin"));
    ASSERT_EQ(flash.size(), bootrom::Lpc17xxIspRom::kFlashSize);
    EXPECT_EQ(flash.substr(0, 28), image.substr(0, 28));
    EXPECT_EQ(flash.substr(32, image.size() - 32), image.substr(32));
    uint32_t sum = 0;
    for (int word = 0; word < 8; ++word) {
      uint32_t value = 0;
      for (int b = 3; b >= 0; --b) value = value << 8 | static_cast<uint8_t>(flash[word * 4 + b]);
      sum += value;
    }
    EXPECT_EQ(sum, 0u) << "the vector table checksum the chip's boot code looks for";
  }

  testsupport::TempDir dir;
  std::string image;
  std::string output;
};

TEST_F(LpcRomConformance, Lpc21ispDetectsTheChip) {
  REQUIRE_TOOL(lpc21isp, "lpc21isp");
  ASSERT_EQ(underRom({}, {lpc21isp, "-detectonly", "-bin", dir.file("image.bin"), "{port}", "115200", "14746"}), 0)
      << output;
  EXPECT_TRUE(said("LPC1768")) << output;
  EXPECT_TRUE(said("synchronized")) << output;
}

TEST_F(LpcRomConformance, Lpc21ispFlashesAndVerifies) {
  REQUIRE_TOOL(lpc21isp, "lpc21isp");
  ASSERT_EQ(underRom({"--latency", "16"},
                     {lpc21isp, "-verify", "-bin", dir.file("image.bin"), "{port}", "115200", "14746"}),
            0)
      << output;
  EXPECT_TRUE(said("Verified correct")) << output;
  EXPECT_TRUE(said("go 0x")) << output;
  expectImageInFlash();
}

TEST_F(LpcRomConformance, LpcprogReadsTheIdentity) {
  REQUIRE_TOOL(lpcprog, "lpcprog");
  ASSERT_EQ(underRom({"--part", kLpc1764}, {lpcprog, "-d", "{port}", "-c", "id"}), 0) << output;
  EXPECT_TRUE(said("UID: 0x1a2b3c4d - 0x00000042 - 0x8badf00d - 0x00c0ffee")) << output;
  EXPECT_TRUE(said("Boot code version is 4.1")) << output;
}

TEST_F(LpcRomConformance, LpcprogFlashes) {
  REQUIRE_TOOL(lpcprog, "lpcprog");
  ASSERT_EQ(underRom({"--part", kLpc1764}, {lpcprog, "-d", "{port}", "-c", "flash", dir.file("image.bin")}), 0)
      << output;
  EXPECT_FALSE(said("rror")) << output;
  expectImageInFlash();
}

// --- the commands as the manual defines them ---------------------------------

// Answers of a synchronised, unlocked ROM with echo off, on flash that
// holds a few bytes.
std::string answer(const std::string& command) {
  bootrom::Lpc17xxIspRom rom;
  rom.loadFlash(0x1004, {0x11, 0x22, 0x33, 0x44});
  rom.receive("?");
  rom.receive("Synchronized\r\n");
  rom.receive("14746\r\n");
  rom.receive("U 23130\r\n");
  rom.receive("A 0\r\n");
  return rom.receive(command + "\r\n");
}

TEST(LpcRomCommands, AnswerAsTheManualSays) {
  const struct {
    const char* command;
    const char* answer;
  } cases[] = {
      {"K", "0\r\n1\r\n4\r\n"},                     // byte 0 (minor) first
      {"I 0 0", "0\r\n"},                            // blank
      {"I 1 2", "8\r\n4100\r\n1144201745\r\n"},      // first word not blank, and its contents
      {"I 3 2", "7\r\n"},                            // INVALID_SECTOR
      {"I 0 30", "7\r\n"},
      {"M 0 4096 4", "0\r\n"},                       // both erased
      {"M 4096 4092 8", "10\r\n4\r\n"},              // COMPARE_ERROR at offset 4
      {"M 4096 4100 6", "6\r\n"},                    // COUNT_ERROR
      {"M 4098 4096 4", "13\r\n"},                   // ADDR_ERROR
      {"M 524288 0 4", "14\r\n"},                    // ADDR_NOT_MAPPED
      {"G 0 T", "0\r\n"},
      {"G 0 A", "12\r\n"},                           // Thumb code only
      {"G 2 T", "13\r\n"},                           // not a word
      {"G 1073741824 T", "14\r\n"},                  // neither flash nor RAM
  };
  for (const auto& c : cases) {
    EXPECT_EQ(answer(c.command), c.answer) << c.command;
  }
}

TEST(LpcRomCommands, GoIsLockedUntilUnlock) {
  bootrom::Lpc17xxIspRom rom;
  rom.receive("?");
  rom.receive("Synchronized\r\n");
  rom.receive("14746\r\n");
  rom.receive("A 0\r\n");
  EXPECT_EQ(rom.receive("G 0 T\r\n"), "15\r\n");
  EXPECT_FALSE(rom.running());
}

}  // namespace
