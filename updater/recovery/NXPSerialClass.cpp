// Connection and the byte-level exchange with the ISP boot ROM: sends with
// their echoes, reply lines and timed responses.

#include "updater/recovery/NXPSerialClass.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "Tessarine2/common/aStream.h"
#include "Tessarine2/common/aTime.h"
#include "updater/recovery/NXPSerialInternal.h"
#include "updater/support/Log.h"

namespace nxpserial {

uint64_t WAIT_TIME_MS(uint64_t bytes, uint64_t baud) {
  if (baud == 0) {
    return 1;
  }
  return (bytes * 9000 + 18000) / baud + 1;
}

uint64_t LINE_TIME_MS(uint64_t bytes, uint64_t baud) {
  if (baud == 0) {
    return 0;
  }
  return (bytes * 10000 + baud - 1) / baud;
}

std::string hexBytes(const char* data, size_t count) {
  std::string text;
  char hex[8];
  for (size_t i = 0; i < count; ++i) {
    snprintf(hex, sizeof hex, "%s%02X", i == 0 ? "" : " ", static_cast<unsigned char>(data[i]));
    text += hex;
  }
  return text;
}

std::string printableBytes(const char* data, size_t count, bool escapeLineEnds) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (escapeLineEnds && c == '\r') {
      text += "\\r";
    } else if (escapeLineEnds && c == '\n') {
      text += "\\n";
    } else {
      text += std::isprint(c) ? static_cast<char>(c) : ' ';
    }
  }
  return text;
}

bool replyCode(const char* line, unsigned long count, long* code, std::string* digits) {
  if (line == nullptr) {
    return false;
  }
  unsigned long end = count;
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) {
    --end;
  }
  unsigned long start = end;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1]))) {
    --start;
  }
  // A code has at most two digits; more is not a return code.
  if (start == end || end - start > 2) {
    return false;
  }
  std::string text(line + start, end - start);
  if (digits != nullptr) {
    *digits = text;
  }
  if (code != nullptr) {
    *code = std::strtol(text.c_str(), nullptr, 10);
  }
  return true;
}

}  // namespace nxpserial

using namespace nxpserial;

namespace {

// Rates of Connect; the index is the serial stream's speed index.
const unsigned int kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
constexpr int kRateFallbackIndex = 2;  // 9600 for a request beyond the table

// Empty polls (about 1 ms each) a Response takes before it gives up, after
// the reply's own transmission time.
constexpr unsigned int kResponseRetries = 100;
constexpr unsigned int kEchoRetries = 100;
constexpr uint64_t kResponseSlackMS = 20;
// Beyond the computed time of an answer: a loaded host may not run the
// reader, or the adapter's driver, for a good while.
constexpr uint64_t kAnswerSlackMS = 200;

}  // namespace

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

aErr NXPSerialClass::Connect(const char* portName, unsigned int baud) {
  Disconnect();
  bytesSent_ = 0;
  int index = 0;
  while (kRates[index] != 0 && kRates[index] < baud) {
    ++index;
  }
  if (kRates[index] == 0) {
    index = kRateFallbackIndex;
  }
  baud_ = kRates[index];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", portName ? portName : "",
           index, static_cast<int>(baud_));
  aErr err = aStream_CreateSerial(portName, index, false, 0, 0, &stream_);
  if (err != aErrNone) {
    stream_ = nullptr;
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s\n", portName ? portName : "",
             aError_GetErrorText(static_cast<uint32_t>(err)));
    return err;
  }
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream_ != nullptr) {
    aStream_Destroy(&stream_);
  }
  stream_ = nullptr;
  return aErrNone;
}

unsigned int NXPSerialClass::answerBudget(unsigned long bytesOut, unsigned long bytesBack, uint64_t chipMS,
                                          unsigned int floor) const {
  // Each empty poll waits about 1 ms, so a budget of polls is a time in ms:
  // what is still to cross the line both ways, what the chip needs to carry
  // the command out and the adapter's latency, never less than the floor.
  const uint64_t needed = LINE_TIME_MS(static_cast<uint64_t>(bytesOut) + bytesBack, baud_) + chipMS +
                          kAdapterLatencyMS + kAnswerSlackMS;
  return needed > floor ? static_cast<unsigned int>(needed) : floor;
}

