#include "updater/firmware/BirdFile.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Tessarine2/common/aFile.h"
#include "updater/firmware/FileError.h"
#include "updater/support/Log.h"

namespace {

// The header is the signature and the 2-byte version; the zlib stream follows.
constexpr uint64_t kHeaderSize = 6;
// The body opens with the declared count and closes with the checksum.
constexpr uint32_t kCountSize = 4;
constexpr uint32_t kChecksumSize = 4;
// A block header is its type/flags byte and its 4-byte length.
constexpr uint64_t kBlockHeaderSize = 5;
// zlib bodies are never more than this many times their compressed size.
constexpr uint64_t kInflateRatio = 8;

// Descriptor fields: offset and how many bytes are read of each.
constexpr size_t kFieldSize = 16;
constexpr size_t kBuildField = 0;
constexpr size_t kBuildDigits = 15;
constexpr size_t kVersionField = 16;
constexpr size_t kVersionChars = 15;
constexpr size_t kSerialField = 32;
constexpr size_t kSerialDigits = 8;
constexpr size_t kModelField = 48;

// A serial-number descriptor is 8 UTF-16 characters, 16 bytes.
constexpr uint64_t kSerialTextBytes = 16;
constexpr uint64_t kSerialWordBytes = 4;

// Fingerprint key: four words of 4 bytes.
constexpr size_t kKeyBytes = 16;

// LPC17xx valid-image rule: vector word 7 balances the sum of words 0 to 6.
constexpr uint32_t kVectorChecksumWord = 7;

uint32_t _read_be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t _read_le32(const unsigned char* p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[0]);
}

void _write_le32(unsigned char* p, uint32_t value) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
  p[2] = uint8_t(value >> 16);
  p[3] = uint8_t(value >> 24);
}

uint32_t _minimum_length(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER:
    case BirdFile::BLOCK_FIRMWARE:
    case BirdFile::BLOCK_LOADER_START:
      return BirdFile::MIN_ADDRESSED_LENGTH;
    case BirdFile::BLOCK_SERIAL_OFFSETS:
      return BirdFile::MIN_SERIAL_OFFSETS_LENGTH;
    case BirdFile::BLOCK_DESCRIPTOR:
      return BirdFile::DESCRIPTOR_LENGTH;
    default:
      return 0;
  }
}

// Opening a FIFO or a device for reading could block or never end, so only
// regular files are read. Empty for a regular file, else why it is not
// read.
std::string _not_a_regular_file(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  return std::string();
}

std::string _count_text(uint64_t count, const char* unit) {
  return std::to_string(static_cast<unsigned long long>(count)) + " " + unit + (count == 1 ? "" : "s");
}

// What a failed inflate says about the container.
std::string _inflate_failure(int rc) {
  switch (rc) {
    case Z_DATA_ERROR: return "its compressed body is damaged or cut short";
    case Z_BUF_ERROR: return "its compressed body inflates to more than 8 times its size";
    case Z_MEM_ERROR: return "not enough memory to inflate its body";
    default: return "its compressed body cannot be inflated (zlib error " + std::to_string(rc) + ")";
  }
}

// Reads until count bytes arrived or the file ends; the error of the read
// that stopped it, with the end of the file not counted as one.
aErr _read_fully(aFile* file, unsigned char* buffer, size_t count, size_t* total) {
  *total = 0;
  while (*total < count) {
    size_t got = 0;
    aErr err = aFile_Read(file, buffer + *total, count - *total, &got);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    if (got == 0) return aErrNone;
    *total += got;
  }
  return aErrNone;
}

int _digit_value(unsigned char c, int base) {
  int v;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  } else {
    return -1;
  }
  return v < base ? v : -1;
}

// Reads a number from at most n bytes of a text field, never past them:
// leading spaces are skipped, the digits end at the first other byte. A
// value that does not fit 32 bits reads as 0.
uint32_t _parse_field_number(const unsigned char* p, size_t n, int base) {
  size_t i = 0;
  while (i < n && std::isspace(p[i])) ++i;
  uint64_t value = 0;
  for (; i < n; ++i) {
    int digit = _digit_value(p[i], base);
    if (digit < 0) break;
    value = value * uint64_t(base) + uint64_t(digit);
    if (value > UINT32_MAX) return 0;
  }
  return uint32_t(value);
}

}  // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "") {
  if (!Load()) throw FileError("Failed to load bird data", path, loadFailure);
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  // The body buffer itself moves, so the blocks' payload pointers stay valid.
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  blockCount = other.blockCount;
  blocks = std::move(other.blocks);
  hasSerialOffsets = other.hasSerialOffsets;
  serialOffset = other.serialOffset;
  descriptorOffset = other.descriptorOffset;
  body = std::move(other.body);
  bodySize = other.bodySize;
  loadFailure = std::move(other.loadFailure);
  other.path.clear();
  other.resetParsedState();
  return *this;
}

