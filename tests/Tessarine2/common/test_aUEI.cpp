#include "Tessarine2/common/aUEI.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr packetOf(const std::vector<uint8_t>& data) {
  static const uint8_t none = 0;  // an empty vector may have no storage at all
  PacketPtr p(aPacket_CreateWithData(0x10, static_cast<uint8_t>(data.size()),
                                     data.empty() ? &none : data.data()));
  EXPECT_NE(p, nullptr);
  return p;
}

constexpr uint8_t kGuard = 0xA5;

TEST(UEIValues, ShortsAreBigEndian) {
  const struct {
    uint16_t value;
    uint8_t bytes[2];
  } rows[] = {{0, {0, 0}}, {258, {0x01, 0x02}}, {0x8001, {0x80, 0x01}}, {0xFFFF, {0xFF, 0xFF}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.value));
    // Odd offset: the helpers must not need an aligned address.
    uint8_t buffer[5] = {kGuard, kGuard, kGuard, kGuard, kGuard};
    aUEI_StoreShort(buffer + 1, row.value);
    EXPECT_EQ(buffer[1], row.bytes[0]);
    EXPECT_EQ(buffer[2], row.bytes[1]);
    EXPECT_EQ(buffer[0], kGuard);
    EXPECT_EQ(buffer[3], kGuard);
    EXPECT_EQ(aUEI_RetrieveShort(buffer + 1), row.value);
    EXPECT_EQ(aUEI_RetrieveShort(row.bytes), row.value);
  }
}

TEST(UEIValues, IntsAreBigEndian) {
  const struct {
    uint32_t value;
    uint8_t bytes[4];
  } rows[] = {
      {0, {0, 0, 0, 0}},
      {258, {0, 0, 1, 2}},
      {0x01020304, {0x01, 0x02, 0x03, 0x04}},
      {0x80000001, {0x80, 0x00, 0x00, 0x01}},
      {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.value));
    uint8_t buffer[7];
    std::memset(buffer, kGuard, sizeof buffer);
    aUEI_StoreInt(buffer + 1, row.value);
    EXPECT_EQ(0, std::memcmp(buffer + 1, row.bytes, 4));
    EXPECT_EQ(buffer[0], kGuard);
    EXPECT_EQ(buffer[5], kGuard);
    EXPECT_EQ(aUEI_RetrieveInt(buffer + 1), row.value);
    EXPECT_EQ(aUEI_RetrieveInt(row.bytes), row.value);
  }
}

TEST(UEIValues, ModifyIntBufferConvertsExactlyCountWords) {
  const uint8_t bytes[12] = {0x01, 0x02, 0x03, 0x04, 0xFF, 0x00, 0x00, 0x80, 9, 9, 9, 9};
  uint32_t words[3];
  std::memcpy(words, bytes, sizeof words);
  const uint32_t third = words[2];

  aUEI_ModifyIntBuffer(words, 0);
  EXPECT_EQ(0, std::memcmp(words, bytes, sizeof words));

  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x01020304u);
  EXPECT_EQ(words[1], 0xFF000080u);
  EXPECT_EQ(words[2], third);
}

TEST(UEIBytes, SequenceContinueAndFullPacket) {
  const struct {
    const char* shows;
    std::vector<uint8_t> data;
    uint8_t sequence;
    bool more;
    bool full;
  } rows[] = {
      {"sequence 5, more follow", {0x11, 0x22, 0x85}, 5, true, false},
      {"sequence 5, last packet", {0x11, 0x22, 0x05}, 5, false, false},
      {"only the last byte counts", {0x85, 0x22, 0x03}, 3, false, false},
      {"largest sequence", {0x7F}, 127, false, false},
      {"largest sequence, more follow", {0xFF}, 127, true, false},
      {"sequence 0, more follow", {0x80}, 0, true, false},
      {"26 bytes is not full", std::vector<uint8_t>(26, 0x81), 1, true, false},
      {"27 bytes is full", std::vector<uint8_t>(27, 0x02), 2, false, true},
      {"28 bytes is full", std::vector<uint8_t>(28, 0x83), 3, true, true},
      {"no data bytes", {}, 0, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.shows);
    PacketPtr p = packetOf(row.data);
    EXPECT_EQ(aUEI_getBytesSequence(p.get()), row.sequence);
    EXPECT_EQ(aUEI_getBytesContinue(p.get()), row.more);
    EXPECT_EQ(aUEI_getBytesFullPacket(p.get()), row.full);
  }
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(UEIPayload, NonUEICommandsByCommandByte) {
  const std::set<uint8_t> nonUEI = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  for (int command = 0; command <= 255; ++command) {
    SCOPED_TRACE(std::to_string(command));
    PacketPtr p = packetOf({static_cast<uint8_t>(command), 0x01, 0x02});
    bool expected = nonUEI.count(static_cast<uint8_t>(command)) != 0;
    EXPECT_EQ(aUEI_isNotUEIPayload(p.get()), expected);
    EXPECT_EQ(aUEI_isUEIPayload(p.get()), !expected);
  }
  // The length is not consulted: an empty packet reads command byte 0.
  PacketPtr empty = packetOf({});
  EXPECT_TRUE(aUEI_isNotUEIPayload(empty.get()));

  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(UEIPayload, StreamPackets) {
  const struct {
    const char* shows;
    std::vector<uint8_t> data;
    bool stream;
  } rows[] = {
      {"five bytes, plain option, stream index", {0x10, 0x05, 0x45, 0, 0}, true},
      {"28 bytes", {0x10, 0x3F, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true},
      {"index with its top bit too", {0x10, 0x00, 0xC0, 0, 0}, true},
      {"four bytes are too few", {0x10, 0x05, 0x45, 0}, false},
      {"option bit 6 set", {0x10, 0x45, 0x45, 0, 0}, false},
      {"option bit 7 set", {0x10, 0x85, 0x45, 0, 0}, false},
      {"index without bit 6", {0x10, 0x05, 0x85, 0, 0}, false},
      {"non-UEI command", {0x04, 0x05, 0x45, 0, 0}, false},
      {"link-control command", {0xAD, 0x05, 0x45, 0, 0}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.shows);
    PacketPtr p = packetOf(row.data);
    EXPECT_EQ(aUEI_isStreamPacket(p.get()), row.stream);
  }
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

}  // namespace
