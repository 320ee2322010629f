// The data side of the LPC17xx ISP client: uuencoded lines, sums, copy
// sizes, sectors and return-code texts.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/sim/bootrom/Lpc17xxIspRom.h"
#include "updater/recovery/NXPSerialClass.h"

namespace {

std::string hexOf(const std::string& text) {
  std::string out;
  char piece[4];
  for (unsigned char c : text) {
    snprintf(piece, sizeof piece, "%02X ", c);
    out += piece;
  }
  return out;
}

std::string encode(const std::vector<uint8_t>& data) {
  char line[NXPSerialClass::UU_LINE_SIZE];
  NXPSerialClass::uuencode(line, data.data(), data.size());
  return line;
}

struct EncodeCase {
  const char* what;
  std::vector<uint8_t> data;
  const char* hex;
};

TEST(NXPSerialCodec, UuencodeWritesTheIspLineLayout) {
  const EncodeCase cases[] = {
      {"three zero bytes: blanks become grave accents", {0, 0, 0}, "23 60 60 60 60 "},
      {"four bytes: the last group is padded with zeros", {1, 2, 3, 4}, "24 60 30 28 23 21 60 60 60 "},
      {"one byte", {0xFF}, "21 5F 50 60 60 "},
  };
  for (const EncodeCase& c : cases) {
    EXPECT_EQ(hexOf(encode(c.data)), c.hex) << c.what;
  }
  std::vector<uint8_t> full(45, 0xA5);
  EXPECT_EQ(encode(full).size(), 61u);
  EXPECT_EQ(encode(full)[0], 'M');  // 45 + 0x20
}

TEST(NXPSerialCodec, UuencodeTakesAtMostOneLine) {
  std::vector<uint8_t> data(100, 7);
  char line[NXPSerialClass::UU_LINE_SIZE];
  EXPECT_EQ(NXPSerialClass::uuencode(line, data.data(), data.size()), 45u);
  EXPECT_EQ(std::strlen(line), 61u);
}

// Lines written by the client must be what the ROM reads, and the other
// way round: both sides' coders are independent.
TEST(NXPSerialCodec, LinesRoundTripThroughTheRomsCoder) {
  std::mt19937 random(1234);
  for (size_t n = 1; n <= 45; ++n) {
    std::vector<uint8_t> data(n);
    for (uint8_t& b : data) {
      b = static_cast<uint8_t>(random());
    }
    std::vector<uint8_t> byRom;
    ASSERT_TRUE(bootrom::ispUudecode(encode(data), &byRom)) << n;
    EXPECT_EQ(byRom, data) << n;

    std::string fromRom = bootrom::ispUuencode(data.data(), data.size()) + "\r\n";
    std::vector<uint8_t> decoded(45, 0xEE);
    EXPECT_EQ(NXPSerialClass::uudecode(decoded.data(), decoded.size(), fromRom.c_str()), n);
    decoded.resize(n);
    EXPECT_EQ(decoded, data) << n;
  }
}

TEST(NXPSerialCodec, UudecodeNeverWritesPastItsSpaceOrInventsBytes) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::string line = encode(data);

  std::vector<uint8_t> small(7, 0xEE);
  EXPECT_EQ(NXPSerialClass::uudecode(small.data(), small.size(), line.c_str()), 0u);
  EXPECT_EQ(small, std::vector<uint8_t>(7, 0xEE));

  // A line cut short delivers what it carried, not what it declared.
  std::vector<uint8_t> out(8, 0xEE);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), out.size(), line.substr(0, 5).c_str()), 3u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 3), std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(out[3], 0xEE);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), out.size(), (line.substr(0, 6) + "\r\n").c_str()), 3u);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), out.size(), ""), 0u);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), out.size(), nullptr), 0u);
}

// Whatever a line holds, decoding stays inside the space it is given.
TEST(NXPSerialCodec, UudecodeOfRandomLinesStaysInBounds) {
  std::mt19937 random(5);
  for (int round = 0; round < 2000; ++round) {
    std::string line;
    const size_t length = random() % 80;
    for (size_t i = 0; i < length; ++i) {
      line += static_cast<char>(random() % 256);
    }
    const size_t space = random() % 50;
    std::vector<unsigned char> out(space);  // exactly sized: an overrun is caught
    EXPECT_LE(NXPSerialClass::uudecode(out.data(), out.size(), line.c_str()), space);
  }
}

TEST(NXPSerialCodec, SumAddsUnsignedBytes) {
  const unsigned char data[] = {0xFF, 0xFF, 0x01};
  EXPECT_EQ(NXPSerialClass::sum(data, 3), 0x1FFu);
  EXPECT_EQ(NXPSerialClass::sum(data, 0), 0u);
  std::vector<unsigned char> big(900, 0xFF);
  EXPECT_EQ(NXPSerialClass::sum(big.data(), big.size()), 900u * 255u);
}

TEST(NXPSerialCodec, CopyLengthIsTheSmallestCopySize) {
  const std::pair<unsigned, unsigned> cases[] = {{1, 256},     {256, 256},   {257, 512},   {512, 512},
                                                 {1000, 1024}, {1025, 4096}, {4096, 4096}, {4097, 4097}};
  for (const auto& c : cases) {
    EXPECT_EQ(NXPSerialClass::CopyLength(c.first), c.second) << c.first;
  }
}

TEST(NXPSerialCodec, SectorFromAddressFollowsTheFlashMap) {
  const std::pair<unsigned, unsigned> cases[] = {{0x0, 0},      {0xFFF, 0},    {0x1000, 1},   {0xFFFF, 15},
                                                 {0x10000, 16}, {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29},
                                                 {0x80000, 30}, {0xFFFFFFFF, 30}};
  for (const auto& c : cases) {
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(c.first), c.second) << std::hex << c.first;
  }
}

TEST(NXPSerialCodec, ErrorTextOfAReplyLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"0\r\n", "CMD_SUCCESS"},
      {"9\r\n", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
      {"19\r\n", "CODE_READ_PROTECTION_ENABLED"},
      {"20\r\n", "Unknown error"},
      {"-1\r\n", "Unknown error"},
      {"57\r\n", "Unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(NXPSerialClass::GetErrorText(c.first), c.second) << c.first;
  }
}

TEST(NXPSerialCodec, ErrorIndexPointsBeforeTheLineEndWithEchoOn) {
  NXPSerialClass isp;  // echo is on until the ROM is told otherwise
  EXPECT_EQ(isp.GetErrorIndex(3), 0);  // "0\r\n"
  EXPECT_EQ(isp.GetErrorIndex(4), 1);  // "19\r\n"
  EXPECT_EQ(isp.GetErrorIndex(2), 0);
}

}  // namespace
