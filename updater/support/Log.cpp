#include "updater/support/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kMessageBufferSize = 2048;
constexpr size_t kTimestampBufferSize = 128;

// Formats shorter than this are too short to be worth a time stamp.
constexpr size_t kShortestStampedFormat = 11;

void writeTimestamp() {
  char stamp[kTimestampBufferSize];
  time_t now = time(nullptr);
  struct tm utc;
  if (gmtime_r(&now, &utc) == nullptr) return;
  size_t length = strftime(stamp, sizeof stamp, Log::TIMESTAMP_FORMAT, &utc);
  // The stamp goes to standard output, not to the log stream.
  fwrite(stamp, 1, length, stdout);
  fwrite(Log::SEPARATOR, 1, strlen(Log::SEPARATOR), stdout);
}

}  // namespace

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* Log::SEPARATOR = " | ";

void Log::log(uint32_t mask, const char* format, ...) {
  if (mask != 0 && (mask & package_bitmask) == 0) return;

  if (timestamped && strlen(format) >= kShortestStampedFormat) writeTimestamp();

  char message[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  int formatted = vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (formatted < 0) return;

  // vsnprintf reports the untruncated length; what is in the buffer is at
  // most one byte short of its size.
  size_t length = static_cast<size_t>(formatted);
  if (length >= sizeof message) length = sizeof message - 1;

  if (fh != nullptr) fwrite(message, 1, length, fh);
}

void Log::SetOutput(FILE* out) { fh = out; }

void Log::ActivatePackage(uint32_t mask) { package_bitmask |= mask; }

void Log::DeactivatePackage(uint32_t mask) { package_bitmask &= ~mask; }
