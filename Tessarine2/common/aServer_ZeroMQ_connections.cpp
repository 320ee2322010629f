// Which connections the frontend serves.
//
// Only peers that complete ZeroMQ's current handshake (ZMTP 3 with the NULL
// mechanism) are served. libzmq takes a peer whose first byte is not 0xFF
// for a peer of the unversioned 1.0 protocol and parses whatever it sends
// as frames, so random bytes could pass as packets. With a ZAP domain set,
// libzmq refuses the 1.0 and 2.0 protocols outright, and asks the
// server's handshake handler about every other peer
// (aServer_ZeroMQ_handshakes.cpp).
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
//
// The descriptor in an event is libzmq's, and by the time the broker reads
// the event libzmq may have closed it and given its number to a newer
// connection. libzmq reports a connection's close before it closes the
// descriptor, and reports in order; so the broker first takes a
// descriptor of its own on the same socket, then reads the events that
// have come meanwhile: when the refused connection's close is not among
// them, the socket it took is that connection's, whatever the number means
// by then, and only that socket is shut down.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

#include "Tessarine2/common/aServer_ZeroMQInternal.h"

namespace zmqserver {

namespace {

constexpr char kZapDomain[] = "tessarine";
constexpr char kEventsEndpoint[] = "inproc://tessarine-frontend-events";
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

// One event from the monitor pair; false when none is waiting.
bool sReceiveEvent(void* events, ConnectionEvent* out) {
  zmq_msg_t head;
  zmq_msg_init(&head);
  if (zmq_msg_recv(&head, events, ZMQ_DONTWAIT) < 0) {
    zmq_msg_close(&head);
    return false;
  }
  out->event = 0;
  out->fd = -1;
  if (zmq_msg_size(&head) == kEventFrameSize) {
    const uint8_t* bytes = static_cast<const uint8_t*>(zmq_msg_data(&head));
    uint32_t value = 0;
    memcpy(&out->event, bytes, sizeof out->event);
    memcpy(&value, bytes + sizeof out->event, sizeof value);
    out->fd = static_cast<int>(value);
  }
  // The endpoint follows in a frame of its own.
  bool more = zmq_msg_more(&head) != 0;
  zmq_msg_close(&head);
  while (more) {
    zmq_msg_t rest;
    zmq_msg_init(&rest);
    more = zmq_msg_recv(&rest, events, 0) >= 0 && zmq_msg_more(&rest) != 0;
    zmq_msg_close(&rest);
  }
  return true;
}

void sReceiveEvents(void* events, std::deque<ConnectionEvent>* queue) {
  ConnectionEvent event;
  while (sReceiveEvent(events, &event)) {
    queue->push_back(event);
  }
}

bool sClosedLater(const std::deque<ConnectionEvent>& queue, int fd) {
  return std::any_of(queue.begin(), queue.end(), [fd](const ConnectionEvent& event) {
    return event.event == ZMQ_EVENT_DISCONNECTED && event.fd == fd;
  });
}

// A TCP socket on the port.
bool sIsSocketOnPort(int fd, uint16_t port) {
  sockaddr_in local{};
  socklen_t localSize = sizeof local;
  return getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 && local.sin_family == AF_INET &&
         ntohs(local.sin_port) == port;
}

bool sSetOption(void* socket, int option, int value) {
  return zmq_setsockopt(socket, option, &value, sizeof value) == 0;
}

}  // namespace

bool _refuseAccepted(int fd, uint16_t port, std::deque<ConnectionEvent>* queue,
                     const std::function<void(std::deque<ConnectionEvent>*)>& receiveMore) {
  if (sClosedLater(*queue, fd)) {
    return false;
  }
  const int pinned = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (pinned < 0) {
    return false;
  }
  receiveMore(queue);
  const bool refused = !sClosedLater(*queue, fd) && sIsSocketOnPort(pinned, port);
  if (refused) {
    shutdown(pinned, SHUT_RDWR);
    aTessarine_Trace(aDEBUG_SERVER, "Connection refused on %d\n", fd);
  }
  close(pinned);
  return refused;
}

bool _watchConnections(aServer* server) {
  server->connectionLimit = sConnectionLimit();
  if (zmq_setsockopt(server->frontend, ZMQ_ZAP_DOMAIN, kZapDomain, strlen(kZapDomain)) != 0 ||
      !sSetOption(server->frontend, ZMQ_HANDSHAKE_IVL, kHandshakeLimitMS)) {
    return false;
  }
  // The handler before the frontend binds: no peer completes a handshake
  // unasked.
  server->handshakes = zmq_socket(server->context, ZMQ_REP);
  if (server->handshakes == nullptr || !sSetOption(server->handshakes, ZMQ_LINGER, 0) ||
      zmq_bind(server->handshakes, kHandshakeEndpoint) != 0) {
    return false;
  }
  if (zmq_socket_monitor(server->frontend, kEventsEndpoint, kMonitoredEvents) != 0) {
    return false;
  }
  server->frontendEvents = zmq_socket(server->context, ZMQ_PAIR);
  // libzmq's I/O thread sends each event blocking: the pair must never be
  // full, or a burst of connections would stall the frontend. The broker
  // reads events before anything else, so they do not pile up.
  return server->frontendEvents != nullptr && sSetOption(server->frontendEvents, ZMQ_LINGER, 0) &&
         sSetOption(server->frontendEvents, ZMQ_RCVHWM, 0) && zmq_connect(server->frontendEvents, kEventsEndpoint) == 0;
}

void _unwatchConnections(aServer* server) {
  if (server->frontend != nullptr && server->frontendEvents != nullptr) {
    zmq_socket_monitor(server->frontend, nullptr, 0);
  }
  if (server->frontendEvents != nullptr) {
    zmq_close(server->frontendEvents);
    server->frontendEvents = nullptr;
  }
  if (server->handshakes != nullptr) {
    zmq_close(server->handshakes);
    server->handshakes = nullptr;
  }
}

void _serverWorker_broker_connections(aServer* server, ClientTable* clients, std::vector<GoneClient>* gone) {
  if (server->frontendEvents == nullptr) {
    return;
  }
  std::deque<ConnectionEvent> queue;
  sReceiveEvents(server->frontendEvents, &queue);
  while (!queue.empty()) {
    const ConnectionEvent event = queue.front();
    queue.pop_front();
    aTessarine_Trace(aDEBUG_SERVER, "Connection event 0x%X on %d\n", event.event, event.fd);
    if (event.event == ZMQ_EVENT_ACCEPTED) {
      if (!clients->accept(event.fd, gone)) {
        aTessarine_Trace(aDEBUG_SERVER, "Refusing a connection: %zu open\n", clients->connections());
        _refuseAccepted(event.fd, server->port, &queue,
                        [server](std::deque<ConnectionEvent>* more) { sReceiveEvents(server->frontendEvents, more); });
      }
    } else if (event.event == ZMQ_EVENT_DISCONNECTED) {
      GoneClient client;
      if (clients->close(event.fd, &client) && !client.identity.empty()) {
        gone->push_back(std::move(client));
      }
    }
  }
}

}  // namespace zmqserver
