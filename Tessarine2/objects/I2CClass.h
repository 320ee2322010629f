#ifndef TESSARINE2_OBJECTS_I2CCLASS_H
#define TESSARINE2_OBJECTS_I2CCLASS_H

#include <cstdint>

#include "Tessarine2/objects/EntityClass.h"

namespace Zeltrova {
namespace Tessarine {

class Module;

// One I2C bus of a module (command 8). Transfers are raw packets of their
// own layout, not UEI:
//
//   read     [8, index, address | 1, length, speed]
//            -> [8, index, address | 1, n, status, n data bytes]
//   write    [8, index, address, length, speed, data...]
//            -> [8, index, address, 0, status, ...]
//   pull-up  [8, index, 1, on] -> [8, index, 1, x, status, ...]
//
// Bus addresses carry the device's 7-bit address in their upper bits.
// Status bit 7 marks a failure whose low bits are the aErr code.
class I2CClass : public EntityClass {
 public:
  // Data bytes one transfer carries.
  static constexpr uint8_t kMaxTransfer = 23;

  I2CClass();
  ~I2CClass() override;

  aErr init(Module* module, uint8_t index);
  // Speed codes 0..3, passed on with every transfer.
  aErr setSpeed(uint8_t speed);
  aErr getSpeed(uint8_t* speed);
  // The buffer holds length bytes.
  aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(bool on);

 private:
  // The reply whose data begin with the pattern; its status checked.
  aErr awaitReply(const uint8_t* pattern, uint8_t patternLength, uint8_t* reply, uint8_t* length);

  uint8_t speed;
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
