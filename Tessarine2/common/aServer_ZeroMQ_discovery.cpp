// Discovery answers of the module-sharing server. At start the server picks
// beacon discovery (it serves a real network interface) or local multicast
// discovery (loopback only) and answers the matching client requests with
// its network record, once the module's model is known.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "Tessarine2/common/aLoopbackDatagram.h"
#include "Tessarine2/common/aMulticast.h"
#include "Tessarine2/common/aNetworkDiscovery.h"
#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/common/zBeaconInterface.h"

namespace zmqserver {

namespace {

constexpr uint32_t kMaxInterfaces = 50;
// The beacon actor's pipe is read by the broker only when the poller says
// so; the time-out bounds a read of a half-delivered beacon.
constexpr int kBeaconReceiveTimeoutMS = 100;
// A heard client beacon starts a period of answers: the record is published
// every 100 ms for 2 to 3 s (until the first broker wake-up after 2 s),
// which a client's 2.2 s collection takes in.
constexpr uint64_t kPublishPeriodMS = 2000;

constexpr int kSlotAttempts = 50;
// The responder waits this long on its pipe when it holds no request port.
constexpr int kIdlePipeWaitMS = 1000;

// Binds CZMQ's process-wide interface setting and reads it again only when
// it configures: the lock is held until the beacon has answered CONFIGURE,
// so that no other beacon user changes the setting in between.
bool _createBeacon(aServer* server, const char* interfaceText) {
  if (!zBeaconInterface_setAndLock(interfaceText)) {
    return false;
  }
  server->beacon = zactor_new(zbeacon, nullptr);
  char* hostname = nullptr;
  if (server->beacon != nullptr) {
    zsock_send(server->beacon, "si", "CONFIGURE", static_cast<int>(aDISCOVERY_BEACON_PORT));
    hostname = zstr_recv(server->beacon);
  }
  zBeaconInterface_unlock();
  if (server->beacon == nullptr) {
    return false;
  }
  // Only client beacons (payload "Tessarine2-Discovery...") are delivered.
  zsock_send(server->beacon, "sb", "SUBSCRIBE", reinterpret_cast<const byte*>(DISCOVERY_BEACON_FILTER),
             aDISCOVERY_BEACON_FILTER_LENGTH);
  zsock_set_rcvtimeo(server->beacon, kBeaconReceiveTimeoutMS);
  // The address the beacon bound; clients reach the frontend there. A
  // beacon that found no such interface reports an empty text: the served
  // interface is the best address then.
  in_addr address{};
  aTessarine_Trace(aDEBUG_SERVER, "Beacon hostname(Server): %s - Port: %d\n", hostname != nullptr ? hostname : "",
                   static_cast<int>(aDISCOVERY_BEACON_PORT));
  if (hostname != nullptr && inet_pton(AF_INET, hostname, &address) == 1) {
    server->advertisedAddress = address.s_addr;
  } else {
    server->advertisedAddress = server->networkInterface;
  }
  zstr_free(&hostname);
  server->discoveryKind = kDiscoveryBeacon;
  return true;
}

// A receiver on the first free request port (held, it marks the slot as
// taken for clients) and a sender to that slot's reply port.
void sChooseSlot(aMulticast** receiver, aMulticast** sender, std::atomic<uint16_t>* requestPort) {
  const uint32_t loopback = aDiscovery_Loopback();
  const uint32_t group = aDiscovery_MulticastGroup();
  for (int attempt = 0; attempt < kSlotAttempts; ++attempt) {
    uint32_t slot = 0;
    for (; slot < aDISCOVERY_SLOT_COUNT; ++slot) {
      *receiver = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_REQUEST_PORT_BASE + slot),
                                    aMULTICAST_RECEIVER);
      if (*receiver != nullptr) {
        break;
      }
    }
    if (slot == aDISCOVERY_SLOT_COUNT) {
      // No request port free: the last slot, a sender and no receiver; this
      // responder answers nothing and clients never see it.
      slot = aDISCOVERY_SLOT_COUNT - 1;
    }
    *sender = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_REPLY_PORT_BASE + slot),
                                aMULTICAST_SENDER);
    if (*sender != nullptr) {
      aTessarine_Trace(aDEBUG_SERVER, "Discovery port offset: %d\n", static_cast<int>(slot));
      if (*receiver != nullptr) {
        requestPort->store(static_cast<uint16_t>(aDISCOVERY_REQUEST_PORT_BASE + slot));
      }
      return;
    }
    if (*receiver != nullptr) {
      aMulticast_Destroy(receiver);
    }
  }
}

void sAnswerRequest(aServer* server, aMulticast* sender) {
  if (!_isDiscoveryConfigured(server)) {
    aTessarine_Trace(aDEBUG_SERVER, "Discovery not allowed (Multicast), model not set.\n");
    return;
  }
  const linkSpec spec = _createNetworkSpec(server);
  const int64_t sent = aMulticast_Send(sender, &spec, sizeof spec);
  aTessarine_Trace(aDEBUG_SERVER, "Sent: %d to the reply port\n", static_cast<int>(sent));
}

