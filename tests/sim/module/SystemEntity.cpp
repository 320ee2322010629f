#include "tests/sim/module/SystemEntity.h"

namespace simmodule {

void addSystemEntity(UeiTable& table, const ModuleIdentity& id) {
  constexpr uint8_t c = kCommandSystem;
  const uint8_t address = table.address();
  table.defineValue(c, 0, 1, 1, address, false);
  table.defineValue(c, 0, 2, 1, id.router == 0 ? address : id.router);
  table.defineValue(c, 0, 3, 1, 0x05);
  table.defineValue(c, 0, 4, 1, 0);
  table.defineValue(c, 0, 6, 1, 0x01);
  table.defineValue(c, 0, 7, 4, id.version, false);
  table.defineValue(c, 0, 8, 1, id.model, false);
  table.defineValue(c, 0, kSystemSerialNumber, 4, id.serial, false);
  table.defineCall(c, 0, 10);
  table.defineCall(c, 0, kSystemReset);
  table.defineValue(c, 0, 12, 4, 5012345, false);
  table.defineValue(c, 0, 13, 1, 0x02, false);
  table.defineValue(c, 0, 14, 1, address, false);
  table.defineValue(c, 0, 15, 1, 0x00);
  table.defineValue(c, 0, 16, 1, id.router == 0 ? address : id.router, false);
  table.defineValue(c, 0, kSystemRouteToHost, 1, 0);
  table.defineValue(c, 0, 21, 4, 250000, false);
  table.defineValue(c, 0, 22, 4, 86400, false);
  table.defineValue(c, 0, 23, 4, 61500000, false);
  table.defineCall(c, 0, 24);
  table.defineValue(c, 0, 25, 4, static_cast<uint32_t>(-12000000), false);
  table.defineValue(c, 0, 26, 4, static_cast<uint32_t>(-350000), false);
  table.defineValue(c, 0, 27, 4, 41250000, false);
  table.defineValue(c, 0, 28, 4, static_cast<uint32_t>(-5000000), false);
  table.defineValue(c, 0, 29, 1, 0x02, false);
  if (id.powerBehaviorAsBytes) {
    table.defineBytes(c, 0, 31, id.powerBehaviorConfig);
  } else {
    table.defineValue(c, 0, 31, 1, 0x03);
  }
  table.defineBytes(c, 0, 32, std::vector<uint8_t>(id.name.begin(), id.name.end()));
  table.defineValue(c, 0, 33, 4, 10000000, false);
  table.defineValue(c, 0, 34, 4, 12000000);
  table.defineValue(c, 0, 35, 4, 0x00000001, false);
  table.defineCall(c, 0, 36);
  table.defineCall(c, 0, 37);
  table.defineValue(c, 0, 38, 1, 0x01);
  table.defineSubindexed(c, 0, 39, 4, {id.uniqueId[0], id.uniqueId[1], id.uniqueId[2], id.uniqueId[3]});
  table.defineValue(c, 0, 40, 4, id.hardwareVersion, false);
  table.defineValue(c, 0, 41, 4, 0x00000000, false);
  table.setBuild(id.build);
}

void setSerialNumber(UeiTable& table, uint32_t serial) {
  table.defineValue(kCommandSystem, 0, kSystemSerialNumber, 4, serial, false);
}

}  // namespace simmodule
