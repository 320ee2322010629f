#include "Tessarine2/common/aVersion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string hex(uint32_t word) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", word);
  return text;
}

struct PackRow {
  uint8_t major, minor, patch;
  uint32_t word;
  const char* shows;
};

const PackRow kPacks[] = {
    {0, 0, 0, 0x00000000, "zero is a legacy word"},
    {0, 14, 1, 0x0E000001, "major 0 keeps the legacy layout"},
    {2, 10, 6, 0x2A000006, "the library's own version"},
    {2, 14, 5, 0x2E000005, "2.14 is the last legacy version"},
    {2, 15, 5, 0x2F020F05, "2.15 is the first current version"},
    {2, 255, 255, 0x2F02FFFF, "major 2 with a large minor"},
    {3, 0, 0, 0x2F030000, "any major above 2 is current"},
    {255, 255, 255, 0x2FFFFFFF, "largest current version"},
    {1, 15, 255, 0x1F0000FF, "largest legacy minor with major 1"},
    {1, 20, 3, 0x14000003, "a legacy minor keeps only its low 4 bits"},
    {0, 0xF3, 0, 0x03000000, "minor bits above the nibble never reach the major"},
};

TEST(VersionPack, GridAcrossTheLegacyCurrentBoundary) {
  for (const PackRow& row : kPacks) {
    SCOPED_TRACE(row.shows);
    EXPECT_EQ(hex(aVersion_Pack(row.major, row.minor, row.patch)), hex(row.word));
  }
}

struct ParseRow {
  uint32_t word;
  bool legacy;
  uint32_t major, minor, patch;
  const char* text;
  const char* shows;
};

const ParseRow kParses[] = {
    {0x2F020F05, false, 2, 15, 5, "2.15.5", "current layout"},
    {0x2E000005, true, 2, 14, 5, "2.14.5", "last legacy version"},
    {0x1A012345, true, 1, 10, 0x12345, "1.10.74565", "legacy patch is the low 24 bits"},
    {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215", "largest legacy patch"},
    {0x1FFFFFFF, true, 1, 15, 0xFFFFFF, "1.15.16777215", "major 1 allows minor 15"},
    {0x00000000, true, 0, 0, 0, "0.0.0", "zero word"},
    {0x2F000000, false, 0, 0, 0, "0.0.0", "a 0x2F word is current whatever follows"},
    {0x30010203, false, 1, 2, 3, "1.2.3", "top nibble 3 reads as current"},
    {0xFFFFFFFF, false, 255, 255, 255, "255.255.255", "all bits set"},
};

TEST(VersionParse, GridOfWords) {
  for (const ParseRow& row : kParses) {
    SCOPED_TRACE(hex(row.word) + ": " + row.shows);
    EXPECT_EQ(aVersion_IsLegacyFormat(row.word), row.legacy);
    EXPECT_EQ(aVersion_ParseMajor(row.word), row.major);
    EXPECT_EQ(aVersion_ParseMinor(row.word), row.minor);
    EXPECT_EQ(aVersion_ParsePatch(row.word), row.patch);
    char text[32];
    EXPECT_EQ(aVersion_ParseString(row.word, text, sizeof text),
              static_cast<int>(std::strlen(row.text)));
    EXPECT_STREQ(text, row.text);
  }
}

// Every triple survives a pack and parse, except a legacy minor above 15,
// which comes back as its low 4 bits.
TEST(VersionPack, ParsingAPackedWordGivesTheTripleBack) {
  for (uint32_t major = 0; major <= 255; ++major) {
    for (uint32_t minor = 0; minor <= 255; ++minor) {
      for (uint32_t patch : {0u, 1u, 0x7Fu, 0xFFu}) {
        uint32_t word = aVersion_Pack(static_cast<uint8_t>(major), static_cast<uint8_t>(minor),
                                      static_cast<uint8_t>(patch));
        uint32_t expectedMinor = major < 2 ? (minor & 0x0F) : minor;
        bool expectedLegacy = major < 2 || (major == 2 && minor <= 14);
        if (aVersion_IsLegacyFormat(word) != expectedLegacy ||
            aVersion_ParseMajor(word) != major || aVersion_ParseMinor(word) != expectedMinor ||
            aVersion_ParsePatch(word) != patch) {
          ADD_FAILURE() << major << "." << minor << "." << patch << " packs to " << hex(word);
          return;
        }
      }
    }
  }
}

TEST(VersionParse, StringHonoursTheBufferSize) {
  char text[8];
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(aVersion_ParseString(0x2F020F05, text, 4), 6);  // full length reported
  EXPECT_STREQ(text, "2.1");
  EXPECT_EQ(text[4], '#');

  EXPECT_EQ(aVersion_ParseString(0x2F020F05, text, 0), 6);
  EXPECT_EQ(text[0], '2');  // nothing written
  EXPECT_EQ(aVersion_ParseString(0x2F020F05, nullptr, 0), 6);
  EXPECT_EQ(aVersion_ParseString(0x2F020F05, nullptr, 16), 6);
}

TEST(LibraryVersion, Is2_10_6) {
  EXPECT_EQ(aVersion_GetMajor(), 2u);
  EXPECT_EQ(aVersion_GetMinor(), 10u);
  EXPECT_EQ(aVersion_GetPatch(), 6u);
  EXPECT_STREQ(aVERSION_PHASE, ".");
  const char* first = aVersion_GetString();
  EXPECT_STREQ(first, "2.10.6");
  EXPECT_EQ(aVersion_GetString(), first);
}

// Each test runs in a process of its own, so these are the first calls.
TEST(LibraryVersion, ConcurrentFirstCallsShareOneFinishedText) {
  constexpr int kThreads = 8;
  std::vector<const char*> seen(kThreads, nullptr);
  std::vector<std::string> texts(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&seen, &texts, i] {
      seen[i] = aVersion_GetString();
      texts[i] = seen[i];
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[i], seen[0]);
    EXPECT_EQ(texts[i], "2.10.6");
  }
}

