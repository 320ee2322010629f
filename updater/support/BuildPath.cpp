#include "updater/support/BuildPath.h"

#include <cstdarg>

#include "Tessarine2/common/aDirectory.h"

std::string BuildPath(const char* first, ...) {
  std::string path = first != nullptr ? first : "";
  va_list args;
  va_start(args, first);
  for (const char* component = va_arg(args, const char*); component != nullptr;
       component = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += component;
  }
  va_end(args);
  return path;
}
