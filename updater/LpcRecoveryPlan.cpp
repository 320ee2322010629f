#include "updater/LpcRecoveryPlan.h"

#include <algorithm>
#include <cstdio>

#include "updater/recovery/NXPSerialClass.h"

namespace {

// Firmware blocks begin with their 32-bit big-endian load address.
constexpr uint32_t kAddressBytes = 4;
// A firmware block with exactly this many image bytes ends what is written.
constexpr uint32_t kEndMarkerBytes = 4;
// Images reach flash through RAM in pieces of at most one 4 KiB copy.
constexpr uint32_t kChunkBytes = 4096;
// Copies land on 256-byte flash pages.
constexpr uint32_t kCopyAlignment = 256;
constexpr uint64_t kFlashEnd = 0x80000;
// Staging RAM: the local SRAM above the ISP handler's own first 0x200
// bytes and below the top 32 bytes that the flash commands use.
constexpr uint64_t kStagingStart = 0x10000200;
constexpr uint64_t kStagingEnd = 0x10008000 - 32;

bool isCopySize(uint32_t count) { return count == 256 || count == 512 || count == 1024 || count == 4096; }

template <typename... Args>
std::string format(const char* text, Args... args) {
  char line[256];
  std::snprintf(line, sizeof line, text, args...);
  return line;
}

}  // namespace

bool planLpcFlashBlocks(const std::vector<BirdBlock>& blocks, std::vector<LpcFlashBlock>* plan,
                        std::string* reason) {
  std::vector<LpcFlashBlock> planned;
  int n = 0;
  bool ended = false;
  uint64_t bytes = 0;
  for (const BirdBlock& block : blocks) {
    ++n;
    if (block.length < kAddressBytes || block.payload == nullptr) {
      *reason = format("firmware block %d has no load address", n);
      return false;
    }
    const uint32_t length = block.length - kAddressBytes;
    if (length == kEndMarkerBytes) {
      ended = true;
      break;
    }
    if (length > kFlashEnd) {
      *reason = format("firmware block %d holds %u bytes, more than the chip's %u bytes of flash", n, length,
                       static_cast<unsigned>(kFlashEnd));
      return false;
    }
    if (length > 0 && block.address % kCopyAlignment != 0) {
      *reason = format("firmware block %d at 0x%08X does not start on a 256-byte boundary", n, block.address);
      return false;
    }
    LpcFlashBlock entry;
    entry.address = block.address;
    entry.length = length;
    const unsigned char* image = block.payload + kAddressBytes;
    for (uint32_t offset = 0; offset < length;) {
      LpcFlashChunk c;
      c.target = block.address + offset;
      c.data = image + offset;
      c.chunk = std::min(length - offset, kChunkBytes);
      c.copy = NXPSerialClass::CopyLength(c.chunk);
      if (!isCopySize(c.copy)) {
        *reason = format("firmware block %d needs a copy of %u bytes, which the chip cannot make", n, c.copy);
        return false;
      }
      if (NXPSerialClass::WRITE_ADDRESS < kStagingStart ||
          NXPSerialClass::WRITE_ADDRESS + static_cast<uint64_t>(c.copy) > kStagingEnd) {
        *reason = format("firmware block %d needs %u bytes of staging RAM at 0x%08X, more than the chip has", n,
                         c.copy, NXPSerialClass::WRITE_ADDRESS);
        return false;
      }
      if (static_cast<uint64_t>(c.target) + c.copy > kFlashEnd) {
        *reason = format("firmware block %d (0x%08X, %u bytes) reaches past the end of flash at 0x%08X", n,
                         block.address, length, static_cast<unsigned>(kFlashEnd));
        return false;
      }
      entry.chunks.push_back(c);
      offset += c.chunk;
    }
    for (size_t i = 0; i < planned.size(); ++i) {
      const LpcFlashBlock& other = planned[i];
      const uint64_t start = std::max<uint64_t>(other.address, entry.address);
      const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(other.address) + other.length,
                                              static_cast<uint64_t>(entry.address) + entry.length);
      if (start < end) {
        *reason = format("firmware blocks %d and %d overlap at 0x%08X", static_cast<int>(i) + 1, n,
                         static_cast<unsigned>(start));
        return false;
      }
    }
    bytes += entry.length;
    planned.push_back(std::move(entry));
  }
  // The recovery erases the whole flash first: a plan that writes nothing
  // would leave the chip blank and still look like a recovery.
  if (bytes == 0) {
    if (blocks.empty()) {
      *reason = "the container holds no firmware block, so nothing would be written";
    } else if (ended && n == 1) {
      *reason = "its first firmware block is the end mark, so nothing would be written";
    } else {
      *reason = "its firmware blocks hold no bytes, so nothing would be written";
    }
    return false;
  }
  *plan = std::move(planned);
  return true;
}