bool BirdFile::refuse(std::string why) {
  loadFailure = std::move(why);
  return false;
}

void BirdFile::resetParsedState() {
  signature = 0;
  version = 0;
  loadFailure.clear();
  resetBody();
}

void BirdFile::resetBody() {
  checksum = 0;
  blockCount = 0;
  blocks.clear();
  hasSerialOffsets = false;
  serialOffset = 0;
  descriptorOffset = 0;
  body.reset();
  bodySize = 0;
}

bool BirdFile::VerifyFile(const char* filePath, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  reason.clear();
  if (filePath == nullptr) {
    reason = "no file named";
    return false;
  }
  if (aFile_Exists(filePath)) {
    reason = _not_a_regular_file(filePath);
    if (!reason.empty()) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - not a regular file: '%s'\n", filePath);
      return false;
    }
  }
  errno = 0;
  aFile* file = aFile_Open(filePath, aFileModeReadOnly);
  if (file == nullptr) {
    reason = errno != 0 ? std::strerror(errno) : "it cannot be opened";
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath);
    return false;
  }
  unsigned char header[kHeaderSize];
  size_t got = 0;
  errno = 0;
  aErr err = _read_fully(file, header, sizeof header, &got);
  const int readError = errno;
  aFile_Close(&file);
  if (err != aErrNone) {
    reason = readError != 0 ? std::strerror(readError) : "it cannot be read";
  } else if (got < kHeaderSize) {
    reason = "it holds " + _count_text(got, "byte") + ", too few for a container header";
  } else if (std::memcmp(header, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) != 0) {
    reason = "it does not begin with \"bird\", so it is no firmware container";
  } else if (header[4] == 0 || header[5] == 0) {
    reason = "its container version " + std::to_string(header[4]) + "." + std::to_string(header[5]) +
             " has a zero part";
  }
  return reason.empty();
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  resetParsedState();

  if (!aFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    const std::string why = _not_a_regular_file(path.c_str());
    return refuse(why.empty() ? std::strerror(ENOENT) : why);
  }
  const std::string irregular = _not_a_regular_file(path.c_str());
  if (!irregular.empty()) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - not a regular file: '%s'\n", path.c_str());
    return refuse(irregular);
  }
  errno = 0;
  aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return refuse(errno != 0 ? std::strerror(errno) : "it cannot be opened");
  }

  uint64_t size = 0;
  errno = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err), path.c_str());
    const int cause = errno;
    aFile_Close(&file);
    return refuse(cause != 0 ? std::strerror(cause) : "its size cannot be read");
  }
  if (size > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s has %llu bytes, more than the %llu a bird file may have\n",
             path.c_str(), static_cast<unsigned long long>(size), static_cast<unsigned long long>(MAX_FILE_SIZE));
    aFile_Close(&file);
    return refuse("it holds " + _count_text(size, "byte") + ", more than the " +
                  _count_text(MAX_FILE_SIZE, "byte") + " a container may have");
  }

  bool result = false;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size ? size : 1]);
  if (buffer == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(aErrMemory), path.c_str());
    refuse("not enough memory to read it");
  } else {
    size_t got = 0;
    errno = 0;
    err = _read_fully(file, buffer.get(), size, &got);
    if (err != aErrNone) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path.c_str());
      refuse(errno != 0 ? std::strerror(errno) : "it cannot be read");
    } else if (got < size) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), got,
               size_t(size));
      refuse("only " + std::to_string(got) + " of its " + _count_text(size, "byte") + " could be read");
    } else {
      result = LoadData(buffer.get(), size);
    }
  }
  aFile_Close(&file);
  return result;
}