void NXPSerialClass::waitForData(uint32_t timeoutMS) {
  // The serial stream answers "not ready" at once; this blocks until a
  // byte is there or the time is up, so an empty poll never spins.
  aStream_WaitReadable(stream_, timeoutMS);
}

aErr NXPSerialClass::readByte(uint8_t* byte) {
  if (stream_ == nullptr) {
    return aErrConnection;
  }
  return aStream_Read(stream_, byte, 1);
}

aErr NXPSerialClass::readByteWithin(uint8_t* byte, unsigned int* budget, std::string* trace) {
  while (*budget > 0) {
    const aErr status = readByte(byte);
    if (status != aErrNotReady) {
      return status;
    }
    --*budget;
    *trace += ".";
    waitForData(1);
  }
  return aErrNotReady;
}

aErr NXPSerialClass::Send(const char* text, bool readEcho) {
  if (text == nullptr) {
    return aErrParam;
  }
  const size_t length = strlen(text);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexBytes(text, length).c_str(),
           printableBytes(text, length, true).c_str());
  aErr err = stream_ == nullptr ? aErrConnection : aStream_Write(stream_, text, length);
  if (err == aErrNone) {
    bytesSent_ += length;
  }
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(static_cast<uint32_t>(err)));
    return err;
  }
  if (readEcho && length > 0) {
    // The final character (normally LF) is not awaited: its echo is dropped
    // later as a leading line end.
    unsigned long matched = 0;
    GetEcho(text, length - 1, &matched);
  }
  return err;
}

aErr NXPSerialClass::SendCommand(const char* command, int waitMS) {
  if (command == nullptr) {
    return aErrParam;
  }
  const size_t length = strlen(command);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexBytes(command, length).c_str(),
           printableBytes(command, length, false).c_str());
  aErr err = stream_ == nullptr ? aErrConnection : aStream_Write(stream_, command, length);
  if (err == aErrNone) {
    bytesSent_ += length;
  }
  if (waitMS > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMS);
    aTime_MSSleep(static_cast<uint64_t>(waitMS));
  }
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(static_cast<uint32_t>(err)));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(static_cast<uint32_t>(err)));
    return err;
  }
  if (echo_ && length > 0) {
    unsigned long matched = 0;
    GetEcho(command, length - 1, &matched);
    if (matched != length - 1) {
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
               static_cast<int>(length - 1));
    }
  }
  return err;
}

aErr NXPSerialClass::GetEcho(const char* expected, unsigned long count, unsigned long* matched) {
  unsigned long got = 0;
  if (matched != nullptr) {
    *matched = 0;
  }
  if (expected == nullptr) {
    return aErrParam;
  }
  const size_t available = strlen(expected);
  if (count > available) {
    count = available;
  }
  std::string trace = "recv Echo:[";
  // The echo comes back as the text crosses the line: at a low rate that
  // takes longer than the fixed budget.
  unsigned int budget = answerBudget(count, count, 0, kEchoRetries);
  aErr status = aErrNone;
  char piece[16];
  while (got < count && budget > 0) {
    uint8_t byte = 0;
    status = readByteWithin(&byte, &budget, &trace);
    if (status != aErrNone) {
      break;  // silent until the budget ran out, or the port failed
    }
    if (byte == static_cast<uint8_t>(expected[got])) {
      ++got;
      snprintf(piece, sizeof piece, " %02X", byte);
    } else {
      // A stray byte (the LF left by an earlier echo, line noise) costs
      // budget too, so a chattering line cannot hold the echo forever.
      --budget;
      snprintf(piece, sizeof piece, " %.2X!=%.2X", byte, static_cast<uint8_t>(expected[got]));
    }
    trace += piece;
  }
  Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n%s]\n", hexBytes(expected, count).c_str(),
           static_cast<int>(count), trace.c_str());
  if (matched != nullptr) {
    *matched = got;
  }
  return status;
}

