#include "tests/sim/module/KeptStreamKeys.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <vector>

namespace simmodule {

namespace {

// Whole or not at all: a process killed halfway leaves the old file.
void writeKeys(const std::string& path, const std::vector<uint32_t>& keys) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    for (uint32_t key : keys) {
      out << std::hex << key << "\n";
    }
    if (!out.flush()) {
      std::fprintf(stderr, "sim-module: cannot write the stream keys to %s\n", partial.c_str());
      return;
    }
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "sim-module: cannot replace %s with the stream keys\n", path.c_str());
  }
}

}  // namespace

bool keepStreamKeys(StreamSource& source, const std::string& path) {
  std::ifstream in(path);
  std::vector<uint32_t> keys;
  if (in) {
    uint32_t key = 0;
    while (in >> std::hex >> key) {
      keys.push_back(key);
    }
    if (!in.eof()) {
      return false;
    }
  } else if (errno != ENOENT) {
    return false;
  }
  source.enableKeys(keys);
  source.onKeysChanged([path](const std::vector<uint32_t>& now) { writeKeys(path, now); });
  return true;
}

}  // namespace simmodule
