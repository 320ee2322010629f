#ifndef TESSARINE2_COMMON_ANETWORKDISCOVERY_H
#define TESSARINE2_COMMON_ANETWORKDISCOVERY_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// The wire of module-sharing server discovery, shared by the clients and
// the servers' answering side.
//
// Beacon discovery: a client publishes DISCOVERY_BEACON_FILTER (20 bytes, no
// NUL) on the beacon port through CZMQ's beacon actor; a server that hears
// it publishes its 128-byte network record (a linkSpec of type aWeave) on the
// same port for a while.
//
// Local multicast discovery: on the loopback interface, group 224.0.0.7 is
// divided into slots. A server holds the request port of its slot (a bound
// receiver without address reuse) and answers the 4-byte request with its
// network record, sent to the slot's reply port.

#define DISCOVERY_BEACON_FILTER "Tessarine2-Discovery"
constexpr size_t aDISCOVERY_BEACON_FILTER_LENGTH = sizeof(DISCOVERY_BEACON_FILTER) - 1;

constexpr uint16_t aDISCOVERY_BEACON_PORT = 8585;
constexpr int aDISCOVERY_BEACON_INTERVAL_MS = 100;

// Size of a server's answer on either mechanism.
constexpr size_t aDISCOVERY_SPEC_SIZE = 128;

// 224.0.0.7 and 127.0.0.1 as their in-memory bytes (network order).
constexpr uint8_t aDISCOVERY_MULTICAST_GROUP_BYTES[4] = {224, 0, 0, 7};
constexpr uint8_t aDISCOVERY_LOOPBACK_BYTES[4] = {127, 0, 0, 1};

constexpr uint32_t aDISCOVERY_SLOT_COUNT = 50;
constexpr uint16_t aDISCOVERY_REQUEST_PORT_BASE = 9850;  // request port of slot i: base + i
constexpr uint16_t aDISCOVERY_REPLY_PORT_BASE = 9950;    // reply port of slot i: base + i

// Sent as a 32-bit value in the sender's own byte order; both ends share a
// machine, so the responder compares it in its own order.
constexpr uint32_t aDISCOVERY_MULTICAST_MAGIC = 0xABCDDCBA;

// 224.0.0.7 / 127.0.0.1 as 32-bit values in network order.
inline uint32_t aDiscovery_MulticastGroup() {
  uint32_t value;
  std::memcpy(&value, aDISCOVERY_MULTICAST_GROUP_BYTES, sizeof(value));
  return value;
}
inline uint32_t aDiscovery_Loopback() {
  uint32_t value;
  std::memcpy(&value, aDISCOVERY_LOOPBACK_BYTES, sizeof(value));
  return value;
}

#endif
