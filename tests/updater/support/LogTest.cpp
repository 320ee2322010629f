#include "updater/support/Log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/updater/support/CapturedFd.h"

namespace {

// Log's state is process-wide; every test starts from the program-start
// values and logs into a memory stream.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Log::package_bitmask = 0;
    Log::fh = nullptr;
    Log::timestamped = false;
    stream_ = open_memstream(&buffer_, &size_);
    ASSERT_NE(stream_, nullptr);
  }
  void TearDown() override {
    Log::fh = nullptr;
    Log::timestamped = false;
    fclose(stream_);
    free(buffer_);
  }
  std::string logged() {
    fflush(stream_);
    return std::string(buffer_, size_);
  }

  FILE* stream_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

struct MaskCase {
  const char* shows;
  uint32_t active;
  uint32_t mask;
  bool printed;
};

const MaskCase kMaskCases[] = {
    {"mask 0 prints with nothing active", 0, 0, true},
    {"mask 0 prints with bits active", 0x100, 0, true},
    {"nothing active drops a masked line", 0, DEBUG_Updater, false},
    {"-X 0x100 prints 0x100", 0x100, DEBUG_Network, true},
    {"-X 0x100 drops 0x1", 0x100, DEBUG_Updater, false},
    {"-X 0x101 prints 0x1", 0x101, DEBUG_Updater, true},
    {"-X 0x101 prints 0x100", 0x101, DEBUG_Network, true},
    {"the two network bits are separate", DEBUG_Network_Reserved, DEBUG_Network, false},
    {"a line with several bits prints when one is active", DEBUG_NXPSerial_E,
     DEBUG_NXPSerial | DEBUG_NXPSerial_E | DEBUG_NXPSerial_SR, true},
    {"a line with several bits drops when none is active", DEBUG_APP, DEBUG_NXPSerial | DEBUG_NXPSerial_SR, false},
    {"the top bit", DEBUG_iMXSerial, DEBUG_iMXSerial, true},
};

TEST_F(LogTest, PrintsByMask) {
  for (const MaskCase& c : kMaskCases) {
    SCOPED_TRACE(c.shows);
    fclose(stream_);
    free(buffer_);
    buffer_ = nullptr;
    stream_ = open_memstream(&buffer_, &size_);
    Log::package_bitmask = 0;
    Log::ActivatePackage(c.active);
    Log::SetOutput(stream_);
    Log::log(c.mask, "line %d\n", 7);
    EXPECT_EQ(logged(), c.printed ? "line 7\n" : "");
  }
}

TEST_F(LogTest, WritesTextAsItIsWithNothingAdded) {
  Log::SetOutput(stream_);
  Log::log(0, "a=%s", "1");
  Log::log(0, "%c%02X", 'b', 10);
  EXPECT_EQ(logged(), "a=1b0A");
}

TEST_F(LogTest, WritesNothingBeforeAnOutputIsSet) {
  testsupport::CapturedFd out(STDOUT_FILENO);
  testsupport::CapturedFd err(STDERR_FILENO);
  Log::ActivatePackage(0xFFFFFFFF);
  Log::log(0, "mask zero\n");
  Log::log(DEBUG_Updater, "updater\n");
  std::string written = out.release() + err.release();
  EXPECT_EQ(written, "");
  EXPECT_EQ(logged(), "");
}

TEST_F(LogTest, CutsAnOverlongMessageAtTheBuffer) {
  Log::SetOutput(stream_);
  std::string fits(2047, 'f');
  Log::log(0, "%s", fits.c_str());
  EXPECT_EQ(logged(), fits);

  std::string longer(5000, 'x');
  Log::log(0, "%s|", longer.c_str());
  EXPECT_EQ(logged(), fits + std::string(2047, 'x'));
}

TEST_F(LogTest, DeactivateClearsExactlyTheGivenBits) {
  Log::ActivatePackage(DEBUG_Updater | DEBUG_Attributes | DEBUG_Network | DEBUG_APP | DEBUG_iMXSerial);
  Log::DeactivatePackage(DEBUG_Updater | DEBUG_Network | DEBUG_BirdFile);
  EXPECT_EQ(Log::package_bitmask, DEBUG_Attributes | DEBUG_APP | DEBUG_iMXSerial);

  Log::SetOutput(stream_);
  Log::log(DEBUG_Network, "gone\n");
  Log::log(DEBUG_APP, "kept\n");
  EXPECT_EQ(logged(), "kept\n");
}

std::string utcStamp(time_t when) {
  struct tm utc;
  gmtime_r(&when, &utc);
  char text[64];
  strftime(text, sizeof text, "%Y:%m:%d:%H:%M:%S", &utc);
  return text;
}

TEST_F(LogTest, StampsFormatsOfElevenCharactersOrMoreInUtcOnStandardOutput) {
  // A zone far from UTC, so a local-time stamp cannot pass for UTC.
  setenv("TZ", "XST-5:30", 1);
  tzset();
  Log::SetOutput(stream_);
  Log::timestamped = true;

  testsupport::CapturedFd out(STDOUT_FILENO);
  time_t before = time(nullptr);
  Log::log(0, "0123456789");
  std::string afterTen = out.release();

  testsupport::CapturedFd out2(STDOUT_FILENO);
  Log::log(0, "0123456789A");
  std::string afterEleven = out2.release();
  time_t after = time(nullptr);

  EXPECT_EQ(afterTen, "");
  EXPECT_EQ(logged(), "01234567890123456789A");
  ASSERT_EQ(afterEleven.size(), 19u + 3u) << afterEleven;
  EXPECT_EQ(afterEleven.substr(19), " | ");
  std::string stamp = afterEleven.substr(0, 19);
  EXPECT_TRUE(stamp == utcStamp(before) || stamp == utcStamp(after)) << stamp;
  unsetenv("TZ");
  tzset();
}

}  // namespace
