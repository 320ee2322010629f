#include "Tessarine2/common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Library version.
constexpr uint32_t kMajor = 2;
constexpr uint32_t kMinor = 10;
constexpr uint32_t kPatch = 6;

// A current word starts with the byte 0x2F: read in the legacy layout that is
// 2.15, one past the last legacy version 2.14, so a reader that knows only the
// legacy layout still sees a newer version.
constexpr uint32_t kCurrentMarker = 0x2F000000;
constexpr uint32_t kLegacyLastMajor = 2;
constexpr uint32_t kLegacyLastMinor = 14;

uint32_t legacyMajor(uint32_t packed) { return packed >> 28; }
uint32_t legacyMinor(uint32_t packed) { return (packed >> 24) & 0x0F; }
uint32_t legacyPatch(uint32_t packed) { return packed & 0x00FFFFFF; }

bool belowCurrentLayout(uint32_t major, uint32_t minor) {
  return major < kLegacyLastMajor || (major == kLegacyLastMajor && minor <= kLegacyLastMinor);
}

struct Feature {
  const char* name;
  const char* description;
};

const Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};

constexpr size_t NUM_FEATS = sizeof FEATS / sizeof FEATS[0];

constexpr const char* kFeatureSeparator = " - ";
constexpr const char* kRowSeparator = "\n";

// "255.255.255" at most, from three 8-bit numbers, and its terminator.
struct VersionText {
  char chars[15];
};

VersionText formatVersion() {
  VersionText text{};
  std::snprintf(text.chars, sizeof text.chars, "%d.%d%s%d", static_cast<int>(kMajor),
                static_cast<int>(kMinor), aVERSION_PHASE, static_cast<int>(kPatch));
  return text;
}

}  // namespace

bool aVersion_IsLegacyFormat(uint32_t packed) {
  return belowCurrentLayout(legacyMajor(packed), legacyMinor(packed));
}

uint32_t aVersion_ParseMajor(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? legacyMajor(packed) : (packed >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? legacyMinor(packed) : (packed >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? legacyPatch(packed) : packed & 0xFF;
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
  if (buffer == nullptr) {
    size = 0;  // still report the length the text would take
  }
  // A legacy patch has 24 bits; every part fits an int.
  return std::snprintf(buffer, size, "%d.%d.%d", static_cast<int>(aVersion_ParseMajor(packed)),
                       static_cast<int>(aVersion_ParseMinor(packed)),
                       static_cast<int>(aVersion_ParsePatch(packed)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (!belowCurrentLayout(major, minor)) {
    return kCurrentMarker + (static_cast<uint32_t>(major) << 16) +
           (static_cast<uint32_t>(minor) << 8) + patch;
  }
  // The legacy minor has 4 bits: with major 0 or 1 a larger minor keeps only
  // its low 4 bits, as words already stored in that layout do.
  return (static_cast<uint32_t>(major) << 28) | ((static_cast<uint32_t>(minor) & 0x0F) << 24) |
         patch;
}

uint32_t aVersion_GetMajor() { return kMajor; }
uint32_t aVersion_GetMinor() { return kMinor; }
uint32_t aVersion_GetPatch() { return kPatch; }

const char* aVersion_GetString() {
  // Formatted by the first caller; the initialisation of a local static is
  // serialised, so concurrent first calls see one finished text.
  static const VersionText text = formatVersion();
  return text.chars;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t otherMajor,
                               uint8_t otherMinor, uint8_t otherPatch) {
  if (major != otherMajor) {
    return major > otherMajor;
  }
  if (minor != otherMinor) {
    return minor > otherMinor;
  }
  return patch >= otherPatch;
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) {
    return false;
  }
  for (const Feature& feature : FEATS) {
    if (std::strcmp(feature.name, name) == 0) {
      return true;
    }
  }
  return false;
}

char* aVersion_GetFeatureList() {
  size_t length = 0;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    length += (i > 0 ? std::strlen(kRowSeparator) : 0) + std::strlen(FEATS[i].name) +
              std::strlen(kFeatureSeparator) + std::strlen(FEATS[i].description);
  }
  char* list = static_cast<char*>(std::malloc(length + 1));
  if (list == nullptr) {
    return nullptr;
  }
  list[0] = '\0';
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0) {
      std::strcat(list, kRowSeparator);
    }
    std::strcat(list, FEATS[i].name);
    std::strcat(list, kFeatureSeparator);
    std::strcat(list, FEATS[i].description);
  }
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) {
    return;
  }
  std::free(*list);
  *list = nullptr;
}
