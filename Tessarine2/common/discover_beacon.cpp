#include <czmq.h>

#include <cstring>

#include "Tessarine2/common/aNetworkDiscovery.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/common/discover_aweave.h"

namespace {

// Servers publish their record every 100 ms for 2 to 3 s after they hear a
// beacon; 22 receive windows of 100 ms collect them. The windows are a
// fixed span of time, not a number of beacons heard: a busy network (many
// servers, each repeating its record) must not use them up before a slower
// server has answered.
constexpr int kReceiveWindowMS = 100;
constexpr uint64_t kCollectionMS = 22 * kReceiveWindowMS;

// The beacon actor delivers [sender address][payload]; returns the payload
// frame, or NULL when nothing came within one window.
zframe_t* receiveBeacon(zactor_t* beacon) {
  char* sender = zstr_recv(beacon);
  if (sender == nullptr) return nullptr;
  zstr_free(&sender);
  if (!zsock_rcvmore(beacon)) return nullptr;
  return zframe_recv(beacon);
}

}  // namespace

uint8_t _findLinkSpecs_beacon(aDiscoveryCallback callback, void* reference) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr) return 0;

  // The beacon answers CONFIGURE with the address of the interface it
  // bound, or an empty text when CZMQ's interface setting names none of
  // this machine's interfaces: nothing could be sent or heard then.
  zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(aDISCOVERY_BEACON_PORT));
  char* hostname = zstr_recv(beacon);
  bool bound = hostname != nullptr && hostname[0] != '\0';
  zstr_free(&hostname);

  uint8_t count = 0;
  if (bound) {
    zsock_send(beacon, "sbi", "PUBLISH", reinterpret_cast<const byte*>(DISCOVERY_BEACON_FILTER),
               aDISCOVERY_BEACON_FILTER_LENGTH, aDISCOVERY_BEACON_INTERVAL_MS);
    // An empty filter delivers every beacon heard; the servers' records are
    // told apart from other clients' beacons by their size.
    zsock_send(beacon, "sb", "SUBSCRIBE", reinterpret_cast<const byte*>(""), static_cast<size_t>(0));
    zsock_set_rcvtimeo(beacon, kReceiveWindowMS);

    aWeaveSpecCollector collector(callback, reference);
    const uint64_t end = aTime_GetMSTicks() + kCollectionMS;
    while (collector.keepGoing() && aTime_GetMSTicks() < end) {
      zframe_t* payload = receiveBeacon(beacon);
      if (payload != nullptr && zframe_size(payload) == aDISCOVERY_SPEC_SIZE) {
        // Copied out so the callback sees an aligned record.
        linkSpec spec;
        std::memcpy(&spec, zframe_data(payload), sizeof(spec));
        collector.offer(spec);
      }
      zframe_destroy(&payload);
    }
    count = collector.count();
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zactor_destroy(&beacon);
  return count;
}
