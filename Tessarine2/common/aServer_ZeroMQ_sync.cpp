// The sync-command thread: hands one client request at a time to the served
// link and collects the module's replies to it. The in-FIFO wait takes
// whatever packet comes first, which is sound because only one request is
// outstanding, the server's packet filter keeps streamed values out of the
// in-FIFO, and whatever an earlier request left there is thrown away before
// the next request goes out. A request's replies are collected for at most
// as long as a client waits: a module that goes on announcing more cannot
// keep the thread from the requests after it.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/aTime.h"

namespace zmqserver {

namespace {

// The reply wait is cut into slices so that a stopping server is noticed
// within one slice instead of after a whole reply time-out.
constexpr uint64_t kReplyWaitSliceMS = 50;

bool sSendFrame(zsock_t* socket, const uint8_t* bytes, size_t size, bool more) {
  zframe_t* frame = zframe_new(bytes, size);
  if (frame == nullptr) {
    return false;
  }
  if (zframe_send(&frame, socket, ZFRAME_DONTWAIT | (more ? ZFRAME_MORE : 0)) != 0) {
    zframe_destroy(&frame);
    return false;
  }
  return true;
}

bool sSendTag(aServer* server, uint64_t tag) {
  return sSendFrame(server->syncWorker, reinterpret_cast<const uint8_t*>(&tag), sizeof tag, true);
}

bool _sendServerCmd_DroppedPacket(aServer* server, uint64_t tag) {
  const uint8_t command[kServerCommandSize] = {SERVER_CMD_DROPPED_PACKET, 0, 0};
  return sSendTag(server, tag) && sSendFrame(server->syncWorker, command, sizeof command, false);
}

// The tag, the command and the replies it announces go out as one message:
// ZeroMQ delivers all of its frames or none, so the broker never sees a
// count without its replies.
void _sendServerCmd_IncomingPackets(aServer* server, uint64_t tag, zlist_t* replies) {
  const size_t count = zlist_size(replies);
  const uint8_t command[kServerCommandSize] = {SERVER_CMD_INCOMING_PACKETS, static_cast<uint8_t>(count >> 8),
                                               static_cast<uint8_t>(count & 0xFF)};
  if (!sSendTag(server, tag) || !sSendFrame(server->syncWorker, command, sizeof command, true)) {
    return;
  }
  size_t left = count;
  for (void* item = zlist_first(replies); item != nullptr; item = zlist_next(replies)) {
    const aPacket* reply = static_cast<const aPacket*>(item);
    --left;
    if (!sSendFrame(server->syncWorker, aPacket_WireBytes(reply), aPacket_WireLength(reply), left > 0)) {
      aTessarine_Trace(aDEBUG_SERVER, "Failed to SENDY-SEND!\n");
    }
  }
}

// The next packet of the served link's in-FIFO within kReplyWaitMS, and
// before the request's own deadline; NULL at either limit or when the
// server stops.
aPacket* sAwaitReply(aServer* server, uint64_t requestDeadline) {
  const uint64_t deadline = std::min(aTime_GetMSTicks() + kReplyWaitMS, requestDeadline);
  while (!server->stopping.load()) {
    const uint64_t now = aTime_GetMSTicks();
    if (now >= deadline) {
      break;
    }
    const uint64_t left = deadline - now;
    aPacket* packet =
        aPacketFifo_Await(server->entry->link->inFifo.load(), left < kReplyWaitSliceMS ? left : kReplyWaitSliceMS);
    if (packet != nullptr) {
      return packet;
    }
  }
  return nullptr;
}

bool sAnyPacket(const aPacket*, const void*) { return true; }

// Before a request goes out, nothing in the in-FIFO can answer it: what is
// there came after an earlier request was answered or given up (a module
// that answered too late, the rest of a reply cut short by the time limit,
// an answer to a packet that needed none, surplus synchronisation
// answers). Left there, it would be taken as this request's reply and
// routed to the wrong client. Streamed values and heartbeats never get
// here: the link's packet filter and heartbeat handling take them before
// the in-FIFO, so the stream batches lose nothing.
void sDropStaleReplies(aServer* server) {
  const size_t dropped = aPacketFifo_DrainPackets(server->entry->link->inFifo.load(), sAnyPacket, nullptr);
  if (dropped > 0) {
    aTessarine_Trace(aDEBUG_SERVER, "Dropped %zu stale packet(s) from the module\n", dropped);
  }
}

void sDestroyPackets(zlist_t* packets) {
  for (void* item = zlist_pop(packets); item != nullptr; item = zlist_pop(packets)) {
    aPacket* packet = static_cast<aPacket*>(item);
    aPacket_Destroy(&packet);
  }
}

// Replies until one wait times out, a reply does not announce another or
// the client has stopped waiting. At most 65535, the most one incoming
// command can announce.
void sCollectReplies(aServer* server, zlist_t* replies) {
  const uint64_t deadline = aTime_GetMSTicks() + kClientPatienceMS;
  while (zlist_size(replies) < UINT16_MAX) {
    aPacket* reply = sAwaitReply(server, deadline);
    if (reply == nullptr) {
      return;
    }
    if (zlist_append(replies, reply) != 0) {
      aPacket_Destroy(&reply);
      return;
    }
    if (!_doesPacketContinue(reply)) {
      return;
    }
  }
}

// One request: [tag][packet]. false when none could be read.
bool sReceiveRequest(aServer* server, uint64_t* tag, aPacket** packet) {
  zmsg_t* message = zmsg_recv(server->syncWorker);
  if (message == nullptr) {
    return false;
  }
  zframe_t* tagFrame = zmsg_first(message);
  zframe_t* packetFrame = zmsg_next(message);
  *packet = nullptr;
  if (zmsg_size(message) == 2 && zframe_size(tagFrame) == kTagSize) {
    memcpy(tag, zframe_data(tagFrame), kTagSize);
    *packet = _zFrame_To_aPacket(packetFrame);
  }
  zmsg_destroy(&message);
  return true;
}

void _serverWorker_syncCommands_syncBackend(aServer* server) {
  uint64_t tag = 0;
  aPacket* packet = nullptr;
  if (!sReceiveRequest(server, &tag, &packet)) {
    return;
  }
  if (packet == nullptr) {
    aTessarine_Trace(aDEBUG_SERVER, "bad-packet\n");
    return;
  }
  const bool required = _isResponseRequired(packet);
  sDropStaleReplies(server);
  const aErr put = aPacketFifo_Put(server->entry->link->outFifo.load(), packet);
  aPacket_Destroy(&packet);
  if (put != aErrNone) {
    aTessarine_Trace(aDEBUG_SERVER, "Failed to PUT packet: err: %d\n", put);
    // Only a request the broker waits for is answered; a drop for any other
    // would take another client's place in the broker's queue.
    if (required) {
      _sendServerCmd_DroppedPacket(server, tag);
    }
    return;
  }
  if (!required) {
    aTessarine_Trace(aDEBUG_SERVER, "don't wait on this packet\n");
    return;
  }
  zlist_t* replies = zlist_new();
  if (replies == nullptr) {
    _sendServerCmd_DroppedPacket(server, tag);
    return;
  }
  sCollectReplies(server, replies);
  const size_t count = zlist_size(replies);
  if (count == 0) {
    aTessarine_Trace(aDEBUG_SERVER, "Failed to AWAIT packet\n");
    _sendServerCmd_DroppedPacket(server, tag);
  } else {
    _sendServerCmd_IncomingPackets(server, tag, replies);
  }
  sDestroyPackets(replies);
  zlist_destroy(&replies);
}

}  // namespace

void _serverWorker_syncCommands(zsock_t* pipe, void* argument) {
  aServer* server = static_cast<aServer*>(argument);
  zpoller_t* poller = zpoller_new(pipe, server->syncWorker, nullptr);
  zsock_signal(pipe, 0);
  // Without a poller the thread ends at once; the owner's stop then finds
  // it ended.
  while (poller != nullptr) {
    void* which = zJoinableActor_Wait(poller, -1);
    if (which == server->syncWorker) {
      _serverWorker_syncCommands_syncBackend(server);
    } else {
      // The pipe (any message ends the thread) or the end of the
      // messaging context.
      break;
    }
  }
  zpoller_destroy(&poller);
  aTessarine_Trace(aDEBUG_SERVER, "sync task exit\n");
}

}  // namespace zmqserver
