#include <cstring>

#include "Tessarine2/common/aMulticast.h"
#include "Tessarine2/common/aNetworkDiscovery.h"
#include "Tessarine2/common/discover_aweave.h"

uint8_t _findLinkSpecs_multicast(aDiscoveryCallback callback, void* reference) {
  const uint32_t loopback = aDiscovery_Loopback();
  const uint32_t group = aDiscovery_MulticastGroup();
  aWeaveSpecCollector collector(callback, reference);
  // One byte more than an answer, so that a longer datagram shows its size
  // instead of being cut to a plausible 128 bytes.
  uint8_t answer[aDISCOVERY_SPEC_SIZE + 1];

  for (uint32_t slot = 0; slot < aDISCOVERY_SLOT_COUNT && collector.keepGoing(); ++slot) {
    const uint16_t requestPort = static_cast<uint16_t>(aDISCOVERY_REQUEST_PORT_BASE + slot);
    const uint16_t replyPort = static_cast<uint16_t>(aDISCOVERY_REPLY_PORT_BASE + slot);

    // A server holds its slot's request port with a receiver that refuses
    // reuse: when our own receiver can bind the port, nobody is there.
    aMulticast* probe = aMulticast_Create(loopback, group, requestPort, aMULTICAST_RECEIVER);
    if (probe != nullptr) {
      aMulticast_Destroy(&probe);
      continue;
    }

    // The reply receiver exists before the request goes out, so a quick
    // answer is not lost.
    aMulticast* replies = aMulticast_Create(loopback, group, replyPort, aMULTICAST_RECEIVER);
    aMulticast* requests = aMulticast_Create(loopback, group, requestPort, aMULTICAST_SENDER);
    const uint32_t request = aDISCOVERY_MULTICAST_MAGIC;
    if (aMulticast_Send(requests, &request, sizeof(request)) >= 0) {
      int64_t received = aMulticast_Receive(replies, answer, sizeof(answer));
      if (received == static_cast<int64_t>(aDISCOVERY_SPEC_SIZE)) {
        linkSpec spec;
        std::memcpy(&spec, answer, sizeof(spec));
        // Only servers on this machine answer here; a record that names
        // another address is not reachable the way this scan found it.
        if (spec.t.ip.ip_address == loopback) collector.offer(spec);
      }
    }
    aMulticast_Destroy(&requests);
    aMulticast_Destroy(&replies);
  }
  return collector.count();
}
