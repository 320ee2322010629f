#ifndef TESTS_TESSARINE2_COMMON_PACKETFIFO_SUPPORT_H
#define TESTS_TESSARINE2_COMMON_PACKETFIFO_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/common/packetfifo.h"

namespace fifotest {

using std::chrono::milliseconds;
using steadyClock = std::chrono::steady_clock;

constexpr uint8_t kAddress = 0x10;

struct PacketFree {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using Packet = std::unique_ptr<aPacket, PacketFree>;

// A test packet: data byte 0 is the command, bytes 1 and 2 a 16-bit tag
// that tells the packets apart.
inline Packet makePacket(uint8_t cmd, uint16_t tag) {
  const uint8_t data[3] = {cmd, static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
  return Packet(aPacket_CreateWithData(kAddress, sizeof data, data));
}

inline uint16_t tagOf(const aPacket* p) { return static_cast<uint16_t>(p->data[1] << 8 | p->data[2]); }

inline aErr put(aPacketFifoHandle fifo, uint8_t cmd, uint16_t tag) {
  Packet p = makePacket(cmd, tag);
  return aPacketFifo_Put(fifo, p.get());
}

inline bool acceptAll(const aPacket*, const void*) { return true; }
inline bool acceptNone(const aPacket*, const void*) { return false; }

// Remembers the tag of every packet offered to it and accepts one command.
// Waiting on it tells a test that a waiter has scanned the queue: the filter
// runs under the FIFO's mutex, which the waiter keeps until it sleeps (or
// spins, watching for the next put).
class OfferLog {
 public:
  explicit OfferLog(uint8_t wantedCmd) : wanted_(wantedCmd) {}

  static bool filter(const aPacket* p, const void* self) {
    return static_cast<const OfferLog*>(self)->offer(p);
  }

  bool waitForOffers(size_t count, milliseconds limit = milliseconds(10000)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return offered_.wait_for(lock, limit, [&] { return tags_.size() >= count; });
  }

  std::vector<uint16_t> tags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tags_;
  }

 private:
  bool offer(const aPacket* p) const {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tags_.push_back(tagOf(p));
    }
    offered_.notify_all();
    return p->data[0] == wanted_;
  }

  uint8_t wanted_;
  mutable std::mutex mutex_;
  mutable std::condition_variable offered_;
  mutable std::vector<uint16_t> tags_;
};

// One FIFO per test, destroyed afterwards unless the test did.
class FifoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fifo_ = aPacketFifo_Create();
    ASSERT_NE(fifo_, 0u);
  }
  void TearDown() override {
    if (fifo_ != 0) {
      EXPECT_EQ(aPacketFifo_Destroy(&fifo_), aErrNone);
    }
  }

  // Tags of the queued packets, oldest first, read through a fresh offering
  // window, which also shows the window still reaches every queued packet.
  std::vector<uint16_t> queuedTags() {
    OfferLog log(0xFF);
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, OfferLog::filter, &log, 0), nullptr);
    return log.tags();
  }

  aPacketFifoHandle fifo_ = 0;
};

}  // namespace fifotest

#endif
