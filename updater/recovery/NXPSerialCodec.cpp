// The data side of the ISP protocol: uuencoded lines, byte sums, copy sizes
// and the sector map.

#include "updater/recovery/NXPSerialClass.h"

#include "updater/support/Log.h"

const uint32_t NXP_LPC17XX_sectors[31][3] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

namespace {

constexpr unsigned int kUuBlank = 0x20;
constexpr unsigned int kUuGrave = 0x60;  // stands for a 0 value, never a blank

unsigned int uuvalue(char c) { return (static_cast<unsigned char>(c) - kUuBlank) & 0x3F; }

bool endOfLine(char c) { return c == '\0' || c == '\r' || c == '\n'; }

}  // namespace

uint32_t NXPSerialClass::sum(const unsigned char* data, unsigned long length) {
  uint32_t total = 0;
  for (unsigned long i = 0; data != nullptr && i < length; ++i) {
    total += data[i];
  }
  return total;
}

char NXPSerialClass::uuchar(unsigned int value) {
  unsigned int c = (value & 0x3F) + kUuBlank;
  return static_cast<char>(c == kUuBlank ? kUuGrave : c);
}

// A line: one length character, then four characters per three bytes (the
// last group padded with zero bytes).
unsigned long NXPSerialClass::uuencode(char* out, const unsigned char* data, unsigned long count) {
  if (out == nullptr) {
    return 0;
  }
  if (data == nullptr) {
    count = 0;
  }
  if (count > MAX_BYTES_PER_LINE) {
    count = MAX_BYTES_PER_LINE;
  }
  unsigned long at = 0;
  out[at++] = uuchar(static_cast<unsigned int>(count));
  for (unsigned long i = 0; i < count; i += 3) {
    unsigned int a = data[i];
    unsigned int b = i + 1 < count ? data[i + 1] : 0;
    unsigned int c = i + 2 < count ? data[i + 2] : 0;
    unsigned int group = a << 16 | b << 8 | c;
    out[at++] = uuchar(group >> 18);
    out[at++] = uuchar(group >> 12);
    out[at++] = uuchar(group >> 6);
    out[at++] = uuchar(group);
  }
  out[at] = '\0';
  return count;
}

unsigned long NXPSerialClass::uudecode(unsigned char* destination, unsigned long size, const char* line) {
  if (destination == nullptr || line == nullptr || endOfLine(line[0])) {
    return 0;
  }
  const unsigned long declared = uuvalue(line[0]);
  if (declared > size) {
    return 0;
  }
  unsigned long stored = 0;
  const char* group = line + 1;
  while (stored < declared) {
    if (endOfLine(group[0]) || endOfLine(group[1]) || endOfLine(group[2]) || endOfLine(group[3])) {
      // The line ends early: what it carried is kept, nothing is made up.
      Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
      break;
    }
    unsigned int a = uuvalue(group[0]), b = uuvalue(group[1]), c = uuvalue(group[2]), d = uuvalue(group[3]);
    const unsigned char bytes[3] = {static_cast<unsigned char>(a << 2 | b >> 4),
                                    static_cast<unsigned char>(b << 4 | c >> 2),
                                    static_cast<unsigned char>(c << 6 | d)};
    for (unsigned char byte : bytes) {
      if (stored < declared) {
        destination[stored++] = byte;
      }
    }
    group += 4;
  }
  return stored;
}

unsigned int NXPSerialClass::CopyLength(unsigned int count) {
  static const unsigned int sizes[] = {256, 512, 1024, 4096};
  for (unsigned int size : sizes) {
    if (count <= size) {
      return size;
    }
  }
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(count));
  return count;
}

unsigned int NXPSerialClass::SectorFromAddress(unsigned int address) {
  for (const uint32_t* row : NXP_LPC17XX_sectors) {
    if (row[0] == 0xFFFFFFFF) {
      return row[2];
    }
    if (address >= row[0] && address - row[0] < row[1]) {
      return row[2];
    }
  }
  return 30;
}

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};
