// The serial stream on a line that carries bytes at its rate (the boot-ROM
// peer's paced pseudo-terminal): a write ends once its bytes have left the
// line, and destroying the stream right after a write loses nothing and
// sends nothing at the settings put back.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "Tessarine2/common/aStream.h"
#include "tests/sim/bootrom/SerialRomPeer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Heard {
  std::mutex mutex;
  std::condition_variable changed;
  std::string bytes;
};

TEST(SerialDrain, WritesEndOnTheWireAndCloseLosesNothing) {
  Heard heard;
  bootrom::SerialLineOptions line;
  line.baud = 9600;
  bootrom::SerialRomPeer peer{[&](const std::string& in) {
                                std::lock_guard<std::mutex> lock(heard.mutex);
                                heard.bytes += in;
                                heard.changed.notify_all();
                                return std::string();
                              },
                              line};
  const std::string text(96, 'z');  // 100 ms at 9600 baud
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(peer.devicePath().c_str(), 2, false, 0, 0, &stream), aErrNone);  // 9600
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(aStream_Write(stream, text.data(), text.size()), aErrNone);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));
  ASSERT_EQ(aStream_Write(stream, text.data(), text.size()), aErrNone);
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);

  std::unique_lock<std::mutex> lock(heard.mutex);
  heard.changed.wait_for(lock, std::chrono::seconds(2), [&] { return heard.bytes.size() >= 2 * text.size(); });
  EXPECT_EQ(heard.bytes, text + text) << "every byte arrived, and at the rate it was sent at";
}

}  // namespace
