#ifndef TESTS_UPDATER_OPERATIONS_CONTAINERS_H
#define TESTS_UPDATER_OPERATIONS_CONTAINERS_H

#include <cstdio>
#include <string>
#include <vector>

#include "tests/sim/bird/BirdGenerator.h"

namespace opstest {

// The parts of a container the operations look at.
struct ContainerShape {
  uint32_t serial = 0x0000ABCD;
  uint32_t build = 1234;
  std::string model = "Pandrel";
  bool descriptor = true;
  bool generic = false;  // a serial-number offsets block into the first firmware image
  std::vector<birdgen::Block> loaders{birdgen::loader(0x20000000, birdgen::pattern(60, 1))};
  std::vector<birdgen::Block> firmware{birdgen::firmware(0x00010000, birdgen::pattern(300, 2)),
                                       birdgen::firmware(0x00020000, birdgen::pattern(77, 3), 5)};
};

inline std::string hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

inline birdgen::Container makeContainer(const ContainerShape& spec) {
  birdgen::Container c;
  if (spec.descriptor) {
    birdgen::Descriptor d;
    d.build = std::to_string(spec.build);
    d.version = "1.2.3";
    d.serial = hex8(spec.serial);
    d.model = spec.model;
    c.blocks.push_back(birdgen::descriptor(d));
  }
  for (const birdgen::Block& b : spec.loaders) c.blocks.push_back(b);
  for (const birdgen::Block& b : spec.firmware) c.blocks.push_back(b);
  if (spec.generic) {
    // Serial word at image byte 16, serial text at image byte 32.
    c.blocks.push_back(birdgen::serialOffsets(0x00010010, 0x00010020));
  }
  return c;
}

inline std::string containerBytes(const ContainerShape& spec) {
  birdgen::Bytes bytes = birdgen::file(makeContainer(spec));
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace opstest

#endif
