// birdgen: writes ".bird" containers (or their inflated bodies) for tests
// and a seed corpus for the container fuzzers. See usage() for the options.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/sim/bird/BirdGenerator.h"
#include "tests/sim/bird/SeedCorpus.h"

namespace {

const char kUsage[] =
    "usage: birdgen -o FILE [options] [blocks]\n"
    "       birdgen --seed-corpus DIR\n"
    "\n"
    "Blocks, in file order:\n"
    "  --loader ADDR DATA          loader image loaded at ADDR\n"
    "  --firmware ADDR DATA        firmware image loaded at ADDR\n"
    "  --serial-offsets S D        serial-number and descriptor offsets (0 = none)\n"
    "  --descriptor BUILD VERSION SERIAL MODEL\n"
    "                              descriptor text fields\n"
    "  --loader-start ADDR         start address of the loader\n"
    "  --raw HEADER DATA           any header byte and payload\n"
    "Changes to the block before them:\n"
    "  --flags N                   block flags, 0 to 7\n"
    "  --length N                  length field N instead of the payload size\n"
    "Container:\n"
    "  --signature TEXT            4 signature bytes (default \"bird\")\n"
    "  --version HI LO             version bytes (default 1 1)\n"
    "  --count N                   declared block count (default: the blocks given)\n"
    "  --checksum N                body checksum (default: byte sum of the body)\n"
    "  --no-checksum               leave the checksum out\n"
    "  --body-trailer DATA         bytes after the checksum, inside the body\n"
    "  --level N                   zlib level 0 to 9 (default 6)\n"
    "  --trailer DATA              bytes after the zlib stream\n"
    "  --truncate N                cut the file to N bytes\n"
    "  --corrupt OFFSET MASK       XOR the file byte at OFFSET with MASK (repeatable)\n"
    "  --scramble W0 W1 W2 W3      scramble firmware images with a fingerprint\n"
    "  --body-only                 write the inflated body instead of the file\n"
    "\n"
    "DATA is @FILE (its contents), hex:0011FF, text:abc, fill:N:BYTE or\n"
    "pattern:N[:SEED]. Numbers are decimal or 0x hexadecimal.\n"
    "--seed-corpus writes DIR/fuzz_bird_file/*.bird and DIR/fuzz_bird_body/*.body.\n";

struct UsageError {
  std::string what;
};

uint64_t number(const std::string& s, uint64_t max) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (s.empty() || s[0] == '-' || *end != '\0' || errno != 0 || v > max) throw UsageError{"bad number: " + s};
  return v;
}

uint32_t number32(const std::string& s) { return uint32_t(number(s, UINT32_MAX)); }

birdgen::Bytes data(const std::string& spec) {
  auto rest = [&](size_t prefix) { return spec.substr(prefix); };
  if (spec.rfind('@', 0) == 0) {
    std::ifstream in(rest(1), std::ios::binary);
    if (!in) throw UsageError{"cannot read " + rest(1)};
    return birdgen::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (spec.rfind("text:", 0) == 0) return birdgen::text(rest(5));
  if (spec.rfind("hex:", 0) == 0) {
    const std::string hex = rest(4);
    if (hex.size() % 2 != 0) throw UsageError{"odd number of hex digits: " + spec};
    birdgen::Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2) out.push_back(uint8_t(number("0x" + hex.substr(i, 2), 0xFF)));
    return out;
  }
  if (spec.rfind("fill:", 0) == 0) {
    const std::string args = rest(5);
    const size_t colon = args.find(':');
    if (colon == std::string::npos) throw UsageError{"fill needs N:BYTE: " + spec};
    return birdgen::fill(number(args.substr(0, colon), 1u << 30), uint8_t(number(args.substr(colon + 1), 0xFF)));
  }
  if (spec.rfind("pattern:", 0) == 0) {
    const std::string args = rest(8);
    const size_t colon = args.find(':');
    const uint32_t seed = colon == std::string::npos ? 1 : number32(args.substr(colon + 1));
    return birdgen::pattern(number(args.substr(0, colon), 1u << 30), seed);
  }
  throw UsageError{"unknown data: " + spec};
}

