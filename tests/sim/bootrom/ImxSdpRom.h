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
// (0xF0F0F0F0 when all is well), READ_REGISTER the bytes read, WRITE_FILE —
// once all of its count bytes have arrived — 0x88888888, JUMP_ADDRESS
// nothing: the ROM is gone. Words go out little-endian.
//
// Downloads are taken into ITCM (0x00000000, 512 KiB), DTCM (0x20000000,
// 512 KiB) or OCRAM (0x20200000, 512 KiB); other targets are refused once
// the data is in. The fuse words CFG0 and CFG1 of the unique id sit at
// 0x401F4410 and 0x401F4420. Thread-safe.
class ImxSdpRom {
 public:
  static constexpr uint32_t kHabOpen = 0x56787856;
  static constexpr uint32_t kStatusOk = 0xF0F0F0F0;
  static constexpr uint32_t kDownloadRefused = 0x12345678;
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
  std::vector<SdpFrame> data(const uint8_t* bytes, size_t count, size_t* taken = nullptr);

  void setFaults(const SdpFaults& faults);
  // Called (outside the ROM's lock) when a jump is taken.
  void setOnJump(std::function<void(uint32_t)> onJump);

  std::vector<uint16_t> commandTypes() const;  // every command taken, in order
  std::vector<Download> downloads() const;
  std::vector<uint8_t> memory(uint32_t address, size_t count) const;  // 0 where nothing was written
  bool jumped() const;
  uint32_t jumpAddress() const;

 private:
  std::vector<SdpFrame> answer(std::vector<uint8_t> payload, bool withPayload);
  bool mapped(uint32_t address, uint32_t count) const;
  uint32_t readWord(uint32_t address) const;

  mutable std::mutex mutex_;
  uint64_t uniqueId_;
  SdpFaults faults_;
  std::vector<uint16_t> commandTypes_;
  std::vector<Download> downloads_;
  bool downloading_ = false;
  bool jumped_ = false;
  uint32_t jumpAddress_ = 0;
  std::function<void(uint32_t)> onJump_;
};

}  // namespace bootrom

#endif
