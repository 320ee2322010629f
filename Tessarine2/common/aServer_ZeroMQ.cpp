// Creation, start and teardown of the module-sharing server.
//
// Sockets (all made and bound here, by the owner), the first three in the
// server's own messaging context:
//   frontend       ROUTER  bound to "tcp://127.0.0.1:*" (local only) or
//                          "tcp://<interface>:*"; client connections
//   frontend events PAIR   connected to the frontend's monitor
//   handshakes     REP     bound to libzmq's handshake endpoint
//   stream broker  DEALER  bound to "inproc://tessarine-server-stream-<n>"
//   stream filter  DEALER  connected to the stream broker side
//   sync broker    DEALER  bound to "inproc://tessarine-server-sync-<n>"
//   sync worker    DEALER  connected to the sync broker side
// The pairs are in-process: a hop costs a queue hand-off instead of two
// trips through the loopback interface, and what waits in them is bounded
// by their high-water marks alone, not by kernel socket buffers.
//
// Teardown order (aServer_Destroy): the link's packet filter goes first, so
// the link's reader no longer touches the stream filter side; then the
// sync-command thread (its reply wait ends at once), then the broker, then
// discovery; the frontend's monitor before the frontend; the sockets only
// after every thread that used them is joined; then the frontend's
// context, whose end waits until libzmq has closed every connection; the
// pools last.

#include "Tessarine2/common/aServer_ZeroMQ.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <zmq.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Tessarine2/common/aMutex.h"
#include "Tessarine2/common/aNetworkDiscovery.h"
#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/zInprocEndpoint.h"
#include "Tessarine2/common/zSignals.h"

using namespace zmqserver;

namespace {

constexpr size_t kEndpointSize = 1024;
// Clients send single packets of at most 30 bytes; a longer frame is
// dropped as bad content, and one far longer is refused by ZeroMQ before it
// is buffered (the connection that sent it is closed).
constexpr int64_t kFrontendMaxMessage = 4096;

bool drainAll(const aPacket*, const void*) { return true; }

// Binds the frontend to the endpoint (its port "*" lets ZeroMQ pick a free
// one); the port, or 0 when the bind failed.
uint16_t _findPortAndBindSocket(void* socket, const char* format, ...) {
  if (socket == nullptr) {
    return 0;
  }
  char endpoint[kEndpointSize];
  va_list arguments;
  va_start(arguments, format);
  const int written = vsnprintf(endpoint, sizeof endpoint, format, arguments);
  va_end(arguments);
  if (written < 0 || static_cast<size_t>(written) >= sizeof endpoint || zmq_bind(socket, endpoint) != 0) {
    return 0;
  }
  // "tcp://address:port"
  char bound[kEndpointSize] = "";
  size_t boundSize = sizeof bound;
  if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, bound, &boundSize) != 0) {
    return 0;
  }
  bound[sizeof bound - 1] = '\0';
  const char* colon = strrchr(bound, ':');
  if (colon == nullptr) {
    return 0;
  }
  char* end = nullptr;
  const unsigned long port = strtoul(colon + 1, &end, 10);
  return end != colon + 1 && *end == '\0' && port > 0 && port <= UINT16_MAX ? static_cast<uint16_t>(port) : 0;
}

// The frontend's own context: one I/O thread, and no socket left behind
// when it ends.
bool sMakeFrontend(aServer* server) {
  server->context = zmq_ctx_new();
  if (server->context == nullptr) {
    return false;
  }
  server->frontend = zmq_socket(server->context, ZMQ_ROUTER);
  if (server->frontend == nullptr) {
    return false;
  }
  const int linger = 0;
  const int64_t maxMessage = kFrontendMaxMessage;
  return zmq_setsockopt(server->frontend, ZMQ_LINGER, &linger, sizeof linger) == 0 &&
         zmq_setsockopt(server->frontend, ZMQ_MAXMSGSIZE, &maxMessage, sizeof maxMessage) == 0;
}

// Closes the frontend and ends its context, which returns once libzmq has
// closed every connection of it.
void sEndFrontend(aServer* server) {
  if (server->frontend != nullptr) {
    zmq_close(server->frontend);
    server->frontend = nullptr;
  }
  if (server->context != nullptr) {
    while (zmq_ctx_term(server->context) != 0 && zmq_errno() == EINTR) {
    }
    server->context = nullptr;
  }
}

// Binds one side of an in-process pair to a name of its own and connects
// the other side to it.
bool sMakePair(const char* name, zsock_t* bound, zsock_t* connected) {
  char endpoint[kEndpointSize];
  zInproc_UniqueEndpoint(endpoint, sizeof endpoint, name);
  return bound != nullptr && connected != nullptr && zsock_bind(bound, "%s", endpoint) == 0 &&
         zsock_connect(connected, "%s", endpoint) == 0;
}

// The link's packet filter is removed on the link record itself: during
// the link's teardown the entry is no longer found by its id.
void sRemoveFilter(aServer* server) {
  aLinkRecord* link = server->entry->link;
  if (link == nullptr || link->userFilterSema == nullptr) {
    return;
  }
  aMutex_Lock(link->userFilterSema);
  if (link->userFilter == _streamingPacketFilter && link->userFilterRef == server) {
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
  }
  aMutex_Unlock(link->userFilterSema);
}

