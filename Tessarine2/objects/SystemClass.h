#ifndef TESSARINE2_OBJECTS_SYSTEMCLASS_H
#define TESSARINE2_OBJECTS_SYSTEMCLASS_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/objects/EntityClass.h"

namespace Zeltrova {
namespace Tessarine {

class Module;

// The system entity (command 3): the module as a whole. Each operation is
// one get, set or call of a fixed option with a fixed value width.
class SystemClass : public EntityClass {
 public:
  SystemClass();
  ~SystemClass() override;

  aErr init(Module* module, uint8_t index);

  aErr getModule(uint8_t* address);  // 1
  aErr getRouter(uint8_t* address);  // 2
  aErr setRouter(uint8_t address);
  aErr getHBInterval(uint8_t* interval);  // 3
  aErr setHBInterval(uint8_t interval);
  aErr getLED(uint8_t* state);  // 4
  aErr setLED(uint8_t state);
  aErr getBootSlot(uint8_t* slot);  // 6
  aErr setBootSlot(uint8_t slot);
  aErr getVersion(uint32_t* version);             // 7
  aErr getModel(uint8_t* model);                  // 8
  aErr getSerialNumber(uint32_t* serialNumber);   // 9
  aErr save();                                    // 10
  aErr reset();                                   // 11
  aErr getInputVoltage(uint32_t* microvolts);     // 12
  aErr getModuleHardwareOffset(uint8_t* offset);  // 13
  aErr getModuleBaseAddress(uint8_t* address);    // 14
  aErr getModuleSoftwareOffset(uint8_t* offset);  // 15
  aErr setModuleSoftwareOffset(uint8_t offset);
  aErr getRouterAddressSetting(uint8_t* address);    // 16
  aErr routeToMe(uint8_t on);                        // 20
  aErr getInputCurrent(uint32_t* current);           // 21
  aErr getUptime(uint32_t* uptime);                  // 22
  aErr getMaximumTemperature(int32_t* temperature);  // 23
  aErr logEvents();                                  // 24
  aErr getUnregulatedVoltage(int32_t* voltage);      // 25
  aErr getUnregulatedCurrent(int32_t* current);      // 26
  aErr getTemperature(int32_t* temperature);         // 27
  aErr getMinimumTemperature(int32_t* temperature);  // 28
  aErr getInputPowerSource(uint8_t* source);         // 29
  aErr getInputPowerBehavior(uint8_t* behavior);     // 31
  aErr setInputPowerBehavior(uint8_t behavior);
  // Option 31 as an array of 32-bit words, carried in memory order.
  aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
  aErr getName(uint8_t* buffer, size_t capacity, size_t* count);  // 32
  aErr setName(const uint8_t* bytes, size_t length);
  aErr getPowerLimit(uint32_t* limit);     // 33
  aErr getPowerLimitMax(uint32_t* limit);  // 34
  aErr setPowerLimitMax(uint32_t limit);
  aErr getPowerLimitState(uint32_t* state);       // 35
  aErr resetEntityToFactoryDefaults();            // 36
  aErr resetDeviceToFactoryDefaults();            // 37
  aErr getLinkInterface(uint8_t* linkInterface);  // 38
  aErr setLinkInterface(uint8_t linkInterface);
  aErr getHardwareVersion(uint32_t* version);  // 40
  aErr getErrors(uint32_t* errors);            // 41

 private:
  aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
