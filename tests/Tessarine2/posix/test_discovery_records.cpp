// Link records and the parts of discovery that touch no bus or
// network.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "Tessarine2/common/aDiscover.h"

namespace {

TEST(LinkSpec, NewRecordIsZeroedExceptItsType) {
  for (linkType type : {USB, TCPIP, SERIAL, AWEAVE}) {
    linkSpec* spec = aLinkSpec_Create(type);
    ASSERT_NE(spec, nullptr);
    linkSpec expected{};
    expected.type = type;
    EXPECT_EQ(std::memcmp(spec, &expected, sizeof expected), 0);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
  }
}

TEST(LinkSpec, CopyHasTheSame128Bytes) {
  linkSpec* spec = aLinkSpec_Create(SERIAL);
  ASSERT_NE(spec, nullptr);
  unsigned char* bytes = reinterpret_cast<unsigned char*>(spec);
  for (size_t i = 4; i < sizeof(linkSpec); ++i) {
    bytes[i] = static_cast<unsigned char>(i * 7);
  }
  linkSpec* copy = aLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, spec);
  EXPECT_EQ(std::memcmp(copy, spec, 128), 0);
  EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
  aLinkSpec_Destroy(&copy);
  aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, DestroyingNothingIsAParameterError) {
  linkSpec* spec = nullptr;
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(LinkSpec, SerialPortNameRunsToTheEndOfTheRecord) {
  linkSpec spec{};
  EXPECT_EQ(reinterpret_cast<char*>(&spec.t.serial.port) - reinterpret_cast<char*>(&spec), 28);
  EXPECT_EQ(sizeof spec.t.serial.port, 100u);
}

TEST(Discovery, OtherTypesEnumerateNothing) {
  int offered = 0;
  auto count = [](const linkSpec*, bool* taken, void* reference) {
    ++*static_cast<int*>(reference);
    *taken = true;
    return true;
  };
  for (linkType type : std::initializer_list<linkType>{0, SERIAL, 5, 0xFFFFFFFF}) {
    EXPECT_EQ(aDiscovery_EnumerateModules(type, count, &offered, 0), 0) << type;
    EXPECT_EQ(aDiscovery_FindModule(type, 1, 0), nullptr) << type;
    EXPECT_EQ(aDiscovery_FindFirstModule(type, 0), nullptr) << type;
  }
  EXPECT_EQ(offered, 0);
}

struct ConvertCase {
  const char* address;
  size_t size;
  const char* text;  // "" when refused
};

TEST(Discovery, ConvertIPv4InterfaceWritesDottedDecimal) {
  const ConvertCase cases[] = {
      {"127.0.0.1", 16, "127.0.0.1"},
      {"127.0.0.1", 15, ""},
      {"255.255.255.255", 16, "255.255.255.255"},
      {"10.78.0.1", 64, "10.78.0.1"},
      {"0.0.0.0", 16, "0.0.0.0"},
  };
  for (const ConvertCase& c : cases) {
    in_addr address{};
    ASSERT_EQ(inet_pton(AF_INET, c.address, &address), 1);
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    size_t length = aDiscovery_ConvertIPv4Interface(address.s_addr, buffer, c.size);
    EXPECT_EQ(length, std::strlen(c.text)) << c.address << " in " << c.size;
    if (length > 0) {
      EXPECT_STREQ(buffer, c.text);
      // The rest of the buffer is zeroed.
      for (size_t i = length; i < c.size; ++i) {
        ASSERT_EQ(buffer[i], '\0') << c.address << " byte " << i;
      }
    }
  }
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0, nullptr, 16), 0u);
}

TEST(Discovery, InterfaceListNeedsAnArray) {
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 8), 0u);
  uint32_t addresses[1];
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
}

}  // namespace
