#ifndef TESTS_SIM_NETDISCOVERY_PRIVATENETWORK_H
#define TESTS_SIM_NETDISCOVERY_PRIVATENETWORK_H

#include <cstdint>
#include <string>

namespace netsim {

// A network namespace of the test's own, so that beacons and multicast never
// reach the machine's interfaces. enter() moves the whole process into a new
// namespace with its loopback interface up: it must run while the process has
// a single thread (before any CZMQ actor or test thread exists), and needs
// CAP_SYS_ADMIN.
//
// useLinks() adds or removes the Ethernet link, a veth pair: "tnv0" with
// 10.77.0.1/24 (broadcast 10.77.0.255) and its address-less peer "tnv1",
// both up, so that CZMQ lists exactly one IPv4 interface.
class PrivateNetwork {
 public:
  enum class Links { LoopbackOnly, WithEthernet };

  // "" on success, else what failed. Sets up once per process; later calls
  // return the first result.
  static std::string enter();
  // "" on success, else what failed. Only inside the private namespace.
  static std::string useLinks(Links links);

  // True only after a successful enter() and while the process's namespace
  // is neither the one it started in nor (when readable) that of process 1.
  static bool isPrivate();

  // 10.77.0.1 in network order.
  static uint32_t ethernetAddress();
  static const char* ethernetAddressText() { return "10.77.0.1"; }
};

}  // namespace netsim

#endif
