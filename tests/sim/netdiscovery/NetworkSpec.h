#ifndef TESTS_SIM_NETDISCOVERY_NETWORKSPEC_H
#define TESTS_SIM_NETDISCOVERY_NETWORKSPEC_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace netsim {

// What a module-sharing server advertises, and the 128 bytes it answers
// discovery with: link type 4, serial number, three zero words, model,
// address, port (32-bit little-endian each, the address as its four bytes in
// network order), then 96 zero bytes.
struct ServerIdentity {
  uint32_t serial = 0;
  uint8_t model = 0;  // 0: not learned yet, so the server answers nothing
  std::array<uint8_t, 4> address = {127, 0, 0, 1};
  uint16_t port = 50000;
};

std::vector<uint8_t> makeNetworkSpec(const ServerIdentity& identity);

// The same identity read back from an answer by byte position, for checks
// that do not trust the client's own record layout.
struct SpecFields {
  uint32_t type, serial, moduleAddress, routerAddress, routerSerial, model;
  std::array<uint8_t, 4> address;
  uint32_t port;
  bool reservedZero;
};
SpecFields readNetworkSpec(const uint8_t* bytes);  // 128 bytes

}  // namespace netsim

#endif
