#ifndef TESTS_SIM_MODULE_SIMROUTER_H
#define TESTS_SIM_MODULE_SIMROUTER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "tests/sim/module/I2CBus.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/UeiTable.h"

namespace simmodule {

// A router module on the engine's connection, with further modules behind
// it on its I2C bus (index 0). Each module behind it answers on the link at
// its own address, which is also its bus address; packets reach it by
// their destination address. While the host has not asked the router to
// route to it (system option 20 set to 1), the modules behind it stay
// silent, unless routing is not required.
//
// Its handlers run on the front's thread: stop the front before the router
// goes.
class SimRouter {
 public:
  SimRouter(ModuleEngine& engine, const ModuleIdentity& identity, bool requireRouting = true);
  ~SimRouter();
  SimRouter(const SimRouter&) = delete;
  SimRouter& operator=(const SimRouter&) = delete;

  UeiTable& table() { return router_; }
  I2CBus& bus() { return bus_; }
  // A module at an even bus address, with its own system entity.
  UeiTable& addModule(uint8_t address, const ModuleIdentity& identity);
  bool routing() const { return routing_.load(); }

 private:
  ModuleEngine& engine_;
  const bool requireRouting_;
  std::atomic<bool> routing_{false};
  UeiTable router_;
  I2CBus bus_;
  std::vector<std::unique_ptr<UeiTable>> behind_;
};

}  // namespace simmodule

#endif
