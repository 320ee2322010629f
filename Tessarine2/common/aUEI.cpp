#include "Tessarine2/common/aUEI.h"

#include <cstring>

namespace {

// The option byte's two top bits mark get/set/reply kinds; a streamed value
// has neither, and bit 6 of its index byte set.
constexpr uint8_t kOptionFlagsMask = 0xC0;
constexpr uint8_t kIndexStreamFlag = 0x40;
constexpr uint8_t kBytesContinueFlag = 0x80;
constexpr uint8_t kBytesSequenceMask = 0x7F;

// Commands whose packets do not follow the UEI layout of command, option,
// index, value; 173 and 175 are the link-control addresses 0xAD and 0xAF.
bool isNonUEICommand(uint8_t command) {
  switch (command) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

// The last data byte of a byte-transfer packet, or nothing for an empty or
// malformed one.
bool lastDataByte(const aPacket* packet, uint8_t* out) {
  if (packet == nullptr || packet->dataSize == 0 || packet->dataSize > aPACKET_MAX_DATA) {
    return false;
  }
  *out = packet->data[packet->dataSize - 1];
  return true;
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void aUEI_StoreShort(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void aUEI_StoreInt(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, uint64_t count) {
  if (words == nullptr) {
    return;
  }
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    std::memcpy(bytes, &words[i], sizeof bytes);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  uint8_t last = 0;
  return lastDataByte(packet, &last) ? static_cast<uint8_t>(last & kBytesSequenceMask) : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
  uint8_t last = 0;
  return lastDataByte(packet, &last) && (last & kBytesContinueFlag) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  return packet != nullptr && isNonUEICommand(packet->data[0]);
}

bool aUEI_isUEIPayload(const aPacket* packet) { return !aUEI_isNotUEIPayload(packet); }

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->dataSize > 4 && packet->dataSize <= aPACKET_MAX_DATA &&
         aUEI_isUEIPayload(packet) && (packet->data[1] & kOptionFlagsMask) == 0 &&
         (packet->data[2] & kIndexStreamFlag) != 0;
}