bool BirdFile::LoadData(const unsigned char* data, uint64_t n) {
  resetParsedState();
  if (data == nullptr && n != 0) return refuse("no bytes");
  if (n > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %llu bytes are more than the %llu a bird file may have\n",
             static_cast<unsigned long long>(n), static_cast<unsigned long long>(MAX_FILE_SIZE));
    return refuse("it holds " + _count_text(n, "byte") + ", more than the " + _count_text(MAX_FILE_SIZE, "byte") +
                  " a container may have");
  }
  if (n > kHeaderSize) {
    signature = _read_be32(data);
    version = (uint32_t(data[4]) << 8) | data[5];
  }
  if (n < kHeaderSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %llu bytes hold no bird container\n", static_cast<unsigned long long>(n));
    return refuse("it holds " + _count_text(n, "byte") + ", too few for a container header");
  }
  if (!DecompressData(data + kHeaderSize, n - kHeaderSize)) {
    // The signature is not required of a container that inflates, but
    // without it the bytes were never meant to be one.
    if (std::memcmp(data, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) != 0) {
      return refuse("it does not begin with \"bird\", so it is no firmware container");
    }
    return false;
  }
  return parseBody();
}

bool BirdFile::LoadBody(const unsigned char* data, uint64_t n) {
  resetParsedState();
  if ((data == nullptr && n != 0) || n > MAX_FILE_SIZE * kInflateRatio) return refuse("no body of a usable size");
  body.reset(new (std::nothrow) unsigned char[n ? n : 1]);
  if (body == nullptr) return refuse("not enough memory for its body");
  if (n != 0) std::memcpy(body.get(), data, n);
  bodySize = uint32_t(n);
  return parseBody();
}

bool BirdFile::parseBody() {
  // A count mismatch is logged and accepted: containers in the field may
  // carry one. Blocks that do not fit the body are refused.
  if (scan(body.get(), bodySize) == ScanResult::Malformed) {
    body.reset();
    bodySize = 0;
    return false;
  }
  if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
    hasSerialOffsets = true;
    FindSerialNumberOffsets();
  }
  return true;
}

bool BirdFile::DecompressData(const unsigned char* data, uint64_t n) {
  // The blocks of an earlier body must not outlive it.
  resetBody();
  // Bounding n keeps the 8x capacity within the 32 bits of bodySize.
  if ((data == nullptr && n != 0) || n > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_DATA_ERROR);
    return refuse(_inflate_failure(Z_DATA_ERROR));
  }
  const uint32_t capacity = uint32_t(n * kInflateRatio);
  body.reset(new (std::nothrow) unsigned char[capacity ? capacity : 1]);
  if (body == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    return refuse(_inflate_failure(Z_MEM_ERROR));
  }
  uLongf inflated = capacity;
  int rc = uncompress(body.get(), &inflated, data, uLong(n));
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    body.reset();
    return refuse(_inflate_failure(rc));
  }
  bodySize = uint32_t(inflated);
  // Keep only what was inflated: the 8x reserve is mostly unused, and an
  // exact buffer lets the sanitizers see any read past the body.
  if (bodySize < capacity) {
    std::unique_ptr<unsigned char[]> exact(new (std::nothrow) unsigned char[bodySize ? bodySize : 1]);
    if (exact != nullptr) {
      if (bodySize != 0) std::memcpy(exact.get(), body.get(), bodySize);
      body = std::move(exact);
    }
  }
  return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, uint32_t n) {
  return scan(data, n) == ScanResult::Ok;
}

