// The wait that keeps a reader of an idle socket or serial stream from
// spinning, while a byte that arrives is still read at once.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Tessarine2/common/aStream.h"
#include "tests/sim/PtyPeer.h"
#include "tests/sim/TcpPeer.h"

namespace {

using clock_type = std::chrono::steady_clock;

double threadCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A stream with a far side that can send it bytes.
class Line {
 public:
  virtual ~Line() = default;
  virtual aStream* stream() = 0;
  virtual bool send(const std::string& bytes) = 0;
};

class SocketLine : public Line {
 public:
  SocketLine() {
    EXPECT_EQ(aStream_CreateSocket(testsupport::TcpPeer::address(), peer_.port(), &stream_), aErrNone);
    EXPECT_TRUE(peer_.accept(2000));
  }
  ~SocketLine() override { aStream_Destroy(&stream_); }
  aStream* stream() override { return stream_; }
  bool send(const std::string& bytes) override { return peer_.send(bytes); }

 private:
  testsupport::TcpPeer peer_;
  aStream* stream_ = nullptr;
};

class SerialLine : public Line {
 public:
  SerialLine() {
    EXPECT_EQ(aStream_CreateSerial(peer_.devicePath().c_str(), aSERIAL_115200, false, 0, 0, &stream_), aErrNone);
  }
  ~SerialLine() override { aStream_Destroy(&stream_); }
  aStream* stream() override { return stream_; }
  bool send(const std::string& bytes) override { return peer_.send(bytes); }

 private:
  testsupport::PtyPeer peer_;
  aStream* stream_ = nullptr;
};

class StreamWait : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "socket") {
      line = std::make_unique<SocketLine>();
    } else {
      line = std::make_unique<SerialLine>();
    }
    ASSERT_NE(line->stream(), nullptr);
  }
  std::unique_ptr<Line> line;
};

TEST_P(StreamWait, IdleReaderUsesAlmostNoCPU) {
  aStream* stream = line->stream();
  int reads = 0;
  double cpuBefore = threadCPUSeconds();
  auto start = clock_type::now();
  // The reader loop of a link on an idle line.
  while (clock_type::now() - start < std::chrono::milliseconds(300)) {
    uint8_t byte;
    ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    ++reads;
    EXPECT_EQ(aStream_WaitReadable(stream, 100), aErrTimeout);
  }
  double cpu = threadCPUSeconds() - cpuBefore;
  EXPECT_LT(cpu, 0.03) << "CPU seconds over 300 ms of waiting";
  EXPECT_LE(reads, 10);
}

TEST_P(StreamWait, ArrivingByteEndsTheWaitPromptly) {
  aStream* stream = line->stream();
  std::atomic<bool> woke{false};
  aErr waited = aErrUnknown;
  clock_type::time_point wokeAt;
  std::thread reader([&] {
    waited = aStream_WaitReadable(stream, 10000);
    wokeAt = clock_type::now();
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(woke) << "the wait returned before anything arrived";
  auto sentAt = clock_type::now();
  ASSERT_TRUE(line->send("Z"));
  reader.join();
  EXPECT_EQ(waited, aErrNone);
  EXPECT_LT(wokeAt - sentAt, std::chrono::milliseconds(500));
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 'Z');
}

TEST_P(StreamWait, ZeroTimeoutOnlyLooks) {
  aStream* stream = line->stream();
  auto start = clock_type::now();
  EXPECT_EQ(aStream_WaitReadable(stream, 0), aErrTimeout);
  EXPECT_LT(clock_type::now() - start, std::chrono::milliseconds(100));
  ASSERT_EQ(aStreamBufferChar(stream, 'p'), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(stream, 10000), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamWait, ::testing::Values("socket", "serial"));

}  // namespace
