// The broker thread: connection events and client messages at the
// frontend, answers from the sync-command thread, stream batches and heard
// beacons.
//
// Client message at the frontend: [client identity][one packet in wire
// form]. Reply to a client: [client identity][one packet] or [client
// identity][stream batch]. A client's requests wait in the client table
// (aServer_ZeroMQClients.h) for their turn; one awaited request at a time
// goes to the sync-command thread, tagged, and its answer comes back with
// the tag. The table gives the answer's client, or nobody when the answer
// is late, flushed or its client has gone.
//
// Connection events are read before client messages and handshakes (they
// come first in the poller), and a message is served only on the
// connection it came on (aServer_ZeroMQClients.h).

#include <errno.h>
#include <zmq.h>

#include <cstring>
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
// identity; further frames are read and dropped), the descriptor of the
// connection it came on and the number its handshake gave that connection
// (both recorded by libzmq in the frames the connection delivered; -1 and
// none when not told). false when nothing could be read.
bool sReceiveClientMessage(aServer* server, int* fd, bool* numbered, uint64_t* number, zframe_t** identity,
                           zframe_t** content) {
  bool received = false;
  bool more = true;
  for (int index = 0; more; ++index) {
    zmq_msg_t part;
    zmq_msg_init(&part);
    if (zmq_msg_recv(&part, server->frontend, ZMQ_DONTWAIT) < 0) {
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
      *numbered = _handshakeNumber(zmq_msg_gets(&part, "User-Id"), number);
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

void _serverWorker_broker_frontend(aServer* server, ClientTable* clients, zlist_t* streamClients) {
  int fd = -1;
  bool numbered = false;
  uint64_t number = 0;
  zframe_t* identity = nullptr;
  zframe_t* content = nullptr;
  if (!sReceiveClientMessage(server, &fd, &numbered, &number, &identity, &content)) {
    return;
  }
  aPacket* packet = _zFrame_To_aPacket(content);
  const uint64_t connection = numbered ? clients->connectionOf(fd, number) : 0;
  if (packet != nullptr && connection == 0) {
    aTessarine_Trace(aDEBUG_SERVER, "Message from a connection not served: %d\n", fd);
  }
  // A message without both frames, with bad content or from a connection
  // that is not served (refused, or closed since it sent it) is dropped
  // without an answer.
  if (identity != nullptr && packet != nullptr && connection != 0) {
    _handleStreamEnable(streamClients, packet, identity);
    QueuedRequest request = sRequestFor(server, identity, packet);
    if (!request.empty()) {
      request.queuedAt = aTime_GetMSTicks();
      const ClientTable::Admission admission = clients->enqueue(connection, sIdentityBytes(identity), std::move(request));
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

// Hands requests to the sync-command thread while no answer is awaited
// there.
void sDispatch(aServer* server, ClientTable* clients) {
  Dispatch dispatch;
  size_t stale = 0;
  size_t overdue = 0;
  while (clients->next(aTime_GetMSTicks(), &dispatch, &stale, &overdue)) {
    bool lastSent = false;
    for (const aPacket* packet : dispatch.request.packets()) {
      lastSent = _sendToSync(server, dispatch.tag, packet);
      if (!lastSent) {
        aTessarine_Trace(aDEBUG_SERVER, "Failed to send packet out!\n");
      }
    }
    if (dispatch.tag != 0 && !lastSent) {
      // No answer will come for it: the next request may go.
      std::string nobody;
      clients->finish(dispatch.tag, &nobody);
    }
  }
  if (stale > 0) {
    aTessarine_Trace(aDEBUG_SERVER, "Dropped %zu request(s) their clients no longer wait for\n", stale);
  }
  if (overdue > 0) {
    aTessarine_Trace(aDEBUG_SERVER, "Gave up an answer the module did not give in time\n");
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

// The replies of an answer: announced by its command, each routed to the
// answer's client (nobody when the identity is empty).
void sRouteReplies(aServer* server, zframe_t* command, zmsg_t* replies, const std::string& client) {
  const uint8_t* bytes = zframe_data(command);
  if (bytes[0] == SERVER_CMD_DROPPED_PACKET) {
    // A dropped request: the client's own wait times out.
    aTessarine_Trace(aDEBUG_SERVER, "dropping id\n");
    return;
  }
  const uint16_t count = static_cast<uint16_t>((bytes[1] << 8) | bytes[2]);
  server->repliesExpected = count;
  aTessarine_Trace(aDEBUG_SERVER, "Num packets coming: %d\n", count);
  zframe_t* identity = client.empty() ? nullptr : zframe_new(client.data(), client.size());
  for (zframe_t* reply = zmsg_pop(replies); reply != nullptr; reply = zmsg_pop(replies)) {
    aTessarine_Trace(aDEBUG_SERVER, "Processing PACKET\n");
    if (identity != nullptr && !sSendToClient(server, identity, reply)) {
      aTessarine_Trace(aDEBUG_SERVER, "failed to send sync message\n");
    }
    if (server->repliesExpected > 0) {
      --server->repliesExpected;
    } else {
      aTessarine_Trace(aDEBUG_SERVER, "Error, sending more packets then expected\n");
    }
    zframe_destroy(&reply);
  }
  zframe_destroy(&identity);
}

// An answer from the sync-command thread: [tag][command][replies...]. The
// awaited one frees the module for the next request; any other (late, or
// malformed) is dropped.
void _serverWorker_broker_sync(aServer* server, ClientTable* clients) {
  zmsg_t* answer = zmsg_recv(server->syncBroker);
  if (answer == nullptr) {
    return;
  }
  zframe_t* tagFrame = zmsg_pop(answer);
  zframe_t* command = zmsg_pop(answer);
  uint64_t tag = 0;
  const bool wellFormed =
      tagFrame != nullptr && zframe_size(tagFrame) == kTagSize && command != nullptr && sIsServerCommand(command);
  if (wellFormed) {
    memcpy(&tag, zframe_data(tagFrame), kTagSize);
  }
  std::string client;
  if (wellFormed && clients->finish(tag, &client)) {
    sRouteReplies(server, command, answer, client);
  } else {
    aTessarine_Trace(aDEBUG_SERVER, "Dropped an answer nobody waits for\n");
  }
  zframe_destroy(&tagFrame);
  zframe_destroy(&command);
  zmsg_destroy(&answer);
}

// A message on the pipe: status kFlushSignal sends the awaited answer to
// nobody; anything else ends the broker. false to end.
bool sHandlePipe(zsock_t* pipe, ClientTable* clients) {
  zmsg_t* message = zmsg_recv(pipe);
  if (message == nullptr) {
    // Interrupted by a signal: nothing was taken.
    return zmq_errno() == EINTR;
  }
  const int status = zmsg_signal(message);
  zmsg_destroy(&message);
  if (status != kFlushSignal) {
    aTessarine_Trace(aDEBUG_SERVER, "pre exit 1\n");
    return false;
  }
  aTessarine_Trace(aDEBUG_SERVER, "Flushing FIFO\n");
  clients->flush();
  return true;
}

// The broker's next wait: at most kBrokerWaitMS, and no longer than until
// the awaited answer is overdue.
int sWaitMS(const ClientTable& clients) {
  const int64_t overdue = clients.msUntilOverdue(aTime_GetMSTicks());
  return overdue < 0 || overdue >= kBrokerWaitMS ? kBrokerWaitMS : static_cast<int>(overdue);
}

}  // namespace

bool _sendToSync(aServer* server, uint64_t tag, const aPacket* packet) {
  zframe_t* frame = _aPacket_To_zFrame(packet);
  zframe_t* tagFrame = frame != nullptr ? zframe_new(&tag, sizeof tag) : nullptr;
  zmsg_t* message = tagFrame != nullptr ? zmsg_new() : nullptr;
  if (message == nullptr || zmsg_append(message, &tagFrame) != 0 || zmsg_append(message, &frame) != 0) {
    zframe_destroy(&tagFrame);
    zframe_destroy(&frame);
    zmsg_destroy(&message);
    return false;
  }
  // Both frames or neither: the pair takes a whole message or none, and
  // does not wait (its send time-out is 0).
  if (zmsg_send(&message, server->syncBroker) != 0) {
    zmsg_destroy(&message);
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
  // Connection events before handshakes and client messages: zpoller
  // reports the first ready socket in this order.
  zpoller_t* poller = zpoller_new(pipe, server->frontendEvents, server->handshakes, server->syncBroker,
                                  server->frontend, server->streamBroker, nullptr);
  if (poller != nullptr && server->discoveryKind == kDiscoveryBeacon && server->beacon != nullptr &&
      zpoller_add(poller, server->beacon) != 0) {
    zpoller_destroy(&poller);
  }
  server->lastPublish = 0;
  server->publishing = false;
  zlist_t* streamClients = zlist_new();
  ClientTable clients(server->connectionLimit);
  std::vector<GoneClient> gone;
  zsock_signal(pipe, 0);

  bool running = poller != nullptr && streamClients != nullptr;
  while (running) {
    void* which = zJoinableActor_Wait(poller, sWaitMS(clients));
    if (which == pipe) {
      running = sHandlePipe(pipe, &clients);
    } else if (which == server->frontendEvents) {
      _serverWorker_broker_connections(server, &clients, &gone);
    } else if (which == server->handshakes) {
      _serverWorker_broker_handshakes(server, &clients, &gone);
    } else if (which == server->syncBroker) {
      _serverWorker_broker_sync(server, &clients);
    } else if (which == server->frontend) {
      _serverWorker_broker_frontend(server, &clients, streamClients);
    } else if (which == server->streamBroker) {
      _serverWorker_broker_streaming(server, streamClients);
    } else if (which != nullptr && which == server->beacon) {
      _serverWorker_broker_beacon(server);
    } else if (zpoller_terminated(poller)) {
      // The messaging context is ending.
      aTessarine_Trace(aDEBUG_SERVER, "pre exit 2\n");
      running = false;
    }
    if (!gone.empty()) {
      sForgetGoneClients(server, streamClients, &gone);
    }
    sDispatch(server, &clients);
    _silenceBeaconWhenDue(server);
  }
  aTessarine_Trace(aDEBUG_SERVER, "broker task exit\n");

  _destroyIdentities(&streamClients);
  zpoller_destroy(&poller);
}

}  // namespace zmqserver