aErr _initServer(aServer* server) {
  server->repliesExpected = 0;
  zSignals_LeaveToHost();
  if (!sMakeFrontend(server)) {
    return aErrResource;
  }
  server->streamBroker = zsock_new(ZMQ_DEALER);
  server->streamFilter = zsock_new(ZMQ_DEALER);
  server->syncBroker = zsock_new(ZMQ_DEALER);
  server->syncWorker = zsock_new(ZMQ_DEALER);
  if (server->streamBroker == nullptr || server->streamFilter == nullptr || server->syncBroker == nullptr ||
      server->syncWorker == nullptr) {
    return aErrResource;
  }
  // Requests go to the sync-command thread without waiting.
  zsock_set_sndtimeo(server->syncBroker, 0);
  if (!_watchConnections(server)) {
    return aErrResource;
  }

  // A local-only server serves the loopback address whatever it was given,
  // so that the interface it reports is the one its frontend listens on.
  if (server->localOnly) {
    server->networkInterface = aDiscovery_Loopback();
  }
  if (_configureInterface(server) != aErrNone) {
    return aErrResource;
  }

  char interfaceText[INET_ADDRSTRLEN] = "";
  in_addr address{};
  address.s_addr = server->networkInterface;
  if (inet_ntop(AF_INET, &address, interfaceText, sizeof interfaceText) == nullptr) {
    return aErrResource;
  }
  server->port = server->localOnly ? _findPortAndBindSocket(server->frontend, "tcp://127.0.0.1:*")
                                   : _findPortAndBindSocket(server->frontend, "tcp://%s:*", interfaceText);
  const bool streamConnected = sMakePair("server-stream", server->streamBroker, server->streamFilter);
  const bool syncConnected = sMakePair("server-sync", server->syncBroker, server->syncWorker);
  // Before the broker runs: it ages and fills the pools from its first
  // client message on.
  server->pools = zlist_new();
  if (server->port == 0 || !streamConnected || !syncConnected || server->pools == nullptr) {
    aTessarine_Trace(aDEBUG_SERVER, "Could not find open port\n");
    return aErrResource;
  }

  server->broker = zJoinableActor_New(_serverWorker_broker, server);
  if (server->broker == nullptr) {
    return aErrResource;
  }
  server->sync = zJoinableActor_New(_serverWorker_syncCommands, server);
  if (server->sync == nullptr) {
    return aErrResource;
  }

  // From here on the link's reader hands streamed values to the server
  // instead of queueing them; what was queued before is stale.
  if (aLink_InstallUserPacketFilter(server->entry->id, _streamingPacketFilter, server) != aErrNone) {
    return aErrResource;
  }
  aLink_DrainPackets(server->entry->id, drainAll, nullptr);
  return aErrNone;
}

}  // namespace

aServer* aServer_Create(linkID link, uint32_t networkInterface, bool localOnly) {
  aLinkEntry* entry = sLookupEntryByID(link);
  if (entry == nullptr || entry->link == nullptr) {
    return nullptr;
  }
  aServer* server = new (std::nothrow) aServer();
  if (server == nullptr) {
    return nullptr;
  }
  server->entry = entry;
  server->networkInterface = networkInterface != 0 ? networkInterface : aDiscovery_Loopback();
  server->localOnly = localOnly;
  return server;
}

aErr aServer_Start(aServer* server) {
  if (server == nullptr) {
    return aErrParam;
  }
  if (server->context != nullptr) {
    // Started before (a server is not restarted).
    return aErrBusy;
  }
  return _initServer(server);
}

aErr aServer_Destroy(aServer** server) {
  if (server == nullptr || *server == nullptr) {
    return aErrParam;
  }
  aServer* self = *server;
  sRemoveFilter(self);
  self->stopping.store(true);
  zJoinableActor_Destroy(&self->sync);
  zJoinableActor_Destroy(&self->broker);
  _stopDiscovery(self);
  _unwatchConnections(self);
  zsock_destroy(&self->syncBroker);
  zsock_destroy(&self->syncWorker);
  zsock_destroy(&self->streamBroker);
  zsock_destroy(&self->streamFilter);
  sEndFrontend(self);
  _destroyPools(&self->pools);
  aTessarine_Trace(aDEBUG_SERVER, "server task exit\n");
  delete self;
  *server = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(aServer* server, uint16_t* port) {
  if (server == nullptr || port == nullptr) {
    return aErrParam;
  }
  *port = server->port;
  return aErrNone;
}

aErr aServer_GetInterface(aServer* server, uint32_t* networkInterface) {
  if (server == nullptr || networkInterface == nullptr) {
    return aErrParam;
  }
  *networkInterface = server->networkInterface;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (server == nullptr) {
    return aErrParam;
  }
  server->moduleAddress.store(address);
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (server == nullptr) {
    return aErrParam;
  }
  server->model.store(model);
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (server == nullptr) {
    return aErrParam;
  }
  // Handled by the broker in its order with the replies: a reply that
  // arrives after the flush finds no waiting identity.
  zJoinableActor_Signal(server->broker, kFlushSignal);
  return aErrNone;
}
