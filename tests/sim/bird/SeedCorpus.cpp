#include "tests/sim/bird/SeedCorpus.h"

#include <sys/stat.h>

#include <cerrno>

namespace birdgen {

namespace {

bool makeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

Descriptor sampleDescriptor() { return Descriptor{"4711", "2.3.1 beta", "0000ABCD", "", "TSR-2000"}; }

}  // namespace

std::vector<std::pair<std::string, Container>> seedContainers() {
  std::vector<std::pair<std::string, Container>> seeds;

  seeds.push_back({"empty", Container{}});

  Container update;
  update.blocks = {loader(0x20000000, pattern(96, 1), 2), firmware(0x00010000, pattern(200, 2)),
                   firmware(0x00020000, pattern(64, 3), 5), descriptor(sampleDescriptor()), loaderStart(0x20000400)};
  seeds.push_back({"update", update});

  Container generic;
  generic.blocks = {firmware(0x1000, fill(128, 0xFF)), serialOffsets(0x1010, 0x1020), descriptor(sampleDescriptor())};
  seeds.push_back({"generic", generic});

  Container recovery;
  recovery.blocks = {firmware(0, pattern(80, 4)), firmware(0x2000, pattern(40, 5)), descriptor(sampleDescriptor())};
  recovery.scrambleKey = Fingerprint{{0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10}};
  seeds.push_back({"recovery", recovery});

  Container stored = update;
  stored.compressionLevel = 0;
  seeds.push_back({"stored", stored});

  Container miscounted = generic;
  miscounted.declaredCount = 7;
  seeds.push_back({"miscounted", miscounted});

  Container odd;
  odd.blocks = {raw(0xA1, be32(0x400)), raw(0x03, text("none")), raw(0x1F, Bytes())};
  seeds.push_back({"odd_types", odd});

  Container wrap;
  wrap.blocks = {firmware(0, pattern(16, 6))};
  wrap.blocks[0].lengthField = 0xFFFFFFFF;
  seeds.push_back({"length_wrap", wrap});

  Container past;
  past.blocks = {firmware(0, pattern(16, 7))};
  past.blocks[0].lengthField = 20 + 2;
  seeds.push_back({"length_past_checksum", past});

  Container shortDescriptor;
  shortDescriptor.blocks = {raw(kTypeDescriptor, text("4711"))};
  seeds.push_back({"short_descriptor", shortDescriptor});

  Container trailer = generic;
  trailer.bodyTrailer = text("xyz");
  seeds.push_back({"body_trailer", trailer});

  return seeds;
}

bool writeSeedCorpus(const std::string& dir) {
  const std::string files = dir + "/fuzz_bird_file";
  const std::string bodies = dir + "/fuzz_bird_body";
  if (!makeDirectory(dir) || !makeDirectory(files) || !makeDirectory(bodies)) return false;
  for (const auto& [name, container] : seedContainers()) {
    if (!write(files + "/" + name + ".bird", container)) return false;
    if (!write(bodies + "/" + name + ".body", container, /*bodyOnly=*/true)) return false;
  }
  return true;
}

}  // namespace birdgen
