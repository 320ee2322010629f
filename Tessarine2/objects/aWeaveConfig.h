#ifndef TESSARINE2_OBJECTS_AWEAVECONFIG_H
#define TESSARINE2_OBJECTS_AWEAVECONFIG_H

#include <cstdint>

namespace Zeltrova {
namespace Tessarine {

// The network-sharing configuration of a Link: whether a USB module is
// opened through a local module-sharing server (the Link then being one of
// its clients) and whether a failed search on USB or aWeave is retried on
// the other of the two.
struct aWeaveConfig {
  // 127.0.0.1 in network byte order, as the host stores it.
  static constexpr uint32_t kLoopbackInterface = 0x0100007F;

  uint8_t enabled;            // 1: USB through a local server; aWeave records allowed
  uint8_t fallback;           // 1: USB <-> aWeave retry after a failed search
  uint8_t localOnly;          // 1: the server serves 127.0.0.1 only
  uint16_t port;              // the server's TCP port; written back on creation
  uint32_t networkInterface;  // IPv4, network order; searched and served

  aWeaveConfig() : enabled(1), fallback(1), localOnly(1), port(0), networkInterface(kLoopbackInterface) {}
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
