#ifndef TESTS_SIM_NETDISCOVERY_PRIVATENETWORK_H
#define TESTS_SIM_NETDISCOVERY_PRIVATENETWORK_H

#include <cstdint>
#include <string>

#include "tests/sim/OwnNetwork.h"

namespace netsim {

// The links of the test's own network namespace (testsupport::
// enterOwnNetwork, which must come first), so that beacons and multicast
// never reach the machine's interfaces.
//
// useLinks() adds or removes the Ethernet link, a veth pair: "tnv0" with
// 10.77.0.1/24 (broadcast 10.77.0.255) and its address-less peer "tnv1",
// both up, so that CZMQ lists exactly one IPv4 interface.
class PrivateNetwork {
 public:
  enum class Links { LoopbackOnly, WithEthernet };

  // "" on success, else what failed. Only inside the private namespace.
  static std::string useLinks(Links links);

  // 10.77.0.1 in network order.
  static uint32_t ethernetAddress();
  static const char* ethernetAddressText() { return "10.77.0.1"; }
};

}  // namespace netsim

#endif
