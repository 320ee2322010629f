// Stream batches: values the module streams on its own are taken off the
// served link by its packet filter, collected into batches, and sent to
// every client that subscribed. A batch is the wire forms of its packets
// back to back ([address][length][data]...), one message per module
// heartbeat (or per batch of more than 4065 bytes), never one per value.

#include <cstring>

#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/aUEI.h"

namespace zmqserver {

namespace {

// The stream-control request of a client: [0x5D][option][...], 7 data
// bytes; option 0x81 enables streaming.
constexpr uint8_t kStreamControlCommand = 0x5D;
constexpr uint8_t kStreamEnableOption = 0x81;
constexpr uint8_t kStreamControlLength = 7;

// A module heartbeat: [A][2][0][n].
bool sIsHeartbeat(const aPacket* packet) { return packet->dataSize == 2 && packet->data[0] == 0; }

bool sIsSubscribed(zlist_t* streamClients, zframe_t* identity) {
  for (void* item = zlist_first(streamClients); item != nullptr; item = zlist_next(streamClients)) {
    if (zframe_eq(static_cast<zframe_t*>(item), identity)) {
      return true;
    }
  }
  return false;
}

void sSendBatch(aServer* server) {
  zframe_t* frame = zframe_new(server->batch, server->batchLength);
  // A batch the broker cannot take now is lost; the filter never waits.
  if (frame != nullptr && zframe_send(&frame, server->streamFilter, ZFRAME_DONTWAIT) != 0) {
    zframe_destroy(&frame);
  }
  server->batchLength = 0;
}

}  // namespace

void _handleStreamEnable(zlist_t* streamClients, const aPacket* packet, zframe_t* identity) {
  if (packet->dataSize != kStreamControlLength || packet->data[0] != kStreamControlCommand) {
    return;
  }
  // Any other option, the disable request included, reaches the module
  // and changes nothing here: a subscriber stays until its connection
  // closes or the server stops.
  if (packet->data[1] != kStreamEnableOption) {
    aTessarine_Trace(aDEBUG_SERVER, "unknown stream enable: %d\n", packet->data[1]);
    return;
  }
  aTessarine_Trace(aDEBUG_SERVER, "ZeroMQ - Streaming Enable - Size: %zu\n", zlist_size(streamClients));
  if (sIsSubscribed(streamClients, identity)) {
    return;
  }
  aTessarine_Trace(aDEBUG_SERVER, "Added stream entry\n");
  zframe_t* copy = zframe_dup(identity);
  if (copy != nullptr && zlist_append(streamClients, copy) != 0) {
    zframe_destroy(&copy);
  }
}

void _dropStreamClient(zlist_t* streamClients, zframe_t* identity) {
  for (void* item = zlist_first(streamClients); item != nullptr; item = zlist_next(streamClients)) {
    zframe_t* subscriber = static_cast<zframe_t*>(item);
    if (zframe_eq(subscriber, identity)) {
      zlist_remove(streamClients, subscriber);
      zframe_destroy(&subscriber);
      return;
    }
  }
}

bool _streamingPacketFilter(const aPacket* packet, void* reference) {
  aServer* server = static_cast<aServer*>(reference);
  if (server == nullptr || !aVALIDPACKET(packet)) {
    return false;
  }
  bool taken = false;
  if (aUEI_isStreamPacket(packet)) {
    const size_t length = aPacket_WireLength(packet);
    if (server->batchLength + length > sizeof server->batch) {
      sSendBatch(server);
    }
    memcpy(server->batch + server->batchLength, aPacket_WireBytes(packet), length);
    server->batchLength = static_cast<uint16_t>(server->batchLength + length);
    taken = true;
  }
  if ((sIsHeartbeat(packet) || server->batchLength > kBatchSendThreshold) && server->batchLength > 0) {
    sSendBatch(server);
  }
  // A heartbeat goes on to the link, which answers it.
  return taken;
}

void _serverWorker_broker_streaming(aServer* server, zlist_t* streamClients) {
  zframe_t* batch = zframe_recv(server->streamBroker);
  if (batch == nullptr) {
    aTessarine_Trace(aDEBUG_SERVER, "your content has no content!\n");
    return;
  }
  for (void* item = zlist_first(streamClients); item != nullptr; item = zlist_next(streamClients)) {
    zframe_t* identity = static_cast<zframe_t*>(item);
    // A subscriber that cannot take it now (or has gone) loses this batch.
    if (zframe_send(&identity, server->frontend, ZFRAME_MORE | ZFRAME_REUSE | ZFRAME_DONTWAIT) != 0 ||
        zframe_send(&batch, server->frontend, ZFRAME_REUSE | ZFRAME_DONTWAIT) != 0) {
      aTessarine_Trace(aDEBUG_SERVER, "failed to send id\n");
    }
  }
  zframe_destroy(&batch);
}

}  // namespace zmqserver
