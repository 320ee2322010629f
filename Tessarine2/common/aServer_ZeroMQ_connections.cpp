// Which connections the frontend serves.
//
// Only peers that complete ZeroMQ's current handshake (ZMTP 3 with the NULL
// mechanism) are served. libzmq takes a peer whose first byte is not 0xFF
// for a peer of the unversioned 1.0 protocol and parses whatever it sends
// as frames, so random bytes could pass as packets. With a ZAP domain set,
// libzmq refuses the 1.0 and 2.0 protocols outright; no ZAP handler runs in
// this process, so NULL-mechanism peers of the current protocol still pass
// without any authentication step.
//
// The number of connections is bounded well below the process's descriptor
// limit: libzmq itself accepts without limit, and once accept fails for
// want of descriptors its listener retries at once, holding a core. The
// frontend reports every accepted and every closed connection on an
// in-process monitor pair; the broker admits an accepted connection while
// fewer than connectionLimit are open and shuts any other down at once, so
// libzmq closes it. A connection that has not completed the handshake within
// kHandshakeLimitMS is closed by libzmq, so silent connections do not keep
// their places.

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <zmq.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/zInprocEndpoint.h"

namespace zmqserver {

namespace {

constexpr char kZapDomain[] = "tessarine";
constexpr int kMonitoredEvents = ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED;
// Event frame: 16-bit event, 32-bit value (the descriptor), host order.
constexpr size_t kEventFrameSize = 6;

size_t sConnectionLimit() {
  size_t limit = kMaxClientConnections;
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
    limit = std::min(limit, static_cast<size_t>(descriptors.rlim_cur / 4));
  }
  return std::max<size_t>(limit, 1);
}

// Shuts an accepted connection of this frontend down; libzmq notices and
// closes it. The descriptor is libzmq's: by the time the event is read it
// may have been closed and reused, so it is touched only while it still is
// a connected socket on the frontend's port.
void sRefuse(aServer* server, int fd, size_t open) {
  sockaddr_in local{};
  socklen_t localSize = sizeof local;
  sockaddr_in peer{};
  socklen_t peerSize = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 || local.sin_family != AF_INET ||
      ntohs(local.sin_port) != server->port ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
    return;
  }
  shutdown(fd, SHUT_RDWR);
  aTessarine_Trace(aDEBUG_SERVER, "Connection refused: %zu open\n", open);
}

// One event from the monitor pair; false when none is waiting.
bool sReceiveEvent(zsock_t* events, uint16_t* event, int* fd) {
  zframe_t* head = zframe_recv_nowait(events);
  if (head == nullptr) {
    return false;
  }
  bool valid = zframe_size(head) == kEventFrameSize;
  if (valid) {
    uint32_t value = 0;
    memcpy(event, zframe_data(head), sizeof *event);
    memcpy(&value, zframe_data(head) + sizeof *event, sizeof value);
    *fd = static_cast<int>(value);
  }
  // The endpoint follows in a frame of its own.
  bool more = zsock_rcvmore(events) != 0;
  zframe_destroy(&head);
  while (more) {
    zframe_t* rest = zframe_recv(events);
    more = rest != nullptr && zsock_rcvmore(events) != 0;
    zframe_destroy(&rest);
  }
  *event = valid ? *event : 0;
  return true;
}

}  // namespace

bool _watchConnections(aServer* server) {
  server->connectionLimit = sConnectionLimit();
  zsock_set_zap_domain(server->frontend, kZapDomain);
  zsock_set_handshake_ivl(server->frontend, kHandshakeLimitMS);

  char endpoint[64];
  zInproc_UniqueEndpoint(endpoint, sizeof endpoint, "server-events");
  if (zmq_socket_monitor(zsock_resolve(server->frontend), endpoint, kMonitoredEvents) != 0) {
    return false;
  }
  server->frontendEvents = zsock_new(ZMQ_PAIR);
  if (server->frontendEvents == nullptr) {
    return false;
  }
  // libzmq's I/O thread sends each event blocking: the pair must never be
  // full, or a burst of connections would stall every socket of the
  // process. The broker reads events before anything else, so they do not
  // pile up.
  zsock_set_rcvhwm(server->frontendEvents, 0);
  return zsock_connect(server->frontendEvents, "%s", endpoint) == 0;
}

void _unwatchConnections(aServer* server) {
  if (server->frontend != nullptr && server->frontendEvents != nullptr) {
    zmq_socket_monitor(zsock_resolve(server->frontend), nullptr, 0);
  }
  zsock_destroy(&server->frontendEvents);
}

void _serverWorker_broker_connections(aServer* server, ClientTable* clients, std::vector<GoneClient>* gone) {
  if (server->frontendEvents == nullptr) {
    return;
  }
  uint16_t event = 0;
  int fd = -1;
  while (sReceiveEvent(server->frontendEvents, &event, &fd)) {
    aTessarine_Trace(aDEBUG_SERVER, "Connection event 0x%X on %d\n", event, fd);
    if (event == ZMQ_EVENT_ACCEPTED) {
      if (!clients->admit(fd, gone)) {
        sRefuse(server, fd, clients->connections());
      }
    } else if (event == ZMQ_EVENT_DISCONNECTED) {
      GoneClient client;
      if (clients->close(fd, &client) && !client.identity.empty()) {
        gone->push_back(std::move(client));
      }
    }
  }
}

}  // namespace zmqserver