int run(int argc, char** argv) {
  birdgen::Container c;
  std::string out;
  bool bodyOnly = false;
  int i = 1;
  auto next = [&]() -> std::string {
    if (i >= argc) throw UsageError{std::string("missing argument after ") + argv[i - 1]};
    return argv[i++];
  };
  auto lastBlock = [&]() -> birdgen::Block& {
    if (c.blocks.empty()) throw UsageError{std::string(argv[i - 1]) + " needs a block before it"};
    return c.blocks.back();
  };

  while (i < argc) {
    const std::string opt = argv[i++];
    if (opt == "-h" || opt == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (opt == "--seed-corpus") {
      const std::string dir = next();
      if (!birdgen::writeSeedCorpus(dir)) {
        std::fprintf(stderr, "birdgen: cannot write the seed corpus into %s\n", dir.c_str());
        return 1;
      }
      return 0;
    } else if (opt == "-o") {
      out = next();
    } else if (opt == "--loader") {
      const uint32_t address = number32(next());
      c.blocks.push_back(birdgen::loader(address, data(next())));
    } else if (opt == "--firmware") {
      const uint32_t address = number32(next());
      c.blocks.push_back(birdgen::firmware(address, data(next())));
    } else if (opt == "--serial-offsets") {
      const uint32_t serial = number32(next());
      c.blocks.push_back(birdgen::serialOffsets(serial, number32(next())));
    } else if (opt == "--descriptor") {
      birdgen::Descriptor d;
      d.build = next();
      d.version = next();
      d.serial = next();
      d.model = next();
      c.blocks.push_back(birdgen::descriptor(d));
    } else if (opt == "--loader-start") {
      c.blocks.push_back(birdgen::loaderStart(number32(next())));
    } else if (opt == "--raw") {
      const uint8_t headerByte = uint8_t(number(next(), 0xFF));
      c.blocks.push_back(birdgen::raw(headerByte, data(next())));
    } else if (opt == "--flags") {
      const uint8_t flags = uint8_t(number(next(), 7));
      birdgen::Block& b = lastBlock();
      b.header = uint8_t((b.header & 0x1F) | (flags << 5));
    } else if (opt == "--length") {
      const uint32_t length = number32(next());
      lastBlock().lengthField = length;
    } else if (opt == "--signature") {
      const std::string s = next();
      if (s.size() != 4) throw UsageError{"the signature has 4 bytes: " + s};
      for (size_t k = 0; k < 4; ++k) c.signature[k] = uint8_t(s[k]);
    } else if (opt == "--version") {
      c.versionHigh = uint8_t(number(next(), 0xFF));
      c.versionLow = uint8_t(number(next(), 0xFF));
    } else if (opt == "--count") {
      c.declaredCount = number32(next());
    } else if (opt == "--checksum") {
      c.checksum = number32(next());
    } else if (opt == "--no-checksum") {
      c.omitChecksum = true;
    } else if (opt == "--body-trailer") {
      c.bodyTrailer = data(next());
    } else if (opt == "--level") {
      c.compressionLevel = int(number(next(), 9));
    } else if (opt == "--trailer") {
      c.fileTrailer = data(next());
    } else if (opt == "--truncate") {
      c.truncateTo = size_t(number(next(), SIZE_MAX));
    } else if (opt == "--corrupt") {
      const size_t offset = size_t(number(next(), SIZE_MAX));
      c.corruptions.emplace_back(offset, uint8_t(number(next(), 0xFF)));
    } else if (opt == "--scramble") {
      birdgen::Fingerprint key;
      for (uint32_t& word : key) word = number32(next());
      c.scrambleKey = key;
    } else if (opt == "--body-only") {
      bodyOnly = true;
    } else {
      throw UsageError{"unknown option: " + opt};
    }
  }

  if (out.empty()) throw UsageError{"no output file (-o FILE)"};
  if (!birdgen::write(out, c, bodyOnly)) {
    std::fprintf(stderr, "birdgen: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "birdgen: %s\n\n%s", e.what.c_str(), kUsage);
    return 2;
  }
}
