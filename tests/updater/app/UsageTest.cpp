#include "updater/Usage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/updater/app/RecordingDisplay.h"
#include "tests/updater/support/CapturedFd.h"

namespace {

// The four pieces of the usage text, byte for byte, in usage/.
std::string piece(const char* name) {
  std::ifstream in(std::string(USAGE_TEXT_DIR) + "/" + name + ".txt", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Usage, TextsByteForByte) {
  const std::string synopsis = piece("synopsis");
  const std::string commands = piece("commands");
  const std::string extended = piece("extended");
  const std::string samples = piece("samples");
  ASSERT_FALSE(synopsis.empty());
  ASSERT_FALSE(samples.empty());

  EXPECT_EQ(_usage_text(false, false), synopsis);
  // The extended block is part of the full text only.
  EXPECT_EQ(_usage_text(true, false), synopsis);
  EXPECT_EQ(_usage_text(false, true), synopsis + commands + samples);
  EXPECT_EQ(_usage_text(true, true), synopsis + commands + extended + samples);
}

TEST(Usage, WrittenToStandardErrorOnly) {
  testsupport::CapturedFd out(STDOUT_FILENO);
  testsupport::CapturedFd err(STDERR_FILENO);
  _display_usage(true, true);
  std::string written = err.release();
  std::string printed = out.release();
  EXPECT_EQ(written, _usage_text(true, true));
  EXPECT_EQ(printed, "");
}

TEST(Usage, BannerAndNotice) {
  testsupport::RecordingDisplay display;
  _display_app_version(display);
  _display_copyright(display);
  ASSERT_EQ(display.lines.size(), 2u);
  EXPECT_EQ(display.lines[0], "I:Updater (Version: 2.10.6 Mar 15 2024)");
  EXPECT_EQ(display.lines[1].substr(0, 3), "I:(");
  EXPECT_EQ(display.lines[1].back(), ')');
}

}  // namespace
