#include "tests/sim/bird/BirdGenerator.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

namespace birdgen {

namespace {

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

// Cuts or pads s to width bytes.
Bytes field(const std::string& s, size_t width, uint8_t pad) {
  Bytes out(width, pad);
  for (size_t i = 0; i < width && i < s.size(); ++i) out[i] = uint8_t(s[i]);
  return out;
}

Block addressed(uint8_t type, uint32_t address, const Bytes& image, uint8_t flags) {
  Block b;
  b.header = header(type, flags);
  b.payload = be32(address);
  append(b.payload, image);
  return b;
}

}  // namespace

uint8_t header(uint8_t type, uint8_t flags) { return uint8_t((type & 0x1F) | ((flags & 0x07) << 5)); }

Block loader(uint32_t address, const Bytes& image, uint8_t flags) {
  return addressed(kTypeLoader, address, image, flags);
}

Block firmware(uint32_t address, const Bytes& image, uint8_t flags) {
  return addressed(kTypeFirmware, address, image, flags);
}

Block serialOffsets(uint32_t serialOffset, uint32_t descriptorOffset) {
  Block b;
  b.header = header(kTypeSerialOffsets, 0);
  b.payload = be32(serialOffset);
  append(b.payload, be32(descriptorOffset));
  return b;
}

Block descriptor(const Descriptor& fields) {
  Block b;
  b.header = header(kTypeDescriptor, 0);
  append(b.payload, field(fields.build, 16, 0));
  append(b.payload, field(fields.version, 16, 0));
  append(b.payload, field(fields.serial, 8, 0));
  append(b.payload, field(fields.reserved, 8, 0));
  append(b.payload, field(fields.model, 16, ' '));
  return b;
}

Block loaderStart(uint32_t address) {
  Block b;
  b.header = header(kTypeLoaderStart, 0);
  b.payload = be32(address);
  return b;
}

Block raw(uint8_t headerByte, const Bytes& payload) {
  Block b;
  b.header = headerByte;
  b.payload = payload;
  return b;
}

Bytes be32(uint32_t value) {
  return Bytes{uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes pattern(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = uint8_t(state >> 11);
  }
  return out;
}

Bytes fill(size_t n, uint8_t byte) { return Bytes(n, byte); }

Bytes withVectorTable(Bytes image, uint32_t base, uint32_t at) {
  // Tag 0xD1, length 32, version 0x41; entry point; self pointer at byte 20.
  const uint32_t entry = at + 0x1001;
  const uint8_t ivt[32] = {0xD1, 0x00, 0x20, 0x41, uint8_t(entry), uint8_t(entry >> 8), uint8_t(entry >> 16),
                           uint8_t(entry >> 24), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(at), uint8_t(at >> 8),
                           uint8_t(at >> 16), uint8_t(at >> 24)};
  std::copy(ivt, ivt + sizeof ivt, image.begin() + (at - base));
  return image;
}

Bytes scramble(const Bytes& image, const Fingerprint& key) {
  uint8_t k[16];
  for (size_t w = 0; w < 4; ++w) {
    for (size_t b = 0; b < 4; ++b) k[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));
  }
  Bytes out(image.size());
  uint8_t previousPlain = 0;
  for (size_t i = 0; i < image.size(); ++i) {
    out[i] = uint8_t(image[i] ^ k[i % 16] ^ previousPlain);
    previousPlain = image[i];
  }
  return out;
}

Bytes deflate(const Bytes& data, int level) {
  uLongf size = compressBound(uLong(data.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, data.data(), uLong(data.size()), level) != Z_OK) return Bytes();
  out.resize(size);
  return out;
}

Bytes body(const Container& c) {
  if (c.rawBody) return *c.rawBody;
  Bytes out = be32(c.declaredCount ? *c.declaredCount : uint32_t(c.blocks.size()));
  for (const Block& b : c.blocks) {
    Bytes payload = b.payload;
    if (c.scrambleKey && (b.header & 0x1F) == kTypeFirmware && payload.size() >= 4) {
      Bytes image(payload.begin() + 4, payload.end());
      Bytes scrambled = scramble(image, *c.scrambleKey);
      std::copy(scrambled.begin(), scrambled.end(), payload.begin() + 4);
    }
    out.push_back(b.header);
    append(out, be32(b.lengthField ? *b.lengthField : uint32_t(payload.size())));
    append(out, payload);
  }
  if (!c.omitChecksum) {
    uint32_t sum = 0;
    for (uint8_t byte : out) sum += byte;
    append(out, be32(c.checksum ? *c.checksum : sum));
  }
  append(out, c.bodyTrailer);
  return out;
}

Bytes file(const Container& c) {
  Bytes out(c.signature.begin(), c.signature.end());
  out.push_back(c.versionHigh);
  out.push_back(c.versionLow);
  append(out, deflate(body(c), c.compressionLevel));
  append(out, c.fileTrailer);
  for (const auto& [offset, mask] : c.corruptions) {
    if (offset < out.size()) out[offset] ^= mask;
  }
  if (c.truncateTo && *c.truncateTo < out.size()) out.resize(*c.truncateTo);
  return out;
}

bool write(const std::string& path, const Container& c, bool bodyOnly) {
  const Bytes bytes = bodyOnly ? body(c) : file(c);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace birdgen
