#ifndef TESTS_SIM_MODULE_LEGACYDISCOVERYRESPONDER_H
#define TESTS_SIM_MODULE_LEGACYDISCOVERYRESPONDER_H

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace simmodule {

// A network module's answer to legacy discovery: it joins group 232.2.2.2
// on the given interface, listens on UDP port 9888 and answers every
// 16-byte request whose first byte is 1 with 16 bytes to the requester's
// address, port 9889:
//
//   0      0
//   1      module address
//   2-3    TCP port, little-endian
//   4-7    serial number, little-endian
//   8-11   0
//   12     model
//   13-15  0
//
// Multicasts: use it only inside a network namespace of the test's own.
class LegacyDiscoveryResponder {
 public:
  struct Identity {
    uint8_t moduleAddress = 0x06;
    uint16_t port = 0;
    uint32_t serial = 0;
    uint8_t model = 0;
  };

  // interfaceAddress: dotted IPv4 of the interface to join the group on.
  // Throws std::runtime_error when it cannot listen.
  LegacyDiscoveryResponder(const std::string& interfaceAddress, const Identity& identity);
  ~LegacyDiscoveryResponder();
  LegacyDiscoveryResponder(const LegacyDiscoveryResponder&) = delete;
  LegacyDiscoveryResponder& operator=(const LegacyDiscoveryResponder&) = delete;

  size_t requests() const;

 private:
  void loop();

  Identity identity_;
  int socket_ = -1;
  int wake_[2] = {-1, -1};
  mutable std::mutex mutex_;
  size_t requests_ = 0;
  std::thread thread_;
};

}  // namespace simmodule

#endif
