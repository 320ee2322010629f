#ifndef TESSARINE2_COMMON_ASERVER_ZEROMQINTERNAL_H
#define TESSARINE2_COMMON_ASERVER_ZEROMQINTERNAL_H

// The server record and the pieces its source files share. Not part of the
// library's interface.
//
// Threads and what each one owns (the owner is the thread that creates,
// starts and destroys the server):
//   broker        frontend, frontend events, handshake handler, sync
//                 broker side, stream broker side, the beacon actor while
//                 it runs, the client table, streamClients, pools,
//                 pooledPackets, repliesExpected, lastPublish, publishing
//   sync-command  sync worker side; the link's FIFOs (thread-safe)
//   link reader   stream filter side, batch, batchLength (in the filter)
//   multicast     its own multicast sockets
// The owner makes and binds every socket before the threads start and
// closes them after the threads are joined.
//
// The frontend, its event monitor and its handshake handler live in a
// messaging context of the server's own: the handler's endpoint is one per
// context, and ending the context when the server stops waits until
// libzmq has closed every connection, so a stopped server holds no
// descriptor.
//
// Messages between the broker and the sync-command thread (the syncPair):
//   broker -> sync   [tag][one request packet in wire form] per packet; the
//                    tag (8 bytes, host order) is that of the awaited
//                    answer, 0 for a packet none is awaited for
//   sync -> broker   per request that awaits a reply: [tag][drop command],
//                    or [tag][incoming command][the replies it announces].
//                    A command is 3 bytes: 0, 0, 0 or 1, N high, N low.
// The broker hands the sync-command thread one awaited request at a time
// and the next when the answer about the last one is in or overdue; the
// rest wait in the broker's client table (aServer_ZeroMQClients.h), so the
// pair holds little and what waits is bounded. An answer whose tag is not
// the awaited one's is dropped.

#include <czmq.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>

#include "Tessarine2/common/aDebug.h"
#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/common/aServer_ZeroMQ.h"
#include "Tessarine2/common/aServer_ZeroMQClients.h"
#include "Tessarine2/common/zJoinableActor.h"

namespace zmqserver {

// Server commands on the syncPair.
constexpr uint8_t SERVER_CMD_DROPPED_PACKET = 0;    // 0, 0, 0: no reply for the waiting client
constexpr uint8_t SERVER_CMD_INCOMING_PACKETS = 1;  // 1, N high, N low: N reply frames follow
constexpr size_t kServerCommandSize = 3;

// CZMQ signal status on the broker's pipe: the awaited answer goes to
// nobody.
constexpr uint8_t kFlushSignal = 5;

// Size of a tag on the syncPair.
constexpr size_t kTagSize = sizeof(uint64_t);

// How long the sync-command thread waits for each reply packet.
constexpr uint64_t kReplyWaitMS = 2000;

// A pool lives for this many further UEI packets handled at the frontend.
constexpr uint32_t kPoolTimeToLive = 2000;

// Stream batches: sent at a module heartbeat, or as soon as they hold more
// than kBatchSendThreshold bytes; one packet adds at most 30, so a batch
// never exceeds 4095 bytes.
constexpr size_t kBatchCapacity = 4096;
constexpr size_t kBatchSendThreshold = 4065;

// Connections the frontend keeps at most: this, or a quarter of the
// process's descriptor limit when that is lower. Beyond it the broker
// closes new connections at once.
constexpr size_t kMaxClientConnections = 512;
// A connection that has not completed ZeroMQ's handshake by then is closed.
constexpr int kHandshakeLimitMS = 3000;
// Where libzmq asks about each peer's handshake (ZAP), one per context.
constexpr char kHandshakeEndpoint[] = "inproc://zeromq.zap.01";
// Packets held in all open setUEIBytes transfers together; a transfer that
// would pass it is dropped.
constexpr size_t kMaxPooledPackets = 2048;

// Discovery kinds.
constexpr uint8_t kDiscoveryMulticast = 0;
constexpr uint8_t kDiscoveryBeacon = 1;

}  // namespace zmqserver

