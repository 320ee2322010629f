#ifndef TESTS_SIM_MODULE_SIMPACKET_H
#define TESTS_SIM_MODULE_SIMPACKET_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simmodule {

// One packet as a module sees it on the wire: address byte, length byte
// (0 to 28), data.
struct SimPacket {
  uint8_t address = 0;
  std::vector<uint8_t> data;

  std::vector<uint8_t> wire() const;
  bool operator==(const SimPacket& other) const { return address == other.address && data == other.data; }
};

// Addresses a host uses for link control, and the module side's limits.
constexpr uint8_t kSyncAddress = 0xAD;         // empty packet: synchronise / who are you
constexpr uint8_t kForceRouteAddress = 0xAF;   // one byte: force-route on (1) or off (0)
constexpr size_t kMaxData = 28;

// Frames the bytes a host writes. Any address is taken (the control
// addresses are odd); a length above 28 is a framing error and the framer
// starts over with the next byte.
class HostFramer {
 public:
  enum class Result { More, Packet, Error };
  Result feed(uint8_t byte, SimPacket* out);
  void reset();

 private:
  enum class Want { Address, Length, Data } want_ = Want::Address;
  SimPacket building_;
  size_t length_ = 0;
};

}  // namespace simmodule

#endif
