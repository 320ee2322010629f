#include "updater/recovery/ImageVectorTable.h"

namespace IMX1050 {

namespace {

constexpr unsigned char kTag = 0xD1;
constexpr unsigned char kFirstVersion = 0x40;
constexpr unsigned char kLastVersion = 0x43;
constexpr size_t kEntryAt = 4;
constexpr size_t kSelfAt = 20;
constexpr size_t kCsfAt = 24;

uint32_t littleEndian(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool isImageVectorTable(const unsigned char* bytes, size_t count, uint32_t address) {
  if (bytes == nullptr || count < IVT_BYTES) {
    return false;
  }
  const size_t length = static_cast<size_t>(bytes[1]) << 8 | bytes[2];
  return bytes[0] == kTag && length == IVT_BYTES && bytes[3] >= kFirstVersion && bytes[3] <= kLastVersion &&
         littleEndian(bytes + kEntryAt) != 0 && littleEndian(bytes + kSelfAt) == address;
}

bool namesSignature(const unsigned char* bytes, size_t count) {
  return bytes != nullptr && count >= IVT_BYTES && littleEndian(bytes + kCsfAt) != 0;
}

}  // namespace IMX1050
