#ifndef TESTS_SIM_BOOTROM_IMXSDPROM_H
#define TESTS_SIM_BOOTROM_IMXSDPROM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace bootrom {

// HID report ids of the protocol: 1 and 2 from the host, 3 and 4 from the
// device.
constexpr uint8_t SDP_COMMAND_REPORT_ID = 1;
constexpr uint8_t SDP_DATA_REPORT_ID = 2;
constexpr uint8_t SDP_HAB_REPORT_ID = 3;
constexpr uint8_t SDP_RESPONSE_REPORT_ID = 4;

// One piece of an answer of the i.MX RT boot ROM. Over USB HID the HAB
// mode travels in report 3 and everything else in 64-byte reports 4; over
// the UART both are bare bytes, HAB mode first.
struct SdpFrame {
  bool habMode = false;
  std::vector<uint8_t> bytes;
};

// How every answer leaves the ROM.
enum class SdpAnswerShape {
  Normal,
  Short,    // the status or data part cut to two bytes
  Garbage,  // nine bytes of noise and no HAB mode
  Doubled,  // every frame sent twice
};

struct SdpFaults {
  bool silent = false;                 // answers nothing at all
  int ignoreStatusRequests = 0;        // the first n ERROR_STATUS commands go unanswered
  bool answerReadRegister = true;
  bool speakDuringDownload = false;    // answers a WRITE_FILE before its data arrives
  bool confirmDownload = true;         // false: silence after the last data byte
  uint32_t downloadCompleteWord = 0x88888888;
  SdpAnswerShape shape = SdpAnswerShape::Normal;
};

// The Serial Download Protocol side of an NXP i.MX RT boot ROM, after NXP's
// reference manual. A command is 16 bytes, big-endian fields:
//   [0..1] type (0x0101 READ_REGISTER, 0x0404 WRITE_FILE, 0x0505
//   ERROR_STATUS, 0x0B0B JUMP_ADDRESS), [2..5] address, [6] format,
//   [7..10] count, [11..14] data, [15] reserved.
// Every answer starts with the HAB mode word; ERROR_STATUS adds the status
// (0xF0F0F0F0 when all is well), READ_REGISTER the bytes read, WRITE_REGISTER
// 0x128A8A12, WRITE_FILE — once all of its count bytes have arrived —
// 0x88888888, JUMP_ADDRESS nothing: the ROM is gone. Words go out
// little-endian.
//
// Register accesses take the format byte as their width (0x08, 0x10 or
// 0x20 bits) and refuse any other width or an address not aligned to it.
// A jump is taken only to an address that holds an image vector table in
// the data written (tag 0xD1, length 0x0020, version 0x40-0x43, its own
// address in the self field); otherwise the ROM answers an error status and
// stays in the download protocol.
//
// A chip whose HAB is closed (secure boot fused on) answers with the closed
// HAB word, and starts only a signed image: one whose vector table names a
// CSF. It refuses any other jump with the HAB word and the HAB failure
// status and stays in the download protocol. The model does not check the
// signature itself. A data report that carries more than a
// download still owes makes the download fail with the size-error status.
//
// Downloads are taken into ITCM (0x00000000, 512 KiB), DTCM (0x20000000,
// 512 KiB) or OCRAM (0x20200000, 512 KiB); other targets are refused once
// the data is in. The fuse words CFG0 and CFG1 of the unique id sit at
// 0x401F4410 and 0x401F4420. Thread-safe.
class ImxSdpRom {
 public:
  static constexpr uint32_t kHabOpen = 0x56787856;
  static constexpr uint32_t kHabClosed = 0x12343412;
  static constexpr uint32_t kHabFailure = 0x33333333;
  static constexpr uint32_t kStatusOk = 0xF0F0F0F0;
  static constexpr uint32_t kDownloadRefused = 0x12345678;
  static constexpr uint32_t kSizeMismatch = 0x89232389;
  static constexpr uint32_t kJumpRefused = 0x8D8D8D8D;
  static constexpr uint32_t kAccessRefused = 0x8C8C8C8C;
  static constexpr uint32_t kRegisterWritten = 0x128A8A12;
  static constexpr size_t kCommandBytes = 16;

  struct Download {
    uint32_t address = 0;
    uint32_t count = 0;
    std::vector<uint8_t> bytes;  // what arrived
  };

  explicit ImxSdpRom(uint64_t uniqueId, SdpFaults faults = SdpFaults());

  // A 16-byte command from the host; the frames of the answer.
  std::vector<SdpFrame> command(const uint8_t* bytes);
  // Image bytes still owed to the current WRITE_FILE.
  size_t dataExpected() const;
  // Image bytes; takes at most what is owed and returns how many it took
  // along with the frames of the answer, when the download is complete.
  // With a whole report (USB HID), bytes beyond what is owed are part of the
  // same transfer and fail the download; on the UART they are left for the
  // next command.
  std::vector<SdpFrame> data(const uint8_t* bytes, size_t count, size_t* taken = nullptr, bool wholeReport = false);

  void setFaults(const SdpFaults& faults);
  // The chip's HAB closed (true) or open, as its fuses set it.
  void setHabClosed(bool closed);
  // Called (outside the ROM's lock) when a jump is taken.
  void setOnJump(std::function<void(uint32_t)> onJump);

  std::vector<uint16_t> commandTypes() const;  // every command taken, in order
  unsigned refusedJumps() const;
  // Register writes taken, as (address, width in bits, value).
  struct RegisterWrite {
    uint32_t address;
    unsigned width;
    uint32_t value;
  };
  std::vector<RegisterWrite> registerWrites() const;
  std::vector<Download> downloads() const;
  std::vector<uint8_t> memory(uint32_t address, size_t count) const;  // 0 where nothing was written
  bool jumped() const;
  uint32_t jumpAddress() const;

 private:
  std::vector<SdpFrame> answer(std::vector<uint8_t> payload, bool withPayload);
  bool mapped(uint32_t address, uint32_t count) const;
  uint32_t readWord(uint32_t address) const;
  std::vector<uint8_t> written(uint32_t address, size_t count, std::vector<bool>* present) const;
  bool holdsVectorTable(uint32_t address, bool* signedImage) const;

  mutable std::mutex mutex_;
  uint64_t uniqueId_;
  SdpFaults faults_;
  std::vector<uint16_t> commandTypes_;
  std::vector<Download> downloads_;
  bool downloading_ = false;
  bool habClosed_ = false;
  bool jumped_ = false;
  unsigned refusedJumps_ = 0;
  bool overrun_ = false;  // the current download got more than its count
  std::vector<RegisterWrite> registerWrites_;
  uint32_t jumpAddress_ = 0;
  std::function<void(uint32_t)> onJump_;
};

}  // namespace bootrom

#endif