BirdFile::ScanResult BirdFile::scan(const unsigned char* data, uint32_t n) {
  loadFailure.clear();
  blockCount = 0;
  blocks.clear();
  checksum = 0;
  if (data == nullptr || n < kCountSize + kChecksumSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - body of %u bytes has no room for count and checksum\n", n);
    refuse("its body of " + _count_text(n, "byte") + " has no room for the block count and checksum");
    return ScanResult::Malformed;
  }

  const uint32_t declared = _read_be32(data);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declared));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  // 64-bit positions: a 32-bit length added to a position cannot wrap.
  uint64_t position = kCountSize;
  uint64_t remaining = uint64_t(n) - kCountSize;
  auto malformed = [this](std::string why) {
    blocks.clear();
    blockCount = 0;
    refuse(std::move(why));
    return ScanResult::Malformed;
  };

  // remaining > 4 means a whole block header fits in front of the checksum.
  while (remaining > kChecksumSize) {
    const unsigned char* header = data + position;
    BirdBlock block;
    block.type = header[0] & BIRD_FILE_TYPE_MASK;
    block.flags = uint8_t((header[0] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = _read_be32(header + 1);
    block.payload = const_cast<unsigned char*>(header + kBlockHeaderSize);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, int(block.length));

    if (kBlockHeaderSize + block.length + kChecksumSize > remaining) {
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Error - block %u at offset %llu (%u bytes) runs past the end of the body "
               "or leaves no room for the checksum\n",
               blockCount, static_cast<unsigned long long>(position), block.length);
      return malformed("block " + std::to_string(blockCount) + " (" + _count_text(block.length, "byte") +
                       ") runs past the end of the body");
    }
    if (block.length < _minimum_length(block.type)) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - block %u of type %u has %u bytes, fewer than its type needs (%u)\n",
               blockCount, block.type, block.length, _minimum_length(block.type));
      return malformed("block " + std::to_string(blockCount) + " of type " + std::to_string(block.type) + " has " +
                       _count_text(block.length, "byte") + ", fewer than its type needs (" +
                       std::to_string(_minimum_length(block.type)) + ")");
    }
    if (blockCount == MAX_BLOCKS) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - more than %u blocks\n", MAX_BLOCKS);
      return malformed("it has more than " + std::to_string(MAX_BLOCKS) + " blocks");
    }
    if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) block.address = _read_be32(block.payload);
    if (block.type == BLOCK_DESCRIPTOR) {
      for (size_t field = 0; field < DESCRIPTOR_LENGTH; field += kFieldSize) {
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(block.payload + field));
      }
    }

    position += kBlockHeaderSize + block.length;
    remaining -= kBlockHeaderSize + block.length;
    ++blockCount;
    blocks.push_back(block);
  }

  // Every accepted block left room for the checksum and a shorter rest
  // cannot start a block, so exactly the 4 checksum bytes remain here.
  checksum = _read_be32(data + position);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);

  if (blockCount != declared) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", int(blockCount),
             int(declared));
    return ScanResult::CountMismatch;
  }
  return ScanResult::Ok;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_SERIAL_OFFSETS) continue;
    if (block.payload == nullptr || block.length < MIN_SERIAL_OFFSETS_LENGTH) return false;
    serialOffset = _read_be32(block.payload);
    descriptorOffset = _read_be32(block.payload + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", int(serialOffset),
             int(descriptorOffset));
    return true;
  }
  return false;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks) {
    if (block.type == type) found.push_back(block);
  }
  return found;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", serial);

  bool serialWritten = false;
  bool textWritten = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.payload == nullptr || block.length < MIN_ADDRESSED_LENGTH) continue;
    // Device address X is payload byte X - start + 4; the image ends before
    // imageEnd. All of it in 64 bits, so offsets near 4 GiB cannot wrap.
    const uint64_t start = block.address;
    const uint64_t imageEnd = start + block.length - MIN_ADDRESSED_LENGTH;
    unsigned char* image = block.payload + MIN_ADDRESSED_LENGTH;

    if (serialOffset != 0 && serialOffset >= start && serialOffset + kSerialWordBytes <= imageEnd) {
      unsigned char* at = image + (serialOffset - start);
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", _read_le32(at), serial);
      _write_le32(at, serial);
      serialWritten = true;
    }
    if (descriptorOffset != 0 && descriptorOffset >= start && descriptorOffset + kSerialTextBytes <= imageEnd) {
      // UTF-16LE text: each digit goes into the low byte, the high bytes stay.
      unsigned char* at = image + (descriptorOffset - start);
      for (size_t i = 0; i < 8; ++i) at[2 * i] = uint8_t(digits[i]);
      textWritten = true;
    }
  }

  // A generic image whose placeholder is left anywhere must not be sent.
  const bool anyOffset = serialOffset != 0 || descriptorOffset != 0;
  const bool result = anyOffset && (serialOffset == 0 || serialWritten) && (descriptorOffset == 0 || textWritten);
  if (!result) {
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Error - serial number offsets %08X, %08X are not all inside a firmware block\n", serialOffset,
             descriptorOffset);
  }
  return result;
}