aErr NXPSerialClass::GetLine(char* buffer, unsigned long size, unsigned long* count, unsigned int retries) {
  unsigned long got = 0;
  if (count != nullptr) {
    *count = 0;
  }
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  unsigned long terminator = 0;
  unsigned int budget = retries;
  aErr status = aErrNotReady;
  std::string trace;
  while (got < size - 1 && terminator < TERMINATION_SIZE && budget > 0) {
    uint8_t byte = 0;
    status = readByteWithin(&byte, &budget, &trace);
    if (status != aErrNone) {
      break;
    }
    if (got == 0 && byte == '\n') {
      --budget;
      trace += ",";
      continue;
    }
    buffer[got++] = static_cast<char>(byte);
    terminator = byte == static_cast<uint8_t>(kTerminator[terminator]) ? terminator + 1 : 0;
    if (terminator == 0 && byte == static_cast<uint8_t>(kTerminator[0])) {
      terminator = 1;
    }
  }
  buffer[got] = '\0';
  if (!trace.empty()) {
    Log::log(DEBUG_NXPSerial_E, "%s\n", trace.c_str());
  }
  Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n", hexBytes(buffer, got).c_str(),
           printableBytes(buffer, got, false).c_str(), static_cast<int>(got), terminator != 0 ? "term" : "non-term",
           aError_GetErrorText(static_cast<uint32_t>(status)));
  if (count != nullptr) {
    *count = got;
  }
  return status;
}

aErr NXPSerialClass::Response(char* buffer, unsigned long size, unsigned long* count, const char* expected,
                              unsigned long expectedLength) {
  unsigned long got = 0;
  if (count != nullptr) {
    *count = 0;
  }
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  unsigned long limit = expected != nullptr ? expectedLength : size - 1;
  if (limit > size) {
    limit = size;
  }
  const size_t expectedAvailable = expected != nullptr ? strlen(expected) : 0;
  const uint64_t wait = WAIT_TIME_MS(expectedLength, baud_) + kResponseSlackMS;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(expectedLength),
           static_cast<int>(baud_), static_cast<int>(wait));
  // The reply gets its transmission time plus slack before empty polls are
  // counted; bytes that come sooner are taken at once.
  const uint64_t graceEnd = aTime_GetMSTicks() + wait;
  unsigned int failures = 0;
  unsigned long terminator = 0;
  bool wokeForData = false;
  aErr status = aErrNotReady;
  while (got < limit && terminator < TERMINATION_SIZE && failures < kResponseRetries) {
    uint8_t byte = 0;
    status = readByte(&byte);
    if (status == aErrNotReady) {
      const uint64_t now = aTime_GetMSTicks();
      if (now < graceEnd && !wokeForData) {
        wokeForData = aStream_WaitReadable(stream_, static_cast<uint32_t>(graceEnd - now)) == aErrNone;
        continue;
      }
      wokeForData = false;
      ++failures;
      Log::log(DEBUG_NXPSerial_E, ".");
      waitForData(1);
      continue;
    }
    wokeForData = false;
    if (status != aErrNone) {
      break;
    }
    if (got == 0 && (byte == '\n' || byte == '\r')) {
      ++failures;  // a flood of line ends must not hold the reply forever
      Log::log(DEBUG_NXPSerial_E, byte == '\n' ? "Response ignoring leading \\n\n" : "Response ignoring leading \\r\n");
      continue;
    }
    if (got < 3 && byte == 0) {
      ++failures;
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      continue;
    }
    if (expected != nullptr && got < expectedAvailable && byte != static_cast<uint8_t>(expected[got])) {
      unsigned char want = static_cast<unsigned char>(expected[got]);
      Log::log(DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               static_cast<int>(got), byte, std::isprint(byte) ? byte : ' ', std::isprint(want) ? want : ' ', want);
    }
    terminator = byte == static_cast<uint8_t>(kTerminator[terminator]) ? terminator + 1 : 0;
    if (terminator == 0 && byte == static_cast<uint8_t>(kTerminator[0])) {
      terminator = 1;
    }
    buffer[got++] = static_cast<char>(byte);
  }
  Log::log(DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", hexBytes(buffer, got).c_str(),
           printableBytes(buffer, got, true).c_str());
  if (count != nullptr) {
    *count = got;
  }
  return status;
}

uint8_t NXPSerialClass::GetErrorIndex(unsigned long count) {
  if (echo_ && count > 2) {
    return static_cast<uint8_t>(count - TERMINATION_SIZE - 1);
  }
  return 0;
}

const char* NXPSerialClass::GetErrorText(const char* reply) {
  if (reply == nullptr) {
    return ERROR_TEXT[MAX_ERROR];
  }
  long code = std::strtol(reply, nullptr, 0);
  if (code < 0 || code > MAX_ERROR) {
    return ERROR_TEXT[MAX_ERROR];
  }
  return ERROR_TEXT[code];
}