struct CompareRow {
  uint8_t a[3];
  uint8_t b[3];
  bool atLeast;
  const char* shows;
};

const CompareRow kCompares[] = {
    {{2, 10, 6}, {2, 10, 6}, true, "equal"},
    {{2, 10, 6}, {2, 11, 0}, false, "lower minor"},
    {{2, 10, 6}, {2, 10, 7}, false, "lower patch"},
    {{2, 10, 6}, {2, 9, 255}, true, "higher minor outweighs patch"},
    {{3, 0, 0}, {2, 255, 255}, true, "higher major outweighs the rest"},
    {{1, 255, 255}, {2, 0, 0}, false, "lower major"},
    {{0, 0, 0}, {0, 0, 0}, true, "all zero"},
    {{255, 255, 255}, {255, 255, 254}, true, "top values"},
};

TEST(VersionCompare, MajorThenMinorThenPatch) {
  for (const CompareRow& row : kCompares) {
    SCOPED_TRACE(row.shows);
    EXPECT_EQ(aVersion_IsAtLeastCompare(row.a[0], row.a[1], row.a[2], row.b[0], row.b[1], row.b[2]),
              row.atLeast);
  }
}

TEST(VersionCompare, LibraryIsAtLeast) {
  struct {
    uint8_t major, minor, patch;
    bool atLeast;
  } const rows[] = {
      {2, 10, 6, true}, {2, 10, 5, true},  {2, 10, 7, false}, {2, 11, 0, false},
      {1, 255, 255, true}, {3, 0, 0, false}, {0, 0, 0, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.major) + "." + std::to_string(row.minor) + "." +
                 std::to_string(row.patch));
    EXPECT_EQ(aVersion_IsAtLeast(row.major, row.minor, row.patch), row.atLeast);
  }
}

TEST(VersionFeatures, OnlyTheExactNameIsAFeature) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  for (const char* name : {"version", "VERSIO", "VERSION ", "VERSION\n", ""}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(aVersion_HasFeature(name));
  }
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
}

TEST(VersionFeatures, ListIsOneLineAndDestroyClearsThePointer) {
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);  // already released: nothing to free
  aVersion_DestroyFeatureList(nullptr);
}

}  // namespace
