// The ISP command set: auto-baud synchronisation and the one-line commands,
// each answered by a return-code line.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "updater/recovery/NXPSerialClass.h"
#include "updater/recovery/NXPSerialInternal.h"
#include "updater/support/Log.h"

using namespace nxpserial;

namespace {

constexpr char kSyncRequest[] = "?";
constexpr char kSynchronized[] = "Synchronized\r\n";
constexpr unsigned long kSynchronizedLength = 14;
constexpr char kOK[] = "OK\r\n";
constexpr unsigned long kOKLength = 4;
// The unlock code of the LPC17xx ISP handler (0x5A5A).
constexpr unsigned int kUnlockCode = 23130;
constexpr unsigned long kIdLineSize = 32;
constexpr unsigned int kOneStopBit = 1;
// A return-code line: up to two digits and CR LF.
constexpr unsigned long kCodeLineBytes = 4;

bool isCopySize(unsigned int count) { return count == 256 || count == 512 || count == 1024 || count == 4096; }

}  // namespace

aErr NXPSerialClass::Sync() {
  char reply[kLineSize];
  unsigned long count = 0;

  Send(kSyncRequest, false);
  std::memset(reply, 0, sizeof reply);
  aErr status = Response(reply, sizeof reply, &count, kSynchronized, kSynchronizedLength);
  if (status != aErrNone) {
    Log::log(DEBUG_NXPSerial,
             "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             kSynchronized, std::string(reply, count).c_str());
    return status;
  }
  if (count < kSynchronizedLength || std::strncmp(reply, kSynchronized, kSynchronizedLength) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", kSynchronized);
  }

  // Our "Synchronized" comes back as an echo up to its CR, then "OK".
  Send(kSynchronized, false);
  std::memset(reply, 0, sizeof reply);
  Response(reply, sizeof reply, &count, kSynchronized, kSynchronizedLength - 1);
  std::memset(reply, 0, sizeof reply);
  Response(reply, sizeof reply, &count, kOK, kOKLength);
  const bool synchronized = count >= 2 && std::strncmp(reply, "OK", 2) == 0;
  if (!synchronized) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", std::string(reply, count).c_str(),
             kOK);
  }

  // The crystal frequency in kHz; the ROM echoes it and says "OK".
  char crystal[32];
  snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
  Send(crystal, false);
  std::memset(reply, 0, sizeof reply);
  Response(reply, sizeof reply, &count, crystal, strlen(crystal) - 1);
  std::memset(reply, 0, sizeof reply);
  status = Response(reply, sizeof reply, &count, kOK, kOKLength);

  if (!synchronized) {
    return aErrIO;
  }
  if (status != aErrNone) {
    return status;
  }
  if (count < 2 || std::strncmp(reply, "OK", 2) != 0) {
    // Anything but "OK" to the frequency means the ROM did not take it.
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", std::string(reply, count).c_str(),
             kOK);
    return aErrIO;
  }
  return aErrNone;
}

// Sends a command and judges its return-code line: 0 for code 0, aErrParam
// for any other code or no code at all, the send's error when it failed.
aErr NXPSerialClass::oneLineCommand(const char* command, const char* what, bool logFailure, const char* logPrefix,
                                    uint32_t refusalMask, uint64_t chipMS) {
  aErr err = SendCommand(command, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", logPrefix, command,
             aError_GetErrorText(static_cast<uint32_t>(err)));
    return err;
  }
  char line[kLineSize];
  unsigned long count = 0;
  // With echo on the command has left once its echo is back (but for its
  // LF); with echo off all of it may still be on its way.
  const unsigned long stillOut = echo_ ? 1 : static_cast<unsigned long>(std::strlen(command));
  GetLine(line, sizeof line, &count, answerBudget(stillOut, kCodeLineBytes, chipMS, kLineRetries));
  long code = -1;
  std::string digits;
  // The whole code decides: with echo on, a line "10" must not pass on the
  // strength of its last digit.
  if (replyCode(line, count, &code, &digits) && code == 0) {
    return aErrNone;
  }
  if (logFailure) {
    Log::log(refusalMask, "%sError response ==>[%s]\n", logPrefix,
             digits.empty() ? ERROR_TEXT[MAX_ERROR] : GetErrorText(digits.c_str()));
  } else {
    Log::log(DEBUG_NXPSerial, "%s failed: [%s]\n", what, std::string(line, count).c_str());
  }
  return aErrParam;
}