struct aServer {
  aLinkEntry* entry;  // the served link; outlives the server
  // Written by the owner, read by the broker and the multicast responder.
  std::atomic<uint8_t> model;
  std::atomic<uint8_t> moduleAddress;
  bool localOnly;
  uint32_t networkInterface;  // network order
  uint64_t lastPublish;
  bool publishing;
  zJoinableActor* broker;
  zJoinableActor* sync;
  // The discovery side: CZMQ's beacon actor (kDiscoveryBeacon) or the
  // multicast responder (kDiscoveryMulticast).
  zactor_t* beacon;
  zJoinableActor* multicast;
  // The request port the multicast responder holds (0: none); the owner
  // wakes the responder's receive through it when it stops the responder.
  std::atomic<uint16_t> multicastRequestPort;
  uint8_t discoveryKind;
  uint16_t port;
  // The frontend's own messaging context, and in it: the frontend
  // (ROUTER), its connection events (PAIR, accepted and disconnected, read
  // by the broker before any client message) and the handler that numbers
  // each connection at its handshake (REP on libzmq's handshake endpoint).
  void* context;
  void* frontend;
  void* frontendEvents;
  void* handshakes;
  size_t connectionLimit;
  // The two internal pairs are in-process; sockets do not outlive the
  // server, so the record's address names them.
  zsock_t* syncWorker;
  zsock_t* syncBroker;
  zsock_t* streamFilter;
  zsock_t* streamBroker;
  uint8_t batch[zmqserver::kBatchCapacity];
  uint16_t batchLength;
  uint32_t advertisedAddress;  // network order
  zlist_t* pools;              // of aPacketPool*
  size_t pooledPackets;        // in all pools
  uint16_t repliesExpected;
  // Set by the owner before it stops the sync-command thread, so that a
  // wait for a module reply ends at once.
  std::atomic<bool> stopping;
};

// One open setUEIBytes transfer of one client.
struct aPacketPool {
  zframe_t* identity;
  zlist_t* packets;  // of aPacket*, in arrival order
  uint8_t sequence;  // of the last pooled packet
  uint32_t timeToLive;
};

namespace zmqserver {

// Packets and frames.
aPacket* _zFrame_To_aPacket(zframe_t* frame);
zframe_t* _aPacket_To_zFrame(const aPacket* packet);
bool _isResponseRequired(const aPacket* packet);
bool _doesPacketContinue(const aPacket* packet);
bool _isBlacklistedPacket(const aPacket* packet);

// setUEIBytes transfers.
aPacketPool* _packetPool_Create(zframe_t* identity, const aPacket* packet);
void _packetPool_Destroy(aPacketPool** pool);
void _destroyPools(zlist_t** pools);
// true when the packet belongs to a transfer and was taken; a transfer's
// last packet moves the whole transfer into *finished (which is left empty
// otherwise).
bool _handleSetUEIBytes(aServer* server, zframe_t* identity, const aPacket* packet, QueuedRequest* finished);
// Drops the open transfer of a client that has gone.
void _dropPoolOf(aServer* server, zframe_t* identity);

// Sends [tag][packet] to the sync-command thread without waiting.
bool _sendToSync(aServer* server, uint64_t tag, const aPacket* packet);

// The frontend's connections: socket options, the event monitor, the
// handshake handler, and what the broker does with each event.
bool _watchConnections(aServer* server);
// Stops the monitor and closes its pair and the handler (the owner, after
// the broker).
void _unwatchConnections(aServer* server);
// One report of the frontend's monitor: ZMQ_EVENT_ACCEPTED or
// ZMQ_EVENT_DISCONNECTED (others are not asked for) and the descriptor.
struct ConnectionEvent {
  uint16_t event = 0;
  int fd = -1;
};
// Shuts down the TCP connection on port just accepted on fd, whose later
// events are in *queue, unless they show it closed: libzmq may have given
// the number to a newer connection by then. receiveMore appends the events
// that have come since. true when a connection was shut down.
bool _refuseAccepted(int fd, uint16_t port, std::deque<ConnectionEvent>* queue,
                     const std::function<void(std::deque<ConnectionEvent>*)>& receiveMore);
// Handles the connection events waiting on frontendEvents; departed
// clients' identities go to *gone.
void _serverWorker_broker_connections(aServer* server, ClientTable* clients, std::vector<GoneClient>* gone);
// Answers one handshake request: every connection is let in, numbered by
// the latest connection accepted so far (aServer_ZeroMQClients.h).
void _serverWorker_broker_handshakes(aServer* server, ClientTable* clients, std::vector<GoneClient>* gone);
// The number a handshake gave the connection a message came on; false for
// a message without one.
bool _handshakeNumber(const char* userId, uint64_t* number);

// Thread bodies.
void _serverWorker_broker(zsock_t* pipe, void* argument);
void _serverWorker_syncCommands(zsock_t* pipe, void* argument);

// Discovery.
aErr _configureInterface(aServer* server);
void _stopDiscovery(aServer* server);
linkSpec _createNetworkSpec(const aServer* server);
bool _isDiscoveryConfigured(const aServer* server);
void _serverWorker_broker_beacon(aServer* server);
void _silenceBeaconWhenDue(aServer* server);

// Stream batches.
void _handleStreamEnable(zlist_t* streamClients, const aPacket* packet, zframe_t* identity);
// A client that has gone gets no more batches.
void _dropStreamClient(zlist_t* streamClients, zframe_t* identity);
bool _streamingPacketFilter(const aPacket* packet, void* reference);
void _serverWorker_broker_streaming(aServer* server, zlist_t* streamClients);

// Identity lists of the broker: every item is a zframe_t* copy it owns.
void _destroyIdentities(zlist_t** identities);

}  // namespace zmqserver

#endif
