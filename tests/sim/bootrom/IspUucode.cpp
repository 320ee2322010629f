// Uuencoding of the LPC17xx ISP handler's data lines.

#include <string>
#include <vector>

#include "tests/sim/bootrom/Lpc17xxIspRom.h"

namespace bootrom {

namespace {

char encode6(unsigned value) {
  value &= 0x3F;
  return value == 0 ? '`' : static_cast<char>(value + ' ');
}

bool decode6(char c, unsigned* value) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u < ' ' || u > '`') {
    return false;
  }
  *value = (u - ' ') & 0x3F;
  return true;
}

}  // namespace

std::string ispUuencode(const uint8_t* data, size_t count) {
  std::string line(1, encode6(static_cast<unsigned>(count)));
  for (size_t i = 0; i < count; i += 3) {
    unsigned a = data[i];
    unsigned b = i + 1 < count ? data[i + 1] : 0;
    unsigned c = i + 2 < count ? data[i + 2] : 0;
    line += encode6(a >> 2);
    line += encode6((a << 4) | (b >> 4));
    line += encode6((b << 2) | (c >> 6));
    line += encode6(c);
  }
  return line;
}

bool ispUudecode(const std::string& line, std::vector<uint8_t>* out) {
  unsigned length = 0;
  if (line.empty() || !decode6(line[0], &length) || length > 45) {
    return false;
  }
  const size_t groups = (length + 2) / 3;
  if (line.size() < 1 + groups * 4) {
    return false;
  }
  std::vector<uint8_t> bytes;
  for (size_t g = 0; g < groups; ++g) {
    unsigned v[4];
    for (int k = 0; k < 4; ++k) {
      if (!decode6(line[1 + g * 4 + k], &v[k])) {
        return false;
      }
    }
    bytes.push_back(static_cast<uint8_t>((v[0] << 2) | (v[1] >> 4)));
    bytes.push_back(static_cast<uint8_t>((v[1] << 4) | (v[2] >> 2)));
    bytes.push_back(static_cast<uint8_t>((v[2] << 6) | v[3]));
  }
  bytes.resize(length);
  out->insert(out->end(), bytes.begin(), bytes.end());
  return true;
}

}  // namespace bootrom
