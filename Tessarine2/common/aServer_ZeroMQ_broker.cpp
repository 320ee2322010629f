// The broker thread: client messages at the frontend, replies from the
// sync-command thread, stream batches and heard beacons.
//
// Client message at the frontend: [client identity][one packet in wire
// form]. Reply to a client: [client identity][one packet] or [client
// identity][stream batch]. waitingIds holds, oldest first, one identity per
// request that the sync-command thread will answer; a command announcing N
// replies puts N copies of the requester's identity at its head. A flush
// turns every entry into an empty frame, which no ROUTER identity ever is:
// the answers to flushed requests still arrive in their order and take
// their own places, and are dropped instead of reaching a later request.

#include "Tessarine2/common/aServer_ZeroMQInternal.h"

namespace zmqserver {

namespace {

// Longest sleep of the broker: beacon answers are silenced on time even
// when nothing else happens.
constexpr int kBrokerWaitMS = 1000;

void sQueueWaiting(zlist_t* waitingIds, zframe_t* identity) {
  zframe_t* copy = zframe_dup(identity);
  if (copy != nullptr && zlist_append(waitingIds, copy) != 0) {
    zframe_destroy(&copy);
  }
}

// [identity][content] to a client; the ROUTER drops what it cannot deliver
// instead of blocking.
bool sSendToClient(aServer* server, zframe_t* identity, zframe_t* content) {
  if (zframe_send(&identity, server->frontend, ZFRAME_MORE | ZFRAME_REUSE | ZFRAME_DONTWAIT) != 0) {
    return false;
  }
  return zframe_send(&content, server->frontend, ZFRAME_REUSE | ZFRAME_DONTWAIT) == 0;
}

void _serverWorker_broker_frontend(aServer* server, zlist_t* streamClients, zlist_t* waitingIds) {
  zmsg_t* message = zmsg_recv(server->frontend);
  if (message == nullptr) {
    return;
  }
  zframe_t* identity = zmsg_pop(message);
  zframe_t* content = zmsg_pop(message);
  aPacket* packet = _zFrame_To_aPacket(content);
  // A message without both frames, or with bad content, is dropped without
  // an answer and leaves no waiting identity.
  if (identity != nullptr && packet != nullptr) {
    _handleStreamEnable(streamClients, packet, identity);
    if (_handleSetUEIBytes(server, identity, packet, waitingIds)) {
      aTessarine_Trace(aDEBUG_SERVER, "UEIBytes\n");
    } else if (_isBlacklistedPacket(packet)) {
      aTessarine_Trace(aDEBUG_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
    } else if (!_sendToSync(server, packet)) {
      // The identity waits only for a request that really went on.
      aTessarine_Trace(aDEBUG_SERVER, "Failed to send packet out!\n");
    } else if (_isResponseRequired(packet)) {
      sQueueWaiting(waitingIds, identity);
    }
  }
  if (packet != nullptr) {
    aPacket_Destroy(&packet);
  }
  zframe_destroy(&content);
  zframe_destroy(&identity);
  zmsg_destroy(&message);
}

bool sIsServerCommand(zframe_t* frame) {
  if (zframe_size(frame) != kServerCommandSize) {
    return false;
  }
  const uint8_t kind = zframe_data(frame)[0];
  return kind == SERVER_CMD_DROPPED_PACKET || kind == SERVER_CMD_INCOMING_PACKETS;
}

void _serverWorker_broker_sync(aServer* server, zlist_t* waitingIds) {
  zframe_t* frame = zframe_recv(server->syncBroker);
  if (frame == nullptr) {
    return;
  }
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
  zpoller_t* poller = zpoller_new(pipe, server->syncBroker, server->frontend, server->streamBroker, nullptr);
  if (poller != nullptr && server->discoveryKind == kDiscoveryBeacon && server->beacon != nullptr &&
      zpoller_add(poller, server->beacon) != 0) {
    zpoller_destroy(&poller);
  }
  server->lastPublish = 0;
  server->publishing = false;
  zlist_t* streamClients = zlist_new();
  zlist_t* waitingIds = zlist_new();
  zsock_signal(pipe, 0);

  bool running = poller != nullptr && streamClients != nullptr && waitingIds != nullptr;
  while (running) {
    void* which = zpoller_wait(poller, kBrokerWaitMS);
    if (which == pipe) {
      running = sHandlePipe(pipe, waitingIds);
    } else if (which == server->syncBroker) {
      _serverWorker_broker_sync(server, waitingIds);
    } else if (which == server->frontend) {
      _serverWorker_broker_frontend(server, streamClients, waitingIds);
    } else if (which == server->streamBroker) {
      _serverWorker_broker_streaming(server, streamClients);
    } else if (which != nullptr && which == server->beacon) {
      _serverWorker_broker_beacon(server);
    } else if (zpoller_terminated(poller)) {
      aTessarine_Trace(aDEBUG_SERVER, "pre exit 2\n");
      running = false;
    }
    _silenceBeaconWhenDue(server);
  }
  aTessarine_Trace(aDEBUG_SERVER, "broker task exit\n");

  _destroyIdentities(&streamClients);
  _destroyIdentities(&waitingIds);
  zpoller_destroy(&poller);
}

}  // namespace zmqserver
