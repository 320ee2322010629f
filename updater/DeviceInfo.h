#ifndef UPDATER_DEVICEINFO_H
#define UPDATER_DEVICEINFO_H

#include <cstdint>
#include <string>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aError.h"

// One module found by discovery, with what its queries returned.
struct DeviceInfo {
  linkSpec spec{};        // as discovery found it; module and router addresses from the version query
  uint16_t address = 0;   // I2C address behind a router (router search only)
  uint32_t build = 0;     // firmware build, 0 when unknown
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string modelName;
  aErr error = aErrNone;  // of the last failed query, 0 when all succeeded
};

#endif
