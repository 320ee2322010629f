#include "tests/sim/module/SimRouter.h"

namespace simmodule {

SimRouter::SimRouter(ModuleEngine& engine, const ModuleIdentity& identity, bool requireRouting)
    : engine_(engine),
      requireRouting_(requireRouting),
      router_(engine, engine.address()),
      bus_(engine, engine.address()) {
  addSystemEntity(router_, identity);
  router_.onSet(kCommandSystem, 0, kSystemRouteToHost, [this](uint32_t value) { routing_.store(value != 0); });
}

SimRouter::~SimRouter() = default;

UeiTable& SimRouter::addModule(uint8_t address, const ModuleIdentity& identity) {
  auto module = std::make_unique<UeiTable>(engine_, address);
  ModuleIdentity behind = identity;
  if (behind.router == 0) {
    behind.router = engine_.address();
  }
  addSystemEntity(*module, behind);
  if (requireRouting_) {
    module->setGate([this] { return routing_.load(); });
  }
  bus_.addDevice(address);
  behind_.push_back(std::move(module));
  return *behind_.back();
}

}  // namespace simmodule