bool BirdFile::ReplaceVectorChecksum() {
  const uint32_t vectorBytes = MIN_ADDRESSED_LENGTH + 4 * (kVectorChecksumWord + 1);
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.address != 0 || block.payload == nullptr) continue;
    if (block.length < vectorBytes) continue;
    unsigned char* image = block.payload + MIN_ADDRESSED_LENGTH;
    uint32_t sum = 0;
    for (uint32_t word = 0; word < kVectorChecksumWord; ++word) sum += _read_le32(image + 4 * word);
    unsigned char* slot = image + 4 * kVectorChecksumWord;
    const uint32_t updated = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", _read_le32(slot), updated);
    _write_le32(slot, updated);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t* key) {
  if (key == nullptr) return false;
  unsigned char keyBytes[kKeyBytes];
  for (size_t word = 0; word < 4; ++word) {
    keyBytes[4 * word + 0] = uint8_t(key[word] >> 24);
    keyBytes[4 * word + 1] = uint8_t(key[word] >> 16);
    keyBytes[4 * word + 2] = uint8_t(key[word] >> 8);
    keyBytes[4 * word + 3] = uint8_t(key[word]);
  }
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.payload == nullptr || block.length < MIN_ADDRESSED_LENGTH) continue;
    // Each block is chained on its own: the previous plain byte feeds the
    // next, starting again at key byte 0.
    unsigned char* image = block.payload + MIN_ADDRESSED_LENGTH;
    const uint32_t imageBytes = block.length - MIN_ADDRESSED_LENGTH;
    unsigned char previous = 0;
    for (uint32_t i = 0; i < imageBytes; ++i) {
      const unsigned char plain = image[i] ^ keyBytes[i % kKeyBytes] ^ previous;
      image[i] = plain;
      previous = plain;
    }
  }
  return true;
}

bool BirdFile::ValidateData(const unsigned char* pattern, uint32_t n) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern != nullptr && n != 0) {
    for (const BirdBlock& block : blocks) {
      if (block.type != BLOCK_FIRMWARE || block.payload == nullptr || n > block.length) continue;
      for (uint64_t i = 0; i + n <= block.length; ++i) {
        if (std::memcmp(block.payload + i, pattern, n) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

const unsigned char* BirdFile::descriptor() const {
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_DESCRIPTOR) continue;
    // Only the first descriptor counts.
    if (block.payload == nullptr || block.length < DESCRIPTOR_LENGTH) return nullptr;
    return block.payload;
  }
  return nullptr;
}

bool BirdFile::ValidateModel(const char* name) const {
  const unsigned char* fields = descriptor();
  if (fields == nullptr || name == nullptr || name[0] == '\0') return false;

  // The field is text padded with spaces; it need not be terminated.
  char model[kFieldSize + 1];
  std::memcpy(model, fields + kModelField, kFieldSize);
  model[kFieldSize] = '\0';
  for (size_t i = kFieldSize; i > 0 && model[i - 1] == ' '; --i) model[i - 1] = '\0';
  const size_t length = std::strlen(model);

  const size_t nameLength = std::strlen(name);
  if (nameLength > length || std::memcmp(model, name, nameLength) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model, name);
  return true;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

uint32_t BirdFile::GetSerialNumber() const {
  const unsigned char* fields = descriptor();
  return fields ? _parse_field_number(fields + kSerialField, kSerialDigits, 16) : 0;
}

uint32_t BirdFile::GetBuild() const {
  const unsigned char* fields = descriptor();
  return fields ? _parse_field_number(fields + kBuildField, kBuildDigits, 10) : 0;
}

std::string BirdFile::GetModel() const {
  const unsigned char* fields = descriptor();
  if (fields == nullptr) return std::string();
  std::string model(reinterpret_cast<const char*>(fields + kModelField), kFieldSize);
  model = model.substr(0, model.find('\0'));
  while (!model.empty() && model.back() == ' ') model.pop_back();
  return model;
}

std::string BirdFile::GetVersion() const {
  const unsigned char* fields = descriptor();
  if (fields == nullptr) return std::string();
  const unsigned char* text = fields + kVersionField;
  size_t length = 0;
  while (length < kVersionChars && text[length] != ' ' && text[length] != '\0') ++length;
  return std::string(reinterpret_cast<const char*>(text), length);
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  constexpr uint32_t kBytesPerLine = 50;
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  std::string text;
  for (const BirdBlock& block : blocks) {
    if (block.type != type || block.payload == nullptr) continue;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % kBytesPerLine == 0) {
        std::printf(" %s\r\n%06d: ", text.c_str(), int(i));
        text.clear();
      }
      const unsigned char byte = block.payload[i];
      std::printf("%02X ", byte);
      text.push_back(std::isprint(byte) ? char(byte) : ' ');
    }
    std::printf(" %s\n", text.c_str());
    text.clear();
  }
  std::printf("\n");
  return true;
}
