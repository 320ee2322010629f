#ifndef TESSARINE2_COMMON_AVERSION_H
#define TESSARINE2_COMMON_AVERSION_H

#include <cstddef>
#include <cstdint>

// Firmware version words: legacy layout below 2.15 (major in bits 31-28,
// minor in 27-24, patch in 23-0), current layout from 2.15 on
// (0x2F, major, minor, patch, one byte each).
bool aVersion_IsLegacyFormat(uint32_t packed);
uint32_t aVersion_ParseMajor(uint32_t packed);
uint32_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// The library's own version and features.
#define aVERSION_PHASE "."
uint32_t aVersion_GetMajor();
uint32_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();
const char* aVersion_GetString();
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                               uint8_t otherMajor, uint8_t otherMinor, uint8_t otherPatch);
bool aVersion_HasFeature(const char* name);
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);

#endif
