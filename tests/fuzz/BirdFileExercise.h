#ifndef TESTS_FUZZ_BIRDFILEEXERCISE_H
#define TESTS_FUZZ_BIRDFILEEXERCISE_H

#include <cstddef>
#include <cstdint>
#include <utility>

#include "updater/firmware/BirdFile.h"

// Runs every operation of a loaded container once, and stops the fuzzer when
// a block reaches outside the body it points into.
inline void exerciseBirdFile(BirdFile& f, const uint8_t* data, size_t size) {
  const unsigned char* begin = f.body.get();
  const unsigned char* end = begin + f.bodySize;
  for (const BirdBlock& b : f.blocks) {
    if (b.payload < begin || b.payload > end || uint64_t(end - b.payload) < b.length) __builtin_trap();
  }
  for (uint8_t type = 0; type < 8; ++type) f.FindBlocks(BirdFile::BLOCK_TYPE(type));
  f.GetBuild();
  f.GetVersion();
  f.ValidateSerialNumber(f.GetSerialNumber());
  f.ValidateModel("TSR-2000");
  f.ValidateModel("A-MODEL-NAME-LONGER-THAN-ITS-FIELD");
  f.ValidateData(data, uint32_t(size < 6 ? size : 6));
  f.ReplaceSerialNumber(0x89ABCDEF);
  f.ReplaceVectorChecksum();
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  f.DecodeFirmwareBlocks(key);

  BirdFile moved(std::move(f));
  moved.FindSerialNumberOffsets();
  moved.GetVersion();
}

#endif
