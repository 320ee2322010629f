#ifndef TESTS_UPDATER_OPERATIONS_DISCOVERABLEMODULE_H
#define TESTS_UPDATER_OPERATIONS_DISCOVERABLEMODULE_H

#include <cstdint>

#include "tests/sim/legacydiscovery/LegacyDiscoveryPeer.h"
#include "tests/updater/operations/SimModuleFixture.h"

namespace opstest {

// The private network's Ethernet address (PrivateNetworkEnvironment.h).
constexpr const char* kPrivateEthernet = "10.77.0.1";

// A simulated Pandrel over TCP on the private network's Ethernet link,
// answering legacy discovery: what an Updater executable run in that
// network finds for -U -d serial. The answerer stops before the module.
struct DiscoverableModule {
  explicit DiscoverableModule(uint32_t serial)
      : sim(identity(serial), simmodule::UpgradeCommand::Settings(), kPrivateEthernet),
        responder(kPrivateEthernet, kPrivateEthernet, testsupport::legacyAnswer(kModuleAddress, sim.port, serial, kPandrel)) {}

  TcpModule sim;
  testsupport::LegacyDiscoveryPeer responder;
};

}  // namespace opstest

#endif
