#ifndef TESTS_SIM_MODULE_SYSTEMENTITY_H
#define TESTS_SIM_MODULE_SYSTEMENTITY_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/sim/module/UeiTable.h"

namespace simmodule {

// What a module says about itself through its system entity (command 3,
// index 0).
struct ModuleIdentity {
  uint32_t serial = 0x1234ABCD;
  uint8_t model = 0x13;
  uint32_t version = 0x23000004;  // packed firmware version: 2.3.4 in the legacy layout
  uint8_t router = 0;             // 0: the module's own address
  uint32_t hardwareVersion = 0x00010002;
  uint32_t build = 0;  // answer to the build query
  std::string name = "sim";
  // Option 39, subindexes 0 to 3: the chip's unique identifier.
  std::array<uint32_t, 4> uniqueId = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  // Option 31 answers as an 8-bit value, or as a byte array of words.
  bool powerBehaviorAsBytes = false;
  std::vector<uint8_t> powerBehaviorConfig;
};

// The system entity's options with their widths:
//
//   8-bit   1 module address (read only), 2 router, 3 heartbeat interval,
//           4 LED, 6 boot slot, 8 model (read only), 13 hardware offset,
//           14 base address, 15 software offset, 16 router address
//           setting, 20 route to host, 29 power source, 31 power
//           behaviour, 38 link interface
//   32-bit  7 version, 9 serial number, 12 input voltage, 21 input current,
//           22 uptime, 23 maximum temperature, 25 unregulated voltage,
//           26 unregulated current, 27 temperature, 28 minimum
//           temperature, 33 power limit, 34 power limit maximum, 35 power
//           limit state, 40 hardware version, 41 errors; 39 unique
//           identifier with subindexes 0 to 3
//   calls   10 save, 11 reset, 24 log events, 36 and 37 factory defaults
//   bytes   32 name (31 when powerBehaviorAsBytes)
//
// Options without an identity field hold values of their own, read back
// through the table.
void addSystemEntity(UeiTable& table, const ModuleIdentity& identity);

// From now on the module reports this serial number (option 9): another
// module at the same place, or a loader that reports its own.
void setSerialNumber(UeiTable& table, uint32_t serial);

constexpr uint8_t kCommandSystem = 3;
constexpr uint8_t kSystemRouteToHost = 20;
constexpr uint8_t kSystemReset = 11;
constexpr uint8_t kSystemSerialNumber = 9;

}  // namespace simmodule

#endif
