#ifndef UPDATER_RECOVERY_NXPSERIALCLASS_H
#define UPDATER_RECOVERY_NXPSERIALCLASS_H

#include <cstdint>
#include <string>

#include "Tessarine2/common/aError.h"
#include "updater/support/Log.h"

struct aStream;

// Flash sectors of the LPC17xx family, {start address, size, sector}:
// sixteen 4 KiB sectors, then fourteen 32 KiB sectors, then a terminator.
extern const uint32_t NXP_LPC17XX_sectors[31][3];

// Client of the in-system-programming protocol of the NXP LPC17xx boot ROM
// on a serial port: ASCII commands ended by CR LF, one decimal return code
// per command, an echo of everything sent while echo is on, RAM writes and
// reads as uuencoded lines with a checksum every 20 lines.
//
// Results are aErr codes: aErrParam (2) for an argument out of range or a
// device return code other than 0, aErrNotReady (11) when the device stays
// silent, aErrIO (6) for an answer that does not fit the protocol,
// aErrTimeout (18) for a third RESEND within one transfer. The port stays
// open after every failure. One object is used from one thread.
class NXPSerialClass {
 public:
  static constexpr uint8_t MAX_ERROR = 20;
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
  static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
  static constexpr uint32_t LINES_PER_CHECKSUM = 20;
  static constexpr uint32_t MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;  // RAM staging for flash copies
  // Longest uuencoded line with its terminating NUL.
  static constexpr unsigned long UU_LINE_SIZE = 1 + (MAX_BYTES_PER_LINE / 3) * 4 + 1;

  // The boot ROM's return codes, "Unknown error" last.
  static const char* const ERROR_TEXT[MAX_ERROR + 1];

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  aErr Connect(const char* portName, unsigned int baud);
  aErr Disconnect();
  // Bytes written to the port since the last Connect: what another chip on
  // the same line has heard of this protocol.
  unsigned long bytesSent() const { return bytesSent_; }

  aErr Send(const char* text, bool readEcho);
  aErr SendCommand(const char* command, int waitMS);
  aErr GetEcho(const char* expected, unsigned long count, unsigned long* matched);
  aErr GetLine(char* buffer, unsigned long size, unsigned long* count, unsigned int retries);
  aErr Response(char* buffer, unsigned long size, unsigned long* count, const char* expected,
                unsigned long expectedLength);
  uint8_t GetErrorIndex(unsigned long count);
  static const char* GetErrorText(const char* reply);

  aErr Sync();
  // The two boot-code version bytes in the order the ROM sends them: byte
  // 0, the minor number, then byte 1, the major number.
  aErr GetBootLoaderVersion(unsigned char* first, unsigned char* second);
  aErr GetPartNumber(long* partNumber);
  aErr GetDeviceID();
  aErr ExecuteFrom(unsigned int address);
  aErr SetEcho(bool on);
  aErr SetBaudRate(unsigned int baud);
  aErr Unlock();
  aErr Prepare(unsigned int firstSector, unsigned int lastSector);
  aErr Erase(unsigned int firstSector, unsigned int lastSector);
  aErr CopyToFlash(unsigned int flashAddress, unsigned int ramAddress, unsigned int count);
  aErr Write(unsigned int address, unsigned int count, const unsigned char* data);
  aErr Read(unsigned int address, unsigned int count, unsigned char* destination);

  static uint32_t sum(const unsigned char* data, unsigned long length);
  static char uuchar(unsigned int value);
  // Encodes up to MAX_BYTES_PER_LINE bytes into out (UU_LINE_SIZE chars,
  // NUL-terminated, no line end); returns the bytes consumed.
  static unsigned long uuencode(char* out, const unsigned char* data, unsigned long count);
  // Decodes one line (it may end with CR LF) into destination; returns the
  // bytes stored: 0 when the line declares more than size bytes, fewer than
  // declared when the line is cut short.
  static unsigned long uudecode(unsigned char* destination, unsigned long size, const char* line);
  static unsigned int CopyLength(unsigned int count);
  static unsigned int SectorFromAddress(unsigned int address);

  bool isConnected() const { return stream_ != nullptr; }
  bool echoEnabled() const { return echo_; }
  unsigned int baudRate() const { return baud_; }
  // The device serial-number words of the last GetDeviceID, in the order
  // the boot ROM sent them.
  uint32_t deviceId(unsigned int index) const { return index < 4 ? deviceId_[index] : 0; }

 private:
  // Sends a command and judges its return-code line. A failed send logs
  // "<logPrefix>Error Sending command [...] [...]"; a refusal logs, under
  // refusalMask, "<logPrefix>Error response ==>[<the code's name>]", or with
  // logFailure false "<what> failed: [<the line>]".
  // chipMS is the longest the chip may take to carry the command out
  // before it answers.
  aErr oneLineCommand(const char* command, const char* what, bool logFailure, const char* logPrefix = "",
                      uint32_t refusalMask = DEBUG_NXPSerial, uint64_t chipMS = 0);
  // Empty 1 ms polls to allow for an answer: the line time of bytesOut
  // still to leave and bytesBack to come, chipMS, the adapter's latency and
  // some slack, at least floor.
  unsigned int answerBudget(unsigned long bytesOut, unsigned long bytesBack, uint64_t chipMS,
                            unsigned int floor) const;
  aErr readNumberLine(unsigned long size, unsigned long long* value);
  aErr readByte(uint8_t* byte);
  // The next byte; each empty poll waits up to 1 ms for data, costs one of
  // *budget and leaves "." in *trace. aErrNotReady once the budget is spent.
  aErr readByteWithin(uint8_t* byte, unsigned int* budget, std::string* trace);
  void waitForData(uint32_t timeoutMS);

  aStream* stream_ = nullptr;
  unsigned long bytesSent_ = 0;  // since the last Connect
  bool echo_ = true;
  uint32_t baud_ = 0;
  uint32_t deviceId_[4] = {0, 0, 0, 0};
};

#endif
