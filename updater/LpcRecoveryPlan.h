#ifndef UPDATER_LPCRECOVERYPLAN_H
#define UPDATER_LPCRECOVERYPLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "updater/firmware/BirdFile.h"

// One RAM-to-flash copy of an LPC17xx recovery: `chunk` bytes of a firmware
// image, staged in RAM and padded with erased bytes up to `copy`, the copy
// size the chip takes, then copied to flash at `target`.
struct LpcFlashChunk {
  uint32_t target = 0;
  const unsigned char* data = nullptr;
  uint32_t chunk = 0;
  uint32_t copy = 0;
};

// One firmware block as it is written: its load address, image length and
// copies in order.
struct LpcFlashBlock {
  uint32_t address = 0;
  uint32_t length = 0;
  std::vector<LpcFlashChunk> chunks;
};

// Splits the firmware blocks of a descrambled container into the copies
// that write them, up to the end marker (a block with exactly 4 image
// bytes; it and all later blocks are not written). The whole container is
// judged against the chip before anything reaches it: a copy must start on
// a 256-byte boundary, have a size the chip copies (256, 512, 1024 or 4096
// bytes), fit the staging RAM and end inside the 512 KiB of flash, and no
// two images may share a byte of flash (programming only clears bits, so
// the second would corrupt the first), and at least one byte must be
// written (the recovery erases the flash first). False with a one-line
// reason in *reason for the first rule broken; the plan holds pointers into
// blocks' payloads.
bool planLpcFlashBlocks(const std::vector<BirdBlock>& blocks, std::vector<LpcFlashBlock>* plan,
                        std::string* reason);

#endif
