#include "Tessarine2/common/aDebug.h"

#include <cstdarg>
#include <cstdio>

volatile uint8_t aTessarineDebuggingEnable = 0;
volatile uint32_t aTessarineDebuggingLevel = 0;

void aTessarine_Trace(uint32_t group, const char* format, ...) {
  if (aTessarineDebuggingEnable == 0 || (aTessarineDebuggingLevel & group) == 0) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}
