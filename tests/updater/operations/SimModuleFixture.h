#ifndef TESTS_UPDATER_OPERATIONS_SIMMODULEFIXTURE_H
#define TESTS_UPDATER_OPERATIONS_SIMMODULEFIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/objects/Module.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/TcpFront.h"
#include "tests/sim/module/UeiTable.h"
#include "tests/sim/module/UpgradeCommand.h"
#include "tests/updater/operations/Containers.h"

namespace opstest {

constexpr uint8_t kModuleAddress = 0x06;
// Model 4 is a "Pandrel", the model the test containers name.
constexpr uint8_t kPandrel = 4;

// A module on the network: engine, system entity, upgrade command and a
// TCP front on a loopback address. The front goes first on destruction, so
// no handler runs while the rest is torn down; until then a stopped front
// keeps its port from everybody else.
struct TcpModule {
  // Construction order is declaration order: the engine first.
  simmodule::ModuleEngine engine{kModuleAddress};
  simmodule::UeiTable table;
  simmodule::UpgradeCommand upgrade;
  std::unique_ptr<simmodule::TcpFront> front;
  uint32_t ip = 0;  // network order
  uint16_t port = 0;
  // The front as the restart hook (on the front's own thread) sees it.
  std::mutex restartMutex;
  std::condition_variable restartChanged;
  simmodule::TcpFront* restartFront = nullptr;
  // How long a restarted module refuses connections (0: not at all), and
  // when the one under way listens again.
  std::chrono::milliseconds refusal{0};
  uint32_t serialAfterRestart = 0;  // 0: the module's own
  bool relistenPending = false;
  std::chrono::steady_clock::time_point relistenAt;
  bool stopping = false;
  int relistens = 0;
  std::mutex relistenMutex;
  std::thread relistener;

  explicit TcpModule(const simmodule::ModuleIdentity& identity,
                     simmodule::UpgradeCommand::Settings settings = simmodule::UpgradeCommand::Settings(),
                     const std::string& bind = "127.0.0.1")
      : table(engine, kModuleAddress), upgrade(engine, kModuleAddress, orderlyClose(settings)) {
    simmodule::addSystemEntity(table, identity);
    table.setBuild(identity.build);
    front = std::make_unique<simmodule::TcpFront>(engine, 0, bind);
    ip = front->address();
    port = front->port();
    std::lock_guard<std::mutex> hold(restartMutex);
    restartFront = front.get();
    relistener = std::thread([this] { relistenLoop(); });
  }
  ~TcpModule() {
    {
      std::lock_guard<std::mutex> hold(restartMutex);
      stopping = true;
    }
    restartChanged.notify_all();
    relistener.join();
    stopFront();
    front.reset();
  }

  // From now on a restart (loader start, reboot) also takes the module off
  // the network for this long: its port refuses connections, then accepts
  // them again.
  void refuseAfterRestart(std::chrono::milliseconds time) {
    std::lock_guard<std::mutex> hold(restartMutex);
    refusal = time;
  }
  // From now on a restart (loader start, reboot) brings back a module that
  // reports this serial number at the same address.
  void comeBackAs(uint32_t serial) {
    std::lock_guard<std::mutex> hold(restartMutex);
    serialAfterRestart = serial;
  }
  // Times the port listened again after a refusal.
  int relistened() {
    std::lock_guard<std::mutex> hold(restartMutex);
    return relistens;
  }

  // A restarting module closes its end of the connection: the host's stream
  // sees the connection end (a reset would make it reconnect in place at
  // once, as if the module never went away).
  simmodule::UpgradeCommand::Settings orderlyClose(simmodule::UpgradeCommand::Settings settings) {
    settings.endConnection = [this] {
      std::lock_guard<std::mutex> hold(restartMutex);
      if (restartFront == nullptr) return;
      if (serialAfterRestart != 0) simmodule::setSerialNumber(table, serialAfterRestart);
      restartFront->disconnect(false);
      if (refusal.count() > 0) {
        restartFront->stopListening();
        relistenPending = true;
        relistenAt = std::chrono::steady_clock::now() + refusal;
        restartChanged.notify_all();
      }
    };
    return settings;
  }

  // The front is told to listen without restartMutex held: its own thread
  // may be waiting for that lock in the restart hook. relistenMutex keeps a
  // stopped front from listening again.
  void relistenLoop() {
    std::unique_lock<std::mutex> hold(restartMutex);
    for (;;) {
      restartChanged.wait(hold, [&] { return stopping || relistenPending; });
      if (stopping) return;
      if (restartChanged.wait_until(hold, relistenAt, [&] { return stopping; })) continue;
      relistenPending = false;
      hold.unlock();
      bool listening = false;
      {
        std::lock_guard<std::mutex> serial(relistenMutex);
        simmodule::TcpFront* target = nullptr;
        {
          std::lock_guard<std::mutex> again(restartMutex);
          target = restartFront;
        }
        listening = target != nullptr && target->listenAgain();
      }
      hold.lock();
      if (listening) ++relistens;
    }
  }

  // The module leaves the network: connections are refused from now on,
  // and the port stays held until the module goes.
  void stopFront() {
    std::lock_guard<std::mutex> serial(relistenMutex);
    {
      std::lock_guard<std::mutex> hold(restartMutex);
      restartFront = nullptr;
      relistenPending = false;
    }
    if (front) {
      front->stopListening();
      front->disconnect(true);
    }
  }

  linkSpec spec(uint32_t serial) const {
    linkSpec s{};
    s.type = TCPIP;
    s.serial_num = serial;
    s.module = kModuleAddress;
    s.router = kModuleAddress;
    s.router_serial_num = serial;
    s.t.ip.ip_address = ip;
    s.t.ip.ip_port = port;
    return s;
  }
};

inline simmodule::ModuleIdentity identity(uint32_t serial, uint8_t model = kPandrel, uint32_t build = 0) {
  simmodule::ModuleIdentity id;
  id.serial = serial;
  id.model = model;
  id.build = build;
  return id;
}

// The firmware blocks of the default container are in the module's flash,
// and the module rebooted once.
inline void expectFirmwareIn(const simmodule::UpgradeCommand& upgrade) {
  birdgen::Container c = makeContainer(ContainerShape());
  for (const birdgen::Block& b : c.blocks) {
    if ((b.header & 0x1F) != birdgen::kTypeFirmware) continue;
    const uint32_t address = (uint32_t(b.payload[0]) << 24) | (uint32_t(b.payload[1]) << 16) |
                             (uint32_t(b.payload[2]) << 8) | b.payload[3];
    EXPECT_EQ(upgrade.flash(address, b.payload.size() - 4),
              std::vector<uint8_t>(b.payload.begin() + 4, b.payload.end()));
  }
  EXPECT_EQ(upgrade.counts().reboots, 1);
}

// A Module connected straight to the simulated module over TCP, its network
// sharing off.
inline std::unique_ptr<Zeltrova::Tessarine::Module> connectTcp(const TcpModule& sim, uint32_t serial) {
  auto module = std::make_unique<Zeltrova::Tessarine::Module>(2, 0);
  Zeltrova::Tessarine::aWeaveConfig config;
  config.enabled = 0;
  config.fallback = 0;
  module->setConfig(config);
  if (module->connectFromSpec(sim.spec(serial)) != aErrNone) return nullptr;
  return module;
}

}  // namespace opstest

#endif
