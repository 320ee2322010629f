#ifndef TESSARINE2_POSIX_UNIX_DISCOVERY_H
#define TESSARINE2_POSIX_UNIX_DISCOVERY_H

#include <cstdint>

#include "Tessarine2/common/aDiscover.h"

// The USB and TCPIP branches of aDiscovery_EnumerateModules; not part of
// the library's interface. Each returns the number of records the callback
// marked taken, counted in 8 bits.

// Modules on USB, through the process-wide libusb context.
uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryCallback callback, void* reference);

// Modules on the local networks, found by the legacy UDP discovery.
uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryCallback callback, void* reference);

// Legacy UDP discovery wire. The request goes to the group on every IPv4
// interface but the loopback; modules answer to the requester's reply port.
//
//   request, 16 bytes:  [0] 1, [1..15] 0
//   reply, 16 bytes:    [0] -, [1] module address, [2..3] TCP port (LE),
//                       [4..7] serial number (LE), [8..11] -, [12] model,
//                       [13..15] -
constexpr uint8_t aLEGACY_DISCOVERY_GROUP[4] = {232, 2, 2, 2};
constexpr uint16_t aLEGACY_DISCOVERY_REQUEST_PORT = 9888;
constexpr uint16_t aLEGACY_DISCOVERY_REPLY_PORT = 9889;
constexpr size_t aLEGACY_DISCOVERY_DATAGRAM_SIZE = 16;
constexpr uint8_t aLEGACY_DISCOVERY_REQUEST_TAG = 1;
// A discovery ends when no answer came for this long. Modules may answer
// slowly one after another, so only silence ends it...
constexpr uint32_t aLEGACY_DISCOVERY_IDLE_MS = 2000;
// ...or a flood: after this many answers offered (the number taken is
// counted in 8 bits, so more could not be told apart)...
constexpr unsigned aLEGACY_DISCOVERY_MOST_OFFERED = 255;
// ...or, for answers that keep trickling in below that count, this long
// after the requests went out.
constexpr uint32_t aLEGACY_DISCOVERY_LIMIT_MS = 30000;

#endif
