#ifndef TESTS_SIM_BOOTROM_LPC17XXISPROM_H
#define TESTS_SIM_BOOTROM_LPC17XXISPROM_H

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace bootrom {

// Who the simulated chip is.
struct LpcIdentity {
  uint32_t partId = 0x26013F37;  // LPC1768
  uint8_t bootCodeMajor = 4;
  uint8_t bootCodeMinor = 1;
  uint32_t serial[4] = {0x1A2B3C4D, 0x00000042, 0x8BADF00D, 0x00C0FFEE};
};

// How long the flash takes: a host that does not wait for it fails.
struct LpcTiming {
  unsigned eraseMS = 100;      // one erase command
  unsigned copyMSPer256 = 1;   // copy RAM to flash, per 256 bytes
};

// A stretch of the ROM's answer: it leaves only `holdMS` after the bytes
// that brought it arrived (the chip is busy with its flash meanwhile); with
// rateBefore set the UART runs at that rate from these bytes on, with
// rateAfter once they are out.
struct LpcAnswerPart {
  unsigned holdMS = 0;
  std::string bytes;
  unsigned rateAfter = 0;
  unsigned rateBefore = 0;
};

// Ways to make the simulated ROM misbehave.
struct LpcFaults {
  bool silent = false;                        // no echo, no answer: not an ISP ROM at all
  std::string syncGreeting = "Synchronized\r\n";  // sent for "?"
  std::string syncAccepted = "OK\r\n";            // sent once "Synchronized" came back
  std::string crystalAccepted = "OK\r\n";         // sent after the crystal frequency
  // Per command letter: the bytes sent after the command's echo in place of
  // its real answer ("" for none); the command is not carried out.
  std::map<char, std::string> answers;
  // Verdicts sent for the next RAM-write checksums, in order, in place of
  // the real one. A verdict other than "OK\r\n" drops the block, as RESEND
  // does.
  std::deque<std::string> checksumVerdicts;
  // The first n blocks of a memory read go out with a wrong checksum.
  int corruptReadChecksums = 0;
};

// The in-system-programming handler of an NXP LPC17xx boot ROM on its UART,
// after NXP's user manual: auto-baud with "?", "Synchronized" and the
// crystal frequency; then ASCII commands ended by CR LF, echoed while echo
// is on, each answered by a decimal return code on a line of its own; RAM
// writes and memory reads as uuencoded lines of up to 45 bytes with a
// decimal byte-sum checksum after every 20 lines and after the last one.
//
// Flash (512 KiB, sectors 0-15 of 4 KiB, 16-29 of 32 KiB) programs like
// flash: a copy can only clear bits, an erase sets them. Write, erase and go
// stay locked until "U 23130"; copy and erase need their sectors prepared,
// and a prepare is used up by the next copy or erase. Erase and copy take
// their time (LpcTiming) before they are answered; "M" compares memory,
// "I" checks sectors for blank, "K" sends the minor version number first,
// and "G" takes only a word address in flash or RAM in Thumb mode. The
// flash starts erased unless loadFlash puts an image there. RAM: 32 KiB at
// 0x10000000 (the ISP handler keeps the first 0x200 bytes) and 32 KiB at
// 0x2007C000. After "G" the chip runs the user's code and the ROM is gone.
//
// Thread-safe: the serial peer feeds it on its own thread while a test
// looks at what it holds.
class Lpc17xxIspRom {
 public:
  static constexpr uint32_t kFlashSize = 0x80000;
  static constexpr uint32_t kUnlockCode = 23130;

  explicit Lpc17xxIspRom(LpcIdentity identity = LpcIdentity(), LpcFaults faults = LpcFaults(),
                         LpcTiming timing = LpcTiming());

  // Bytes from the host; returns the bytes the ROM sends back, at once.
  std::string receive(const std::string& bytes);
  // Bytes from the host that arrived at arrivalBaud; the answer in parts.
  // The UART takes the rate of the "?" that auto-baud sees and, once the
  // answer to "B" is out, the new rate; the line carrying the bytes turns
  // those sent at another rate into garbage.
  std::vector<LpcAnswerPart> receiveAt(const std::string& bytes, unsigned arrivalBaud);
  // The rate the ROM's UART runs at; 0 before auto-baud.
  unsigned uartBaud() const;

  void setFaults(const LpcFaults& faults);
  void setTiming(const LpcTiming& timing);
  // Puts bytes into flash directly, as a programmer would have.
  void loadFlash(uint32_t address, const std::vector<uint8_t>& bytes);

  bool synchronized() const;
  bool echo() const;
  bool unlocked() const;
  unsigned crystalKHz() const;
  unsigned baudRequested() const;
  bool running() const;  // "G" accepted
  uint32_t goAddress() const;
  char goMode() const;
  std::vector<std::string> commands() const;  // command lines taken, without CR LF
  unsigned writeChecksums() const;            // RAM-write checksums received
  std::vector<uint8_t> flash(uint32_t address, uint32_t count) const;
  std::vector<uint8_t> ram(uint32_t address, uint32_t count) const;

 private:
  enum class State { AwaitQuestion, AwaitSynchronized, AwaitCrystal, Command, WriteData, ReadVerdict, Running };

  void takeByte(char c, std::string& out, unsigned arrivalBaud);
  void hold(unsigned ms, std::string& out);
  void takeLine(const std::string& line, std::string& out);
  void command(const std::string& line, std::string& out);
  void writeDataLine(const std::string& line, std::string& out);
  void readVerdict(const std::string& line, std::string& out);
  void sendReadBlock(std::string& out);
  uint8_t* ramAt(uint32_t address, uint32_t count);
  const uint8_t* memoryAt(uint32_t address, uint32_t count) const;
  bool sectorsPrepared(unsigned first, unsigned last) const;
  void compare(const std::vector<uint32_t>& n, std::string& out);
  void blankCheck(const std::vector<uint32_t>& n, std::string& out);

  mutable std::mutex mutex_;
  LpcIdentity identity_;
  LpcFaults faults_;
  LpcTiming timing_;
  unsigned uartBaud_ = 0;
  unsigned pendingBaud_ = 0;  // taken up once the answer to "B" is out
  // Holds of the answer being built: offset in it, milliseconds.
  std::vector<std::pair<size_t, unsigned>> holds_;
  State state_ = State::AwaitQuestion;
  std::string line_;
  bool echo_ = true;
  bool synchronized_ = false;
  bool unlocked_ = false;
  unsigned crystalKHz_ = 0;
  unsigned baud_ = 0;
  uint32_t goAddress_ = 0;
  char goMode_ = 0;
  bool prepared_[30] = {};
  std::vector<std::string> commands_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> localRam_;
  std::vector<uint8_t> ahbRam_;

  // RAM write in progress.
  uint32_t writeAddress_ = 0;
  uint32_t writeCount_ = 0;
  uint32_t writeCommitted_ = 0;
  std::vector<uint8_t> block_;
  unsigned blockLines_ = 0;
  unsigned writeChecksums_ = 0;

  // Memory read in progress.
  std::vector<uint8_t> readData_;
  size_t readSent_ = 0;   // acknowledged
  size_t readBlockEnd_ = 0;
};

// Uuencoding as the ISP handler writes and reads it: length character,
// then four characters per three bytes, 0 written as the grave accent.
std::string ispUuencode(const uint8_t* data, size_t count);
// Decodes one line (without CR LF); false when it is malformed.
bool ispUudecode(const std::string& line, std::vector<uint8_t>* out);

}  // namespace bootrom

#endif