// The multicast responder's thread. The receive on the request port is the
// responder's blocking wait (up to 1 s), so a request is answered as soon as
// it arrives; the pipe is looked at between receives, and the owner that
// stops the responder wakes the receive with a datagram of its own.
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* argument) {
  aServer* server = static_cast<aServer*>(argument);
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
  aTessarine_Trace(aDEBUG_SERVER, "multicast task start\n");
  sChooseSlot(&receiver, &sender, &server->multicastRequestPort);
  zpoller_t* poller = zpoller_new(pipe, nullptr);
  zsock_signal(pipe, 0);

  while (poller != nullptr) {
    if (receiver != nullptr) {
      // One byte more than a request, so that a longer datagram is not cut
      // down to a plausible one.
      uint8_t request[sizeof(uint32_t) + 1];
      if (aMulticast_Receive(receiver, request, sizeof request) == static_cast<int64_t>(sizeof(uint32_t))) {
        uint32_t value = 0;
        memcpy(&value, request, sizeof value);
        if (value == aDISCOVERY_MULTICAST_MAGIC) {
          aTessarine_Trace(aDEBUG_SERVER, "We got the multicast magic value\n");
          sAnswerRequest(server, sender);
        } else {
          aTessarine_Trace(aDEBUG_SERVER, "We something else on multicast\n");
        }
      }
    }
    void* which = zJoinableActor_Wait(poller, receiver != nullptr ? 0 : kIdlePipeWaitMS);
    if (which == pipe || zpoller_terminated(poller)) {
      break;
    }
  }

  zpoller_destroy(&poller);
  if (receiver != nullptr) {
    aMulticast_Destroy(&receiver);
  }
  if (sender != nullptr) {
    aMulticast_Destroy(&sender);
  }
  aTessarine_Trace(aDEBUG_SERVER, "multicast task exit\n");
}

}  // namespace

aErr _configureInterface(aServer* server) {
  uint32_t interfaces[kMaxInterfaces];
  const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  aTessarine_Trace(aDEBUG_DISCOVERY, "_configureInterface found count: %d\n", static_cast<int>(count));
  const uint32_t loopback = aDiscovery_Loopback();
  if (!server->localOnly && count > 0) {
    if (server->networkInterface == 0 || server->networkInterface == loopback) {
      server->networkInterface = interfaces[0];
    }
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(server->networkInterface, text, sizeof text) == 0) {
      return aErrResource;
    }
    aTessarine_Trace(aDEBUG_SERVER, "Setting interface for user: (s)%s - (i)%d\n", text,
                     static_cast<int>(server->networkInterface));
    return _createBeacon(server, text) ? aErrNone : aErrResource;
  }
  server->advertisedAddress = loopback;
  server->discoveryKind = kDiscoveryMulticast;
  server->multicast = zJoinableActor_New(_serverWorker_multicastDiscovery, server);
  return server->multicast != nullptr ? aErrNone : aErrResource;
}

// Layout of a linkSpec of type aWeave; integers in host order, the address
// in network order.
linkSpec _createNetworkSpec(const aServer* server) {
  linkSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.type = AWEAVE;
  spec.serial_num = server->entry->identifier;
  spec.model = server->model.load();
  spec.t.ip.ip_address = server->advertisedAddress;
  spec.t.ip.ip_port = server->port;
  return spec;
}

void _stopDiscovery(aServer* server) {
  if (server->multicast != nullptr) {
    // Any message on the pipe ends the responder; the datagram that
    // follows ends its receive, which is no request (one byte).
    zJoinableActor_Signal(server->multicast, 0);
    const uint16_t port = server->multicastRequestPort.load();
    if (port != 0) {
      const uint8_t wake = 0;
      aLoopbackDatagram_Send(port, &wake, sizeof wake);
    }
    zJoinableActor_Destroy(&server->multicast);
  }
  if (server->beacon != nullptr) {
    zactor_destroy(&server->beacon);
  }
}

bool _isDiscoveryConfigured(const aServer* server) { return server->model.load() != 0; }

void _serverWorker_broker_beacon(aServer* server) {
  char* sender = zstr_recv(server->beacon);
  zframe_t* payload = nullptr;
  if (sender != nullptr && zsock_rcvmore(server->beacon)) {
    payload = zframe_recv(server->beacon);
  }
  // Beacons heard before the model is known, or while answers are being
  // published, are read and dropped.
  if (!_isDiscoveryConfigured(server)) {
    aTessarine_Trace(aDEBUG_SERVER, "Discovery not allowed (beacon), model not set.\n");
  }
  if (payload != nullptr && _isDiscoveryConfigured(server) && !server->publishing &&
      zframe_size(payload) >= aDISCOVERY_BEACON_FILTER_LENGTH &&
      memcmp(zframe_data(payload), DISCOVERY_BEACON_FILTER, aDISCOVERY_BEACON_FILTER_LENGTH) == 0) {
    const linkSpec spec = _createNetworkSpec(server);
    zsock_send(server->beacon, "sbi", "PUBLISH", reinterpret_cast<const byte*>(&spec), sizeof spec,
               aDISCOVERY_BEACON_INTERVAL_MS);
    server->lastPublish = aTime_GetMSTicks();
    server->publishing = true;
  }
  zframe_destroy(&payload);
  zstr_free(&sender);
}

void _silenceBeaconWhenDue(aServer* server) {
  if (!server->publishing || aTime_GetMSTicks() - server->lastPublish <= kPublishPeriodMS) {
    return;
  }
  zstr_sendx(server->beacon, "SILENCE", nullptr);
  server->publishing = false;
  aTessarine_Trace(aDEBUG_SERVER, "Beacon silenced\n");
}

}  // namespace zmqserver
