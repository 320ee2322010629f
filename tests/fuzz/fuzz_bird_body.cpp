// The container body as it comes out of zlib: declared count, typed blocks,
// checksum. Reaches the block scan without the inflate in front of it.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/BirdFileExercise.h"
#include "updater/firmware/BirdFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BirdFile f;
  if (f.LoadBody(data, size)) exerciseBirdFile(f, data, size);
  return 0;
}
