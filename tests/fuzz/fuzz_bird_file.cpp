// A whole ".bird" file: header and zlib stream, through the same in-memory
// entry point that Load hands the file's bytes to.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/BirdFileExercise.h"
#include "updater/firmware/BirdFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BirdFile f;
  if (f.LoadData(data, size)) exerciseBirdFile(f, data, size);
  return 0;
}
