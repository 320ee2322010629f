// RAM writes and memory reads: uuencoded lines of 45 bytes, a checksum (the
// byte sum, in decimal) after every 20 lines and after the last one,
// answered "OK" or "RESEND".

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tessarine2/common/aTime.h"
#include "updater/recovery/NXPSerialClass.h"
#include "updater/recovery/NXPSerialInternal.h"
#include "updater/support/Log.h"

using namespace nxpserial;

namespace {

constexpr char kOKLine[] = "OK\r\n";
constexpr char kResendLine[] = "RESEND\r\n";
// Empty polls for the checksum answer: the ROM may be busy storing the block.
constexpr unsigned int kChecksumRetries = 2000;

// The checksum line of a read: a decimal number and nothing else.
bool parseChecksum(const char* line, unsigned long count, uint32_t* checksum) {
  std::string text(line, count);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
    text.pop_back();
  }
  if (text.empty() || text[0] == '-' || text[0] == '+') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || value > 0xFFFFFFFFull) {
    return false;
  }
  *checksum = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

aErr NXPSerialClass::Write(unsigned int address, unsigned int count, const unsigned char* data) {
  if (count == 0 || count % 4 != 0 || data == nullptr) {
    return aErrParam;
  }
  char command[64];
  snprintf(command, sizeof command, "W %u %u\r\n", address, count);
  aErr err = oneLineCommand(command, "Write", true, "Write() ", DEBUG_NXPSerial_SR);
  if (err != aErrNone) {
    return err;
  }
  char line[kLineSize];
  unsigned long lineCount = 0;
  unsigned int position = 0;
  unsigned int acknowledged = 0;
  unsigned int lines = 0;
  unsigned int budget = MAX_READ_RETRY;
  aErr failure = aErrNone;
  // Bytes sent since the last checksum answer: with echo off they may all
  // still be crossing the line when the answer is awaited.
  unsigned long unanswered = 0;
  while (position < count && failure == aErrNone) {
    char encoded[UU_LINE_SIZE];
    unsigned int n = count - position < MAX_BYTES_PER_LINE ? count - position : MAX_BYTES_PER_LINE;
    uuencode(encoded, data + position, n);
    // A port that stopped taking data ends the transfer: the ROM would
    // otherwise be left waiting mid-block while we report on.
    if ((failure = Send(encoded, echo_)) != aErrNone || (failure = Send("\r\n", echo_)) != aErrNone) {
      break;
    }
    unanswered += std::strlen(encoded) + 2;
    position += n;
    ++lines;
    if (lines < LINES_PER_CHECKSUM && position < count) {
      continue;
    }

    uint32_t checksum = sum(data + acknowledged, position - acknowledged);
    Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", checksum, static_cast<int>(checksum));
    char checksumLine[32];
    snprintf(checksumLine, sizeof checksumLine, "%d\r\n", static_cast<int>(checksum));
    if ((failure = Send(checksumLine, echo_)) != aErrNone) {
      break;
    }
    unanswered += std::strlen(checksumLine);
    const uint64_t start = aTime_GetMSTicks();
    GetLine(line, sizeof line, &lineCount,
            answerBudget(echo_ ? 1 : unanswered, sizeof kResendLine - 1, 0, kChecksumRetries));
    unanswered = 0;
    Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
             static_cast<int>(aTime_GetMSTicks() - start + 1));
    if (std::strcmp(line, kOKLine) == 0) {
      acknowledged = position;
      Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
               static_cast<int>(count), position * 100.0 / count);
    } else if (std::strcmp(line, kResendLine) == 0) {
      --budget;
      if (budget > 0) {
        position = acknowledged;
      } else {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        failure = aErrTimeout;
      }
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
      failure = aErrIO;
    }
    lines = 0;
  }
  return failure;
}

aErr NXPSerialClass::Read(unsigned int address, unsigned int count, unsigned char* destination) {
  if (count == 0 || count % 4 != 0 || destination == nullptr) {
    return aErrParam;
  }
  char command[64];
  snprintf(command, sizeof command, "R %u %u\r\n", address, count);
  aErr err = oneLineCommand(command, "Read", true);
  if (err != aErrNone) {
    return err;
  }
  char line[kLineSize];
  unsigned long lineCount = 0;
  unsigned int position = 0;
  unsigned int acknowledged = 0;
  unsigned int lines = 0;
  unsigned int budget = MAX_READ_RETRY;
  // Empty polls allowed for one data line: at a low rate its bytes come
  // further apart than the fixed budget allows.
  const unsigned int lineBudget = answerBudget(0, UU_LINE_SIZE + TERMINATION_SIZE, 0, kLineRetries);
  while (position < count) {
    aErr status = GetLine(line, sizeof line, &lineCount, lineBudget);
    if (lineCount < TERMINATION_SIZE || std::strcmp(line + lineCount - TERMINATION_SIZE, kTerminator) != 0) {
      Log::log(DEBUG_NXPSerial, "Read() incomplete data line [%s]\n", line);
      return status != aErrNone ? status : aErrIO;
    }
    position += static_cast<unsigned int>(uudecode(destination + position, count - position, line));
    ++lines;
    if (lines < LINES_PER_CHECKSUM && position < count) {
      continue;
    }

    status = GetLine(line, sizeof line, &lineCount, lineBudget);
    uint32_t checksum = 0;
    const bool complete = lineCount >= TERMINATION_SIZE &&
                          std::strcmp(line + lineCount - TERMINATION_SIZE, kTerminator) == 0;
    if (!complete) {
      Log::log(DEBUG_NXPSerial, "Read() no checksum [%s]\n", line);
      return status != aErrNone ? status : aErrIO;
    }
    if (parseChecksum(line, lineCount, &checksum) &&
        checksum == sum(destination + acknowledged, position - acknowledged)) {
      if (position == acknowledged) {
        // Lines that carry nothing would keep this loop going for ever.
        Log::log(DEBUG_NXPSerial, "Read() block without data\n");
        return aErrIO;
      }
      Send(kOKLine, false);
      if (echo_) {
        char echoed[8];
        unsigned long echoedCount = 0;
        Response(echoed, sizeof echoed, &echoedCount, kOKLine, position < count ? 3 : 4);
      }
      acknowledged = position;
      Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
               static_cast<int>(count), position * 100.0 / count);
    } else {
      --budget;
      if (budget == 0) {
        Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
        return aErrTimeout;
      }
      Send(kResendLine, echo_);
      position = acknowledged;
    }
    lines = 0;
  }
  return aErrNone;
}
