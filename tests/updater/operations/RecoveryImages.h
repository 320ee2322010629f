#ifndef TESTS_UPDATER_OPERATIONS_RECOVERYIMAGES_H
#define TESTS_UPDATER_OPERATIONS_RECOVERYIMAGES_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/sim/bird/BirdGenerator.h"
#include "tests/updater/operations/Containers.h"

namespace opstest {

// The chip of the simulated LPC17xx ROM (bootrom::LpcIdentity's serial
// words, in the order its "N" answer sends them).
inline const birdgen::Fingerprint kLpcChip = {0x1A2B3C4D, 0x00000042, 0x8BADF00D, 0x00C0FFEE};

// One firmware block of an LPC17xx recovery image.
struct FlashBlock {
  uint32_t address;
  birdgen::Bytes image;
};

// A layout that shows how chunks reach flash:
// - 600 bytes at 0xD00: one 1024-byte copy that reaches into sector 1;
// - 0x300 bytes at 0x10000, then 0x200 bytes right behind it at 0x10300:
//   the first block's 1024-byte copy covers the start of the second;
// - 5000 bytes at 0x20000: a 4096-byte chunk and a 904-byte one.
inline std::vector<FlashBlock> lpcLayout() {
  return {
      {0x00000D00, birdgen::pattern(600, 11)},
      {0x00010000, birdgen::pattern(0x300, 12)},
      {0x00010300, birdgen::pattern(0x200, 13)},
      {0x00020000, birdgen::pattern(5000, 14)},
  };
}

// An LPC17xx recovery container for module `serial`: descriptor, the
// blocks, then (with an end marker) a block of 4 bytes and one more block
// that must never reach flash. Firmware images are scrambled with the chip.
inline birdgen::Container lpcContainer(uint32_t serial, const std::vector<FlashBlock>& blocks, bool endMarker,
                                       bool generic = false, uint32_t build = 1234) {
  ContainerShape spec;
  spec.serial = serial;
  spec.build = build;
  spec.loaders.clear();
  spec.firmware.clear();
  for (const FlashBlock& b : blocks) spec.firmware.push_back(birdgen::firmware(b.address, b.image));
  if (endMarker) {
    spec.firmware.push_back(birdgen::firmware(0x0007F000, birdgen::fill(4, 0x5A)));
    spec.firmware.push_back(birdgen::firmware(0x00030000, birdgen::pattern(64, 15)));
  }
  spec.generic = generic;
  birdgen::Container c = makeContainer(spec);
  c.scrambleKey = kLpcChip;
  return c;
}

inline std::string bytesOf(const birdgen::Container& c) {
  birdgen::Bytes bytes = birdgen::file(c);
  return std::string(bytes.begin(), bytes.end());
}

// 512 KiB of LPC17xx flash after erasing every sector and writing the
// blocks.
inline std::vector<uint8_t> flashWith(const std::vector<FlashBlock>& blocks) {
  std::vector<uint8_t> flash(0x80000, 0xFF);
  for (const FlashBlock& b : blocks) {
    std::copy(b.image.begin(), b.image.end(), flash.begin() + b.address);
  }
  return flash;
}

}  // namespace opstest

#endif
