// Stream keys, stream packet kinds and sample layouts, and the
// single-producer single-consumer ring, without a module.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LocklessQueue_SPSC.h"
#include "tests/sim/module/StreamSource.h"

namespace {

using simmodule::StreamSource;
using Zeltrova::LocklessQueue_SPSC;
using Zeltrova::Tessarine::Link;
using Bytes = std::vector<uint8_t>;

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

Packet make(uint8_t address, const Bytes& data) {
  return Packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

Packet sample(StreamSource::Kind kind, uint32_t value, uint8_t subindex, uint64_t timestamp) {
  return make(6, StreamSource::sample(6, 0x30, 5, 2, kind, value, subindex, timestamp).data);
}

TEST(StreamKeys, PackFiveElementsAndReadThemBack) {
  const uint64_t key = Link::createStreamKey(0x06, 0x30, 0x05, 0x02, 0x07);
  EXPECT_EQ(key, 0x0706300502ull);
  struct Row {
    Link::STREAM_KEY element;
    uint8_t value;
  } rows[] = {{Link::STREAM_KEY_MODULE, 0x06},   {Link::STREAM_KEY_CMD, 0x30},
              {Link::STREAM_KEY_OPTION, 0x05},   {Link::STREAM_KEY_INDEX, 0x02},
              {Link::STREAM_KEY_SUBINDEX, 0x07}, {static_cast<Link::STREAM_KEY>(5), 0}};
  for (const Row& row : rows) {
    EXPECT_EQ(Link::getStreamKeyElement(key, row.element), row.value) << "element " << row.element;
  }
  // Bits 40..63 stay clear even with every element at its wildcard.
  EXPECT_EQ(Link::createStreamKey(0xFF, 0xFF, 0xFF, 0xFF, 0xFF), 0xFFFFFFFFFFull);

  uint32_t high = 1;
  uint32_t low = 1;
  EXPECT_EQ(Link::getTimestampParts(0x0123456789ABCDEFull, &high, &low), aErrNone);
  EXPECT_EQ(high, 0x01234567u);
  EXPECT_EQ(low, 0x89ABCDEFu);
  EXPECT_EQ(Link::getTimestampParts(5, nullptr, nullptr), aErrNone);
}

TEST(StreamPackets, KindsOfStreamPackets) {
  struct Row {
    const char* what;
    Bytes data;
    bool stream;
    Link::STREAM_PACKET kind;
  } rows[] = {
      {"kind 1 sample", {0x30, 5, 0x42, 1, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0}, true, Link::STREAM_PACKET_U8},
      {"kind 7 in byte 3", {0x30, 5, 0x42, 7, 1, 0, 0}, true, Link::STREAM_PACKET_SUBINDEX_U32},
      {"array, more follow", {0x30, 5, 0x42, 1, 2, 0x80}, true, Link::STREAM_PACKET_BYTES},
      {"array, last of several", {0x30, 5, 0x42, 1, 2, 0x03}, true, Link::STREAM_PACKET_BYTES},
      {"kind 0 in byte 3", {0x30, 5, 0x42, 0, 1, 0}, true, Link::STREAM_PACKET_NONE},
      {"kind 8 in byte 3", {0x30, 5, 0x42, 8, 1, 0}, true, Link::STREAM_PACKET_NONE},
      {"four data bytes", {0x30, 5, 0x42, 1}, false, Link::STREAM_PACKET_NONE},
      {"get request bit", {0x30, 0x45, 0x42, 1, 1, 0}, false, Link::STREAM_PACKET_NONE},
      {"set request bit", {0x30, 0x85, 0x42, 1, 1, 0}, false, Link::STREAM_PACKET_NONE},
      {"no stream bit", {0x30, 5, 0x02, 1, 1, 0}, false, Link::STREAM_PACKET_NONE},
      {"store-slot reply (not UEI)", {4, 5, 0x42, 1, 1, 0}, false, Link::STREAM_PACKET_NONE},
  };
  for (const Row& row : rows) {
    Packet packet = make(6, row.data);
    Link::STREAM_PACKET kind = Link::STREAM_PACKET_U16;
    EXPECT_EQ(Link::isStreamPacket(packet.get()), row.stream) << row.what;
    EXPECT_EQ(Link::getStreamPacketType(packet.get(), &kind), row.kind != Link::STREAM_PACKET_NONE) << row.what;
    EXPECT_EQ(kind, row.kind) << row.what;
  }
  EXPECT_FALSE(Link::isStreamPacket(nullptr));
  for (int kind = 0; kind <= 8; ++kind) {
    EXPECT_EQ(Link::isSubindexType(static_cast<Link::STREAM_PACKET>(kind)), kind >= 5 && kind <= 7) << kind;
  }
}

TEST(StreamPackets, SamplesOfEveryKindAndLength) {
  struct Row {
    StreamSource::Kind kind;
    uint32_t value;
    uint8_t subindex;
    uint8_t length;
  } rows[] = {
      {StreamSource::U8, 0xA5, 0, 14},        {StreamSource::U16, 0xBEEF, 0, 15},
      {StreamSource::U32, 0xDEADBEEF, 0, 17}, {StreamSource::SubU8, 0x5A, 3, 15},
      {StreamSource::SubU16, 0x1234, 9, 16},  {StreamSource::SubU32, 0x89ABCDEF, 31, 18},
  };
  const uint64_t stamp = 0x0000000200000003ull;
  for (const Row& row : rows) {
    Packet packet = sample(row.kind, row.value, row.subindex, stamp);
    ASSERT_EQ(packet->dataSize, row.length) << "kind " << int(row.kind);
    EXPECT_TRUE(Link::isStreamSample(packet.get())) << "kind " << int(row.kind);
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0xEE;
    EXPECT_EQ(Link::getStreamSample(packet.get(), &timestamp, &value, &subindex), aErrNone);
    EXPECT_EQ(timestamp, stamp);
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(subindex, row.subindex);
    EXPECT_EQ(Link::getStreamSample(packet.get(), nullptr, nullptr, nullptr), aErrNone);

    // One byte more or less, or a sequence byte that is not 0: no sample.
    Bytes longer(packet->data, packet->data + packet->dataSize);
    longer.insert(longer.end() - 1, 0);
    Bytes shorter(packet->data, packet->data + packet->dataSize);
    shorter.erase(shorter.end() - 2);
    for (const Bytes& data : {longer, shorter}) {
      Packet bad = make(6, data);
      EXPECT_FALSE(Link::isStreamSample(bad.get())) << "kind " << int(row.kind) << " length " << data.size();
      EXPECT_EQ(Link::getStreamSample(bad.get(), nullptr, &value, nullptr), aErrPacket);
    }
  }

  // The positions of a 14-byte kind-1 and a 15-byte kind-5 sample.
  Packet one = make(6, {0x30, 5, 0x42, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0});
  uint64_t timestamp = 0;
  uint32_t value = 0;
  uint8_t subindex = 0xEE;
  ASSERT_EQ(Link::getStreamSample(one.get(), &timestamp, &value, &subindex), aErrNone);
  EXPECT_EQ(timestamp, 0x0000000100000002ull);
  EXPECT_EQ(value, 0x7Fu);
  EXPECT_EQ(subindex, 0);
  Packet five = make(6, {0x30, 5, 0x42, 5, 4, 0, 0, 0, 1, 0, 0, 0, 2, 0x7F, 0});
  ASSERT_EQ(Link::getStreamSample(five.get(), &timestamp, &value, &subindex), aErrNone);
  EXPECT_EQ(subindex, 4);
  EXPECT_EQ(timestamp, 0x0000000100000002ull);
  EXPECT_EQ(value, 0x7Fu);

  Packet array = make(6, {0x30, 5, 0x42, 1, 2, 0x80});
  EXPECT_EQ(Link::getStreamSample(array.get(), &timestamp, &value, &subindex), aErrSize);
  Packet reply = make(6, {0x30, 5, 0x02, 1, 2, 0});
  EXPECT_EQ(Link::getStreamSample(reply.get(), &timestamp, &value, &subindex), aErrPacket);
}

TEST(SpscRing, FullAtOneBelowItsSlots) {
  LocklessQueue_SPSC<int> ring(500);
  int pushed = 0;
  while (ring.push(pushed)) {
    ++pushed;
  }
  EXPECT_EQ(pushed, 499);
  int value = -1;
  ASSERT_TRUE(ring.pop(&value));
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(ring.push(499));
  EXPECT_FALSE(ring.push(500));
  for (int expected = 1; expected <= 499; ++expected) {
    ASSERT_TRUE(ring.pop(&value));
    EXPECT_EQ(value, expected);
  }
  EXPECT_FALSE(ring.pop(&value));
  EXPECT_TRUE(ring.empty());
}

// One producer and one consumer running free: every item arrives once and
// in order (and the sanitizers see no race on the slots).
TEST(SpscRing, TenMillionItemsInOrderAcrossTwoThreads) {
  constexpr uint32_t kItems = 10000000;
  LocklessQueue_SPSC<uint32_t> ring(500);
  std::thread producer([&] {
    for (uint32_t i = 0; i < kItems;) {
      if (ring.push(i)) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
  });
  uint32_t expected = 0;
  uint32_t misordered = 0;
  while (expected < kItems) {
    uint32_t value = 0;
    if (ring.pop(&value)) {
      misordered += value != expected ? 1 : 0;
      ++expected;
    } else {
      std::this_thread::yield();
    }
  }
  producer.join();
  EXPECT_EQ(misordered, 0u);
  EXPECT_TRUE(ring.empty());
}

}  // namespace
