#ifndef UPDATER_FIRMWARE_BIRDFILE_H
#define UPDATER_FIRMWARE_BIRDFILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One typed block of a loaded container. Copies are handed out; payload
// points into the owning BirdFile's body and is valid while that body lives.
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;               // header bits 5 to 7, a value 0 to 7
  uint32_t length = 0;             // payload length, address bytes included
  uint32_t address = 0;            // loader and firmware: load address, else 0
  unsigned char* payload = nullptr;
};

// A ".bird" firmware container:
//
//   file:  "bird" | version (2, big-endian) | zlib stream (RFC 1950)
//   body:  declared count (4) | blocks ... | checksum (4)
//   block: header (1: type bits 0-4, flags bits 5-7) | length L (4) | payload (L)
//
// All integers of the body are big-endian. A container whose blocks do not
// fit the body (or are too short for their type) is refused; a declared
// count that differs from the blocks found is logged and accepted.
//
// Move-only: the blocks point into the body buffer, which moves with them.
class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,          // load address (4), loader image
    BLOCK_FIRMWARE = 1,        // load address (4), firmware image
    BLOCK_SERIAL_OFFSETS = 2,  // serial offset (4), descriptor offset (4)
    BLOCK_DESCRIPTOR = 4,      // 64 bytes of text fields
    BLOCK_LOADER_START = 5,    // loader start address (4)
  };

  static constexpr unsigned char BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

  // Largest container file Load reads. Real images are a few hundred KiB;
  // with the 8x inflate limit this also bounds the body to 512 MiB.
  static constexpr uint64_t MAX_FILE_SIZE = 64ull * 1024 * 1024;
  // Most blocks one body may hold; real containers have a handful.
  static constexpr uint32_t MAX_BLOCKS = 65536;
  // Shortest payload of each block type that has a fixed part.
  static constexpr uint32_t MIN_ADDRESSED_LENGTH = 4;        // loader, firmware, loader start
  static constexpr uint32_t MIN_SERIAL_OFFSETS_LENGTH = 8;
  static constexpr uint32_t DESCRIPTOR_LENGTH = 64;

  BirdFile();
  // Loads the file; throws FileError "Failed to load bird data" with the
  // path and LoadFailure's reason.
  explicit BirdFile(const char* path);
  ~BirdFile();

  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // Reads the file at path, inflates and scans it. Every earlier parsed
  // state is dropped first. False for any file that holds no usable
  // container: missing, not a regular file, larger than MAX_FILE_SIZE,
  // unreadable, shorter than 6 bytes, a zlib error, or malformed blocks.
  bool Load();

  // The same as Load on a container already in memory (header and zlib
  // stream). path is left as it is.
  bool LoadData(const unsigned char* data, uint64_t n);

  // Takes an already inflated body (count, blocks, checksum): copies it and
  // scans it as Load does after inflating.
  bool LoadBody(const unsigned char* data, uint64_t n);

  // True when the file starts with "bird" and two non-zero version bytes.
  // why, when not NULL, receives the reason of a refusal in words.
  static bool VerifyFile(const char* path, std::string* why = nullptr);

  // Why the last Load, LoadData, LoadBody or ScanBlocks refused its input,
  // in words ("No such file or directory", "it does not begin with ..."); empty
  // after a success.
  const std::string& LoadFailure() const { return loadFailure; }

  // Inflates one zlib stream into body, dropping the earlier body and the
  // blocks parsed from it (call ScanBlocks next); fails when the body would
  // be more than 8 times the compressed size.
  bool DecompressData(const unsigned char* data, uint64_t n);

  // Splits data into blocks (their payloads point into data). False on a
  // count mismatch or a malformed body; a malformed body leaves no blocks.
  bool ScanBlocks(const unsigned char* data, uint32_t n);

  bool FindSerialNumberOffsets();
  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

  // Patches the serial number into every firmware block that holds the
  // serial or descriptor offset. True only when each non-zero offset was
  // written into at least one block.
  bool ReplaceSerialNumber(uint32_t serial);

  // For firmware blocks loaded at address 0: image word 7 becomes the two's
  // complement of the sum of words 0 to 6 (the LPC17xx valid-image rule).
  bool ReplaceVectorChecksum();

  // Descrambles every firmware image in place with the chip's four
  // fingerprint words. False only for a null key.
  bool DecodeFirmwareBlocks(const uint32_t* key);

  // True when the pattern occurs in some firmware payload.
  bool ValidateData(const unsigned char* pattern, uint32_t n) const;

  // True when the descriptor's model field (trailing spaces removed) begins
  // with name; false without a descriptor or for an empty name.
  bool ValidateModel(const char* name) const;
  bool ValidateSerialNumber(uint32_t serial) const;

  // Read from the first descriptor block; 0 or empty without one.
  bool HasDescriptor() const { return descriptor() != nullptr; }
  uint32_t GetSerialNumber() const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  // The model field without its padding spaces.
  std::string GetModel() const;

  // Hexadecimal dump of every block of the type to standard output.
  bool DumpBlocks(BLOCK_TYPE type) const;

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;  // blocks parsed, not the declared count
  std::vector<BirdBlock> blocks;
  bool hasSerialOffsets = false;
  uint32_t serialOffset = 0;
  uint32_t descriptorOffset = 0;
  std::unique_ptr<unsigned char[]> body;
  uint32_t bodySize = 0;

 private:
  enum class ScanResult { Ok, CountMismatch, Malformed };

  // Records why the input is refused; false, for the refusing return.
  bool refuse(std::string why);
  void resetParsedState();  // everything but path
  void resetBody();         // the body and all that was parsed from it
  ScanResult scan(const unsigned char* data, uint32_t n);
  bool parseBody();
  const unsigned char* descriptor() const;

  std::string loadFailure;
};

#endif
