#ifndef TESTS_TESSARINE2_OBJECTS_OBJECTSTESTSUPPORT_H
#define TESTS_TESSARINE2_OBJECTS_OBJECTSTESTSUPPORT_H

// Simulated modules behind a TCP front or a pseudo-terminal, link
// link records for them, and small checks shared by the object tests
// (and the object benchmarks).

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/objects/Module.h"
#include "tests/sim/module/I2CBus.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/PtyFront.h"
#include "tests/sim/module/SimRouter.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/TcpFront.h"
#include "tests/sim/module/UeiTable.h"

namespace objtest {

using simmodule::ModuleEngine;
using simmodule::ModuleIdentity;
using simmodule::SimPacket;
using Zeltrova::Tessarine::aWeaveConfig;
using Zeltrova::Tessarine::Module;

constexpr uint8_t kAddress = 0x06;

inline uint32_t ipv4(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

inline linkSpec tcpSpec(uint32_t address, uint16_t port) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = TCPIP;
  spec.t.ip.ip_address = address;
  spec.t.ip.ip_port = port;
  return spec;
}

inline linkSpec serialSpec(uint32_t serial, const std::string& port) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = SERIAL;
  spec.serial_num = serial;
  spec.t.serial.baudrate = 115200;
  std::snprintf(spec.t.serial.port, sizeof spec.t.serial.port, "%s", port.c_str());
  return spec;
}

inline linkSpec usbSpec(uint32_t serial) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = USB;
  spec.serial_num = serial;
  spec.t.usb.usb_id = serial;
  return spec;
}

// A serial number no other test process uses at the same time (the USB
// driver node is named by it, and the link table keys on it).
inline uint32_t processSerial(uint32_t salt = 0) {
  return 0x5A000000u | ((static_cast<uint32_t>(getpid()) << 4) & 0x00FFFFF0u) | (salt & 0xF);
}

// The network-sharing configuration the application uses: off.
inline aWeaveConfig directConfig() {
  aWeaveConfig config;
  config.enabled = 0;
  config.fallback = 0;
  return config;
}

// Polls a condition that no event announces (a link's status), every
// 10 ms until the time is up.
template <typename Condition>
bool eventually(Condition condition, int timeoutMS) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Uses of a link in the link table; 0 when it is not there.
inline int useCount(linkID link) { return sChangeUseCount(link, 0); }

// The data of the packets the host wrote to one address.
inline std::vector<std::vector<uint8_t>> sentTo(const ModuleEngine& engine, uint8_t address) {
  std::vector<std::vector<uint8_t>> out;
  for (const ModuleEngine::HostPacket& packet : engine.received()) {
    if (packet.packet.address == address) {
      out.push_back(packet.packet.data);
    }
  }
  return out;
}

// A module with a system entity on loopback TCP. Members in this order so
// that the front (whose thread runs the handlers) stops first.
struct TcpModule {
  explicit TcpModule(const char* bind = "127.0.0.1", uint8_t address = kAddress,
                     const ModuleIdentity& identity = ModuleIdentity())
      : engine(address), table(engine, address), front(engine, 0, bind) {
    simmodule::addSystemEntity(table, identity);
  }
  linkSpec spec() const { return tcpSpec(front.address(), front.port()); }

  ModuleEngine engine;
  simmodule::UeiTable table;
  simmodule::TcpFront front;
};

// A router with modules behind it, on loopback TCP.
struct TcpRouter {
  explicit TcpRouter(const char* bind = "127.0.0.1", uint8_t address = 0x02,
                     const ModuleIdentity& identity = ModuleIdentity(), bool requireRouting = true)
      : engine(address), router(engine, identity, requireRouting), front(engine, 0, bind) {}
  linkSpec spec() const { return tcpSpec(front.address(), front.port()); }

  ModuleEngine engine;
  simmodule::SimRouter router;
  simmodule::TcpFront front;
};

// A module on a pseudo-terminal with a system entity.
struct PtyModule {
  explicit PtyModule(uint8_t address = kAddress, const ModuleIdentity& identity = ModuleIdentity())
      : engine(address), table(engine, address), front(engine) {
    simmodule::addSystemEntity(table, identity);
  }

  ModuleEngine engine;
  simmodule::UeiTable table;
  simmodule::PtyFront front;
};

// A Module connected with the network-sharing configuration off.
inline std::unique_ptr<Module> connectedModule(const linkSpec& spec, uint8_t address = 2, aErr* result = nullptr) {
  auto module = std::make_unique<Module>(address, static_cast<uint8_t>(0));
  module->setConfig(directConfig());
  const aErr err = module->connectFromSpec(spec);
  if (result != nullptr) {
    *result = err;
  }
  return module;
}

}  // namespace objtest

#endif