// Reads one line that must hold nothing but a number (decimal, or with the
// ROM's usual prefixes), within 32 bits unsigned.
aErr NXPSerialClass::readNumberLine(unsigned long size, unsigned long long* value) {
  char line[kLineSize];
  if (size > sizeof line) {
    size = sizeof line;
  }
  unsigned long count = 0;
  aErr status = GetLine(line, size, &count, kLineRetries);
  if (count < TERMINATION_SIZE + 1 || std::strcmp(line + count - TERMINATION_SIZE, kTerminator) != 0) {
    Log::log(DEBUG_NXPSerial, "Incomplete answer line [%s]\n", std::string(line, count).c_str());
    return status != aErrNone ? status : aErrIO;
  }
  line[count - TERMINATION_SIZE] = '\0';
  if (line[0] == '-' || line[0] == '+') {
    return aErrIO;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long number = std::strtoull(line, &end, 0);
  if (end == line || *end != '\0' || errno != 0 || number > 0xFFFFFFFFull) {
    Log::log(DEBUG_NXPSerial, "Not a number [%s]\n", line);
    return aErrIO;
  }
  *value = number;
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(unsigned char* first, unsigned char* second) {
  aErr err = oneLineCommand("K\r\n", "Read boot code version", true);
  if (err != aErrNone) {
    return err;
  }
  unsigned long long a = 0, b = 0;
  if ((err = readNumberLine(kLineSize, &a)) != aErrNone || (err = readNumberLine(kLineSize, &b)) != aErrNone) {
    return err;
  }
  if (a > 0xFF || b > 0xFF) {
    return aErrIO;
  }
  if (first != nullptr) {
    *first = static_cast<unsigned char>(a);
  }
  if (second != nullptr) {
    *second = static_cast<unsigned char>(b);
  }
  // The ROM sends byte 0 (minor) first; the version reads <byte1>.<byte0>.
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", static_cast<int>(b), static_cast<int>(a));
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* partNumber) {
  aErr err = oneLineCommand("J\r\n", "Read part identification", true);
  if (err != aErrNone) {
    return err;
  }
  unsigned long long number = 0;
  if ((err = readNumberLine(kLineSize, &number)) != aErrNone) {
    return err;
  }
  if (partNumber != nullptr) {
    *partNumber = static_cast<long>(number);
  }
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(number));
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  aErr err = oneLineCommand("N\r\n", "Read device serial number", true);
  if (err != aErrNone) {
    return err;
  }
  // All four words or none: a fingerprint made of a partial answer would
  // name another chip.
  uint32_t words[4];
  for (uint32_t& word : words) {
    unsigned long long number = 0;
    if ((err = readNumberLine(kIdLineSize, &number)) != aErrNone) {
      return err;
    }
    word = static_cast<uint32_t>(number);
  }
  std::memcpy(deviceId_, words, sizeof deviceId_);
  Log::log(DEBUG_NXPSerial, "Device serial number: %08X %08X %08X %08X\n", words[0], words[1], words[2], words[3]);
  return aErrNone;
}

aErr NXPSerialClass::ExecuteFrom(unsigned int address) {
  char command[64];
  snprintf(command, sizeof command, "G %u T\r\n", address);
  aErr err = SendCommand(command, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command,
             aError_GetErrorText(static_cast<uint32_t>(err)));
  }
  return err;
}

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  char command[16];
  snprintf(command, sizeof command, "A %d\r\n", on ? 1 : 0);
  // Switching echo off is itself still echoed; echo_ changes only once the
  // ROM has accepted the command.
  aErr err = oneLineCommand(command, "Set echo", false);
  if (err == aErrNone) {
    echo_ = on;
  }
  return err;
}

aErr NXPSerialClass::SetBaudRate(unsigned int baud) {
  char command[64];
  snprintf(command, sizeof command, "B %u %u\r\n", baud, kOneStopBit);
  return oneLineCommand(command, "Set baud rate", false);
}

aErr NXPSerialClass::Unlock() {
  char command[32];
  snprintf(command, sizeof command, "U %u\r\n", kUnlockCode);
  return oneLineCommand(command, "Unlock", false);
}

aErr NXPSerialClass::Prepare(unsigned int firstSector, unsigned int lastSector) {
  if (lastSector < firstSector) {
    return aErrParam;
  }
  char command[64];
  snprintf(command, sizeof command, "P %u %u\r\n", firstSector, lastSector);
  return oneLineCommand(command, "Prepare", true);
}

aErr NXPSerialClass::Erase(unsigned int firstSector, unsigned int lastSector) {
  if (lastSector < firstSector) {
    return aErrParam;
  }
  char command[64];
  snprintf(command, sizeof command, "E %u %u\r\n", firstSector, lastSector);
  // The chip erases one sector after another before it answers.
  const uint64_t eraseMS = static_cast<uint64_t>(lastSector - firstSector + 1) * kSectorEraseMaxMS;
  return oneLineCommand(command, "Erase", true, "", DEBUG_NXPSerial, eraseMS);
}

aErr NXPSerialClass::CopyToFlash(unsigned int flashAddress, unsigned int ramAddress, unsigned int count) {
  if (flashAddress % 256 != 0 || !isCopySize(count)) {
    return aErrParam;
  }
  char command[96];
  snprintf(command, sizeof command, "C %u %u %u\r\n", flashAddress, ramAddress, count);
  const uint64_t programMS = (static_cast<uint64_t>(count / 256) * kCopyMaxMSPer256Hundredths + 99) / 100;
  return oneLineCommand(command, "Copy RAM to flash", true, "", DEBUG_NXPSerial, programMS);
}
