#ifndef TESTS_SIM_MODULE_I2CBUS_H
#define TESTS_SIM_MODULE_I2CBUS_H

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SimPacket.h"

namespace simmodule {

// An I2C bus of a module (command 8, one entity index), as the module
// drives it:
//
//   read     [8, idx, addr | 1, n, speed]       -> [8, idx, addr | 1, n, status, n bytes]
//   write    [8, idx, addr, n, speed, n bytes]  -> [8, idx, addr, 0, status]
//   pull-up  [8, idx, 1, on]                    -> [8, idx, 1, on, status]
//
// Devices sit at even bus addresses (the 7-bit address in the upper
// bits). A transfer to an address where no device answers fails at once
// with status 0x80 | kNoDevice. A device hands back the bytes last written
// to it, padded with zeros.
class I2CBus {
 public:
  using Responder = std::function<std::vector<SimPacket>(const SimPacket& request)>;

  static constexpr uint8_t kCommandI2C = 8;
  static constexpr uint8_t kStatusFailed = 0x80;
  static constexpr uint8_t kNoDevice = 6;  // aErrIO: no acknowledge
  static constexpr uint8_t kPullupSelector = 1;

  // Registers command 8 on the node. Stop the front before the bus goes.
  I2CBus(ModuleEngine& engine, uint8_t nodeAddress, uint8_t index = 0);
  ~I2CBus();
  I2CBus(const I2CBus&) = delete;
  I2CBus& operator=(const I2CBus&) = delete;

  void addDevice(uint8_t busAddress, std::vector<uint8_t> contents = {});
  void removeDevice(uint8_t busAddress);
  // Answers every transfer instead of the bus.
  void setResponder(Responder responder);

  struct Transfer {
    uint8_t busAddress;
    bool read;
    uint8_t length;
    uint8_t speed;
    std::vector<uint8_t> data;
  };
  std::vector<Transfer> transfers() const;
  bool pullup() const;

 private:
  std::vector<SimPacket> handle(const SimPacket& request);

  ModuleEngine& engine_;
  const uint8_t node_;
  const uint8_t index_;
  mutable std::mutex mutex_;
  std::map<uint8_t, std::vector<uint8_t>> devices_;
  std::vector<Transfer> transfers_;
  bool pullup_ = false;
  Responder responder_;
};

}  // namespace simmodule

#endif
