#include "updater/support/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

namespace {
constexpr size_t kMessageBufferSize = 2048;
}

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted_) return;

  // vsnprintf cuts an overlong text at the buffer and always terminates it.
  char text[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  int formatted = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (formatted < 0) text[0] = '\0';

  if (level == LEVEL_ERROR) {
    ++errorsShown_;
    error_message(text);
  } else {
    info_message(text);
  }
}
