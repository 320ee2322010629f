// The broker thread: connection events and client messages at the
// frontend, answers from the sync-command thread, stream batches and heard
// beacons.
//
// Client message at the frontend: [client identity][one packet in wire
// form]. Reply to a client: [client identity][one packet] or [client
// identity][stream batch]. A client's requests wait in the client table
// (aServer_ZeroMQClients.h) for their turn; one awaited request at a time
// goes to the sync-command thread. waitingIds holds the identity of that
// request (a command announcing N replies puts N copies of it at its
// head). A flush turns every entry into an empty frame, which no ROUTER
// identity ever is: the answers to flushed requests still arrive and take
// their own places, and are dropped instead of reaching a later request.
//
// Connection events are read before client messages (they come first in
// the poller), so a message is only ever taken from a connection the
// broker has admitted and that has not gone.

#include <zmq.h>

#include <string>
#include <vector>

#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/aTime.h"

namespace zmqserver {

namespace {

// Longest sleep of the broker: beacon answers are silenced on time even
// when nothing else happens.
constexpr int kBrokerWaitMS = 1000;

// [identity][content] to a client; the ROUTER drops what it cannot deliver
// instead of blocking.
bool sSendToClient(aServer* server, zframe_t* identity, zframe_t* content) {
  if (zframe_send(&identity, server->frontend, ZFRAME_MORE | ZFRAME_REUSE | ZFRAME_DONTWAIT) != 0) {
    return false;
  }
  return zframe_send(&content, server->frontend, ZFRAME_REUSE | ZFRAME_DONTWAIT) == 0;
}

std::string sIdentityBytes(zframe_t* identity) {
  return std::string(reinterpret_cast<const char*>(zframe_data(identity)), zframe_size(identity));
}

// The next client message: its identity, its content (the frame after the
// identity; further frames are read and dropped) and the descriptor of the
// connection it came on, which libzmq records in the frames the connection
// delivered (the content; -1 when it does not tell). false when nothing
// could be read.
bool sReceiveClientMessage(aServer* server, int* fd, zframe_t** identity, zframe_t** content) {
  void* socket = zsock_resolve(server->frontend);
  bool received = false;
  bool more = true;
  for (int index = 0; more; ++index) {
    zmq_msg_t part;
    zmq_msg_init(&part);
    if (zmq_msg_recv(&part, socket, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&part);
      break;
    }
    received = true;
    more = zmq_msg_more(&part) != 0;
    if (index == 0) {
      *identity = zframe_new(zmq_msg_data(&part), zmq_msg_size(&part));
    } else if (index == 1) {
      *content = zframe_new(zmq_msg_data(&part), zmq_msg_size(&part));
      *fd = zmq_msg_get(&part, ZMQ_SRCFD);
    }
    zmq_msg_close(&part);
  }
  return received;
}

const char* sRefusal(ClientTable::Admission admission) {
  switch (admission) {
    case ClientTable::Admission::kClientFull:
      return "client has too many requests outstanding";
    case ClientTable::Admission::kServerFull:
      return "server queue full";
    case ClientTable::Admission::kNotConnected:
      return "connection not served";
    case ClientTable::Admission::kQueued:
      break;
  }
  return "";
}

// The request, or the finished transfer, that a client packet makes; empty
// when the packet goes nowhere (pooled, refused force-route).
QueuedRequest sRequestFor(aServer* server, zframe_t* identity, const aPacket* packet) {
  QueuedRequest request;
  if (_handleSetUEIBytes(server, identity, packet, &request)) {
    aTessarine_Trace(aDEBUG_SERVER, "UEIBytes\n");
  } else if (_isBlacklistedPacket(packet)) {
    aTessarine_Trace(aDEBUG_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
  } else {
    aPacket* copy = aPacket_Copy(packet);
    if (copy != nullptr) {
      request.add(copy);
    }
  }
  // The module answers a transfer's last packet only.
  if (!request.empty()) {
    request.needsReply = _isResponseRequired(request.packets().back());
  }
  return request;
}

void _serverWorker_broker_frontend(aServer* server, ClientTable* clients, zlist_t* streamClients,
                                   std::vector<GoneClient>* gone) {
  int fd = -1;
  zframe_t* identity = nullptr;
  zframe_t* content = nullptr;
  if (!sReceiveClientMessage(server, &fd, &identity, &content)) {
    return;
  }
  if (identity != nullptr && content != nullptr && !clients->isAdmitted(fd)) {
    // Its connection's event may have come in since the poller looked.
    _serverWorker_broker_connections(server, clients, gone);
  }
  aPacket* packet = _zFrame_To_aPacket(content);
  if (packet != nullptr && !clients->isAdmitted(fd)) {
    aTessarine_Trace(aDEBUG_SERVER, "Message from a connection not served: %d\n", fd);
  }
  // A message without both frames, with bad content or from a connection
  // that is not served is dropped without an answer.
  if (identity != nullptr && packet != nullptr && clients->isAdmitted(fd)) {
    _handleStreamEnable(streamClients, packet, identity);
    QueuedRequest request = sRequestFor(server, identity, packet);
    if (!request.empty()) {
      request.queuedAt = aTime_GetMSTicks();
      const ClientTable::Admission admission = clients->enqueue(fd, sIdentityBytes(identity), std::move(request), gone);
      if (admission != ClientTable::Admission::kQueued) {
        // Refused at once: the client's wait times out as for a request
        // the module did not answer.
        aTessarine_Trace(aDEBUG_SERVER, "Refused request: %s\n", sRefusal(admission));
      }
    }
  }
  if (packet != nullptr) {
    aPacket_Destroy(&packet);
  }
  zframe_destroy(&content);
  zframe_destroy(&identity);
}

// Hands requests to the sync-command thread while none is awaited there.
void sDispatch(aServer* server, ClientTable* clients, zlist_t* waitingIds) {
  QueuedRequest request;
  std::string identity;
  size_t stale = 0;
  while (clients->next(aTime_GetMSTicks(), &request, &identity, &stale)) {
    bool lastSent = false;
    for (const aPacket* packet : request.packets()) {
      lastSent = _sendToSync(server, packet);
      if (!lastSent) {
        aTessarine_Trace(aDEBUG_SERVER, "Failed to send packet out!\n");
      }
    }
    if (!request.needsReply) {
      continue;
    }
    zframe_t* waiting = lastSent ? zframe_new(identity.data(), identity.size()) : nullptr;
    if (waiting != nullptr && zlist_append(waitingIds, waiting) == 0) {
      continue;
    }
    zframe_destroy(&waiting);
    // No answer will come for it: the next request may go.
    clients->finish();
  }
  if (stale > 0) {
    aTessarine_Trace(aDEBUG_SERVER, "Dropped %zu request(s) their clients no longer wait for\n", stale);
  }
}

void sForgetGoneClients(aServer* server, zlist_t* streamClients, std::vector<GoneClient>* gone) {
  for (const GoneClient& client : *gone) {
    zframe_t* identity = zframe_new(client.identity.data(), client.identity.size());
    if (identity != nullptr) {
      _dropPoolOf(server, identity);
      _dropStreamClient(streamClients, identity);
      zframe_destroy(&identity);
    }
  }
  gone->clear();
}

bool sIsServerCommand(zframe_t* frame) {
  if (zframe_size(frame) != kServerCommandSize) {
    return false;
  }
  const uint8_t kind = zframe_data(frame)[0];
  return kind == SERVER_CMD_DROPPED_PACKET || kind == SERVER_CMD_INCOMING_PACKETS;
}

// One frame of a message from the sync-command thread.
void sHandleSyncFrame(aServer* server, zlist_t* waitingIds, zframe_t* frame) {
  zframe_t* identity = static_cast<zframe_t*>(zlist_pop(waitingIds));
  if (identity == nullptr) {
    // Nobody waits for it: the frame cannot be routed.
    aTessarine_Trace(aDEBUG_SERVER, "no id to pop\n");
    zframe_destroy(&frame);
    return;
  }
  const bool flushed = zframe_size(identity) == 0;
  if (sIsServerCommand(frame)) {
    const uint8_t* command = zframe_data(frame);
    if (command[0] == SERVER_CMD_INCOMING_PACKETS) {
      const uint16_t count = static_cast<uint16_t>((command[1] << 8) | command[2]);
      for (uint16_t i = 0; i < count; ++i) {
        zframe_t* copy = zframe_dup(identity);
        if (copy == nullptr || zlist_push(waitingIds, copy) != 0) {
          zframe_destroy(&copy);
        }
      }
      server->repliesExpected = count;
      aTessarine_Trace(aDEBUG_SERVER, "Num packets coming: %d\n", count);
    } else {
      // A dropped request: its identity goes, the client's own wait times
      // out.
      aTessarine_Trace(aDEBUG_SERVER, "dropping id: fifo size: %d\n", static_cast<int>(zlist_size(waitingIds)));
    }
  } else {
    aTessarine_Trace(aDEBUG_SERVER, "Processing PACKET\n");
    if (!flushed && !sSendToClient(server, identity, frame)) {
      aTessarine_Trace(aDEBUG_SERVER, "failed to send sync message\n");
    }
    if (server->repliesExpected > 0) {
      --server->repliesExpected;
    } else {
      aTessarine_Trace(aDEBUG_SERVER, "Error, sending more packets then expected\n");
    }
  }
  zframe_destroy(&identity);
  zframe_destroy(&frame);
}

// A whole message from the sync-command thread: the answer to the request
// at the module, after which the next one may go.
void _serverWorker_broker_sync(aServer* server, zlist_t* waitingIds, ClientTable* clients) {
  bool more = true;
  while (more) {
    zframe_t* frame = zframe_recv(server->syncBroker);
    if (frame == nullptr) {
      break;
    }
    more = zsock_rcvmore(server->syncBroker) != 0;
    sHandleSyncFrame(server, waitingIds, frame);
  }
  clients->finish();
}

// A message on the pipe: status kFlushSignal drops every waiting identity;
// anything else ends the broker. false to end.
bool sHandlePipe(zsock_t* pipe, zlist_t* waitingIds) {
  zmsg_t* message = zmsg_recv(pipe);
  if (message == nullptr) {
    return false;
  }
  const int status = zmsg_signal(message);
  zmsg_destroy(&message);
  if (status != kFlushSignal) {
    aTessarine_Trace(aDEBUG_SERVER, "pre exit 1\n");
    return false;
  }
  aTessarine_Trace(aDEBUG_SERVER, "Flushing FIFO\n");
  const size_t count = zlist_size(waitingIds);
  for (size_t i = 0; i < count; ++i) {
    zframe_t* identity = static_cast<zframe_t*>(zlist_pop(waitingIds));
    zframe_destroy(&identity);
    zframe_t* placeholder = zframe_new_empty();
    if (placeholder != nullptr && zlist_append(waitingIds, placeholder) != 0) {
      zframe_destroy(&placeholder);
    }
  }
  return true;
}

}  // namespace

bool _sendToSync(aServer* server, const aPacket* packet) {
  zframe_t* frame = _aPacket_To_zFrame(packet);
  if (frame == nullptr) {
    return false;
  }
  if (zframe_send(&frame, server->syncBroker, ZFRAME_DONTWAIT) != 0) {
    zframe_destroy(&frame);
    return false;
  }
  return true;
}

void _destroyIdentities(zlist_t** identities) {
  if (identities == nullptr || *identities == nullptr) {
    return;
  }
  for (void* item = zlist_pop(*identities); item != nullptr; item = zlist_pop(*identities)) {
    zframe_t* identity = static_cast<zframe_t*>(item);
    zframe_destroy(&identity);
  }
  zlist_destroy(identities);
}

void _serverWorker_broker(zsock_t* pipe, void* argument) {
  aServer* server = static_cast<aServer*>(argument);
  // Connection events before client messages: zpoller reports the first
  // ready socket in this order.
  zpoller_t* poller = zpoller_new(pipe, server->frontendEvents, server->syncBroker, server->frontend,
                                  server->streamBroker, nullptr);
  if (poller != nullptr && server->discoveryKind == kDiscoveryBeacon && server->beacon != nullptr &&
      zpoller_add(poller, server->beacon) != 0) {
    zpoller_destroy(&poller);
  }
  server->lastPublish = 0;
  server->publishing = false;
  zlist_t* streamClients = zlist_new();
  zlist_t* waitingIds = zlist_new();
  ClientTable clients(server->connectionLimit);
  std::vector<GoneClient> gone;
  zsock_signal(pipe, 0);

  bool running = poller != nullptr && streamClients != nullptr && waitingIds != nullptr;
  while (running) {
    void* which = zpoller_wait(poller, kBrokerWaitMS);
    if (which == pipe) {
      running = sHandlePipe(pipe, waitingIds);
    } else if (which == server->frontendEvents) {
      _serverWorker_broker_connections(server, &clients, &gone);
    } else if (which == server->syncBroker) {
      _serverWorker_broker_sync(server, waitingIds, &clients);
    } else if (which == server->frontend) {
      _serverWorker_broker_frontend(server, &clients, streamClients, &gone);
    } else if (which == server->streamBroker) {
      _serverWorker_broker_streaming(server, streamClients);
    } else if (which != nullptr && which == server->beacon) {
      _serverWorker_broker_beacon(server);
    } else if (zpoller_terminated(poller)) {
      aTessarine_Trace(aDEBUG_SERVER, "pre exit 2\n");
      running = false;
    }
    if (!gone.empty()) {
      sForgetGoneClients(server, streamClients, &gone);
    }
    sDispatch(server, &clients, waitingIds);
    _silenceBeaconWhenDue(server);
  }
  aTessarine_Trace(aDEBUG_SERVER, "broker task exit\n");

  _destroyIdentities(&streamClients);
  _destroyIdentities(&waitingIds);
  zpoller_destroy(&poller);
}

}  // namespace zmqserver
