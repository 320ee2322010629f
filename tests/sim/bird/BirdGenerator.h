#ifndef TESTS_SIM_BIRD_BIRDGENERATOR_H
#define TESTS_SIM_BIRD_BIRDGENERATOR_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Writes ".bird" firmware containers for tests, from the format's byte
// layout alone (it shares no code with the reader):
//
//   file   "bird" | version hi | version lo | zlib stream of the body
//   body   count (4, BE) | block ... | checksum (4, BE)
//   block  header (1: type bits 0-4, flags bits 5-7) | length L (4, BE) | L bytes
//
// Every part can be bent for hostile cases: lengths, counts, header bytes,
// trailing bytes, truncation, flipped bits.
namespace birdgen {

using Bytes = std::vector<uint8_t>;

// Block types as the format numbers them.
enum : uint8_t {
  kTypeLoader = 0,
  kTypeFirmware = 1,
  kTypeSerialOffsets = 2,
  kTypeDescriptor = 4,
  kTypeLoaderStart = 5,
};

struct Block {
  uint8_t header = 0;                     // type | flags << 5, written as is
  Bytes payload;                          // written after the length field
  std::optional<uint32_t> lengthField;    // written instead of payload.size()
};

// The four fingerprint words of a chip; key byte 0 is word 0's top byte.
using Fingerprint = std::array<uint32_t, 4>;

// Text fields of a descriptor block. Each field is cut or padded to its
// width: build and version with zero bytes, model with spaces.
struct Descriptor {
  std::string build;             // bytes 0-15, decimal
  std::string version;           // bytes 16-31
  std::string serial;            // bytes 32-39, hexadecimal digits
  std::string reserved;          // bytes 40-47, zero-padded
  std::string model;             // bytes 48-63, space-padded
};

struct Container {
  std::vector<Block> blocks;

  std::array<uint8_t, 4> signature{{'b', 'i', 'r', 'd'}};
  uint8_t versionHigh = 0x01;
  uint8_t versionLow = 0x01;

  std::optional<uint32_t> declaredCount;  // default: the number of blocks
  std::optional<uint32_t> checksum;       // default: byte sum of what precedes it
  bool omitChecksum = false;
  Bytes bodyTrailer;                      // inside the body, after the checksum
  std::optional<Bytes> rawBody;           // replaces the whole generated body

  int compressionLevel = 6;               // zlib level 0 to 9
  Bytes fileTrailer;                      // after the zlib stream
  std::optional<size_t> truncateTo;       // cut the finished file
  std::vector<std::pair<size_t, uint8_t>> corruptions;  // file offset, XOR mask

  // Scrambles every firmware image (the bytes after its 4 address bytes)
  // the way an LPC17xx recovery image is stored.
  std::optional<Fingerprint> scrambleKey;
};

// Blocks.
uint8_t header(uint8_t type, uint8_t flags);
Block loader(uint32_t address, const Bytes& image, uint8_t flags = 0);
Block firmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
Block serialOffsets(uint32_t serialOffset, uint32_t descriptorOffset);
Block descriptor(const Descriptor& fields);
Block loaderStart(uint32_t address);
Block raw(uint8_t headerByte, const Bytes& payload);

// Byte helpers.
Bytes be32(uint32_t value);
Bytes text(const std::string& s);
Bytes pattern(size_t n, uint32_t seed);  // deterministic pseudo-random bytes
Bytes fill(size_t n, uint8_t byte);

// image (loaded at base) with an i.MX image vector table that names itself
// at `at`: what the boot ROM needs at a jump target.
Bytes withVectorTable(Bytes image, uint32_t base, uint32_t at);

// The chained XOR the recovery loader undoes: stored = plain ^ key ^ previous plain.
Bytes scramble(const Bytes& image, const Fingerprint& key);

// Whole zlib stream (RFC 1950) of data at the given level; empty on failure.
Bytes deflate(const Bytes& data, int level);

// The inflated body, and the complete file.
Bytes body(const Container& c);
Bytes file(const Container& c);

// Writes file(c) (or body(c) when bodyOnly) to path; false on any failure.
bool write(const std::string& path, const Container& c, bool bodyOnly = false);

}  // namespace birdgen

#endif
