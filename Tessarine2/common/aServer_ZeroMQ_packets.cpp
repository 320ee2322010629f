// Module packets as they cross the server: frame conversion, which requests
// await a reply, and the multi-packet setUEIBytes transfers that are kept
// together so that no other client's packet reaches the module between
// their packets. A finished transfer queues as one request; the packets
// held in open transfers are bounded in all (kMaxPooledPackets).

#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/aUEI.h"

namespace zmqserver {

namespace {

constexpr uint8_t kForceRouteLength = 1;  // [0xAF][1][on]: clients may not send it

bool sIsIntermediateBytesPacket(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

// A transfer opens with a full packet of 28 data bytes (24 payload bytes
// behind command, option and specifier, then the sequence byte) numbered 0
// with more to follow.
bool sOpensTransfer(const aPacket* packet) {
  return packet->dataSize == aPACKET_MAX_DATA && aUEI_getBytesContinue(packet) && aUEI_getBytesSequence(packet) == 0;
}

aPacketPool* sFindPool(zlist_t* pools, zframe_t* identity) {
  for (void* item = zlist_first(pools); item != nullptr; item = zlist_next(pools)) {
    aPacketPool* pool = static_cast<aPacketPool*>(item);
    if (zframe_eq(pool->identity, identity)) {
      return pool;
    }
  }
  return nullptr;
}

void sRemovePool(aServer* server, aPacketPool* pool) {
  server->pooledPackets -= zlist_size(pool->packets);
  zlist_remove(server->pools, pool);
  _packetPool_Destroy(&pool);
}

// A pool survives kPoolTimeToLive further UEI packets from any client; an
// abandoned transfer (its client sent out of order) is dropped then.
void sAgePools(aServer* server) {
  zlist_t* pools = server->pools;
  aPacketPool* pool = static_cast<aPacketPool*>(zlist_first(pools));
  while (pool != nullptr) {
    aPacketPool* next = static_cast<aPacketPool*>(zlist_next(pools));
    if (pool->timeToLive == 0) {
      aTessarine_Trace(aDEBUG_SERVER, "setUEIBytes is stale, destroying\n");
      sRemovePool(server, pool);
    } else {
      --pool->timeToLive;
    }
    pool = next;
  }
}

// Moves the pooled packets, in order, into the request that takes the
// transfer to the module.
void sFinishPool(aServer* server, aPacketPool* pool, QueuedRequest* finished) {
  for (void* item = zlist_pop(pool->packets); item != nullptr; item = zlist_pop(pool->packets)) {
    --server->pooledPackets;
    if (!finished->add(static_cast<aPacket*>(item))) {
      // Without all its packets the transfer cannot go.
      finished->clear();
    }
  }
}

}  // namespace

aPacket* _zFrame_To_aPacket(zframe_t* frame) {
  if (frame == nullptr) {
    return nullptr;
  }
  const size_t size = zframe_size(frame);
  const uint8_t* bytes = zframe_data(frame);
  if (size < 2 || size > aPACKET_MAX_WIRE || bytes == nullptr || bytes[1] > aPACKET_MAX_DATA ||
      bytes[1] > size - 2) {
    aTessarine_Trace(aDEBUG_SERVER, "Bad content packet: dSize: %d\n", static_cast<int>(size));
    return nullptr;
  }
  const uint8_t length = bytes[1];
  return aPacket_CreateWithData(bytes[0], length, bytes + 2);
}

zframe_t* _aPacket_To_zFrame(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) {
    return nullptr;
  }
  return zframe_new(aPacket_WireBytes(packet), aPacket_WireLength(packet));
}

// The one rule both ends of the syncPair follow: the broker queues a waiting
// client identity exactly for the requests to which the sync-command thread
// answers with replies or with a drop.
bool _isResponseRequired(const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->address == aPACKET_ADDR_FORCE_ROUTE) {
    return false;
  }
  // The module answers a setUEIBytes transfer once, after its last packet.
  return !sIsIntermediateBytesPacket(packet);
}

bool _doesPacketContinue(const aPacket* packet) {
  return aVALIDPACKET(packet) && sIsIntermediateBytesPacket(packet);
}

bool _isBlacklistedPacket(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->address == aPACKET_ADDR_FORCE_ROUTE &&
         packet->dataSize == kForceRouteLength;
}

aPacketPool* _packetPool_Create(zframe_t* identity, const aPacket* packet) {
  aPacketPool* pool = new (std::nothrow) aPacketPool();
  if (pool == nullptr) {
    return nullptr;
  }
  pool->identity = zframe_dup(identity);
  pool->packets = zlist_new();
  pool->sequence = 0;
  pool->timeToLive = kPoolTimeToLive;
  aPacket* copy = aPacket_Copy(packet);
  if (pool->identity == nullptr || pool->packets == nullptr || copy == nullptr ||
      zlist_append(pool->packets, copy) != 0) {
    aPacket_Destroy(&copy);
    _packetPool_Destroy(&pool);
    return nullptr;
  }
  return pool;
}

void _packetPool_Destroy(aPacketPool** pool) {
  if (pool == nullptr || *pool == nullptr) {
    return;
  }
  aPacketPool* self = *pool;
  *pool = nullptr;
  if (self->packets != nullptr) {
    for (void* item = zlist_pop(self->packets); item != nullptr; item = zlist_pop(self->packets)) {
      aPacket* packet = static_cast<aPacket*>(item);
      aPacket_Destroy(&packet);
    }
    zlist_destroy(&self->packets);
  }
  zframe_destroy(&self->identity);
  delete self;
}

void _destroyPools(zlist_t** pools) {
  if (pools == nullptr || *pools == nullptr) {
    return;
  }
  for (void* item = zlist_pop(*pools); item != nullptr; item = zlist_pop(*pools)) {
    aPacketPool* pool = static_cast<aPacketPool*>(item);
    _packetPool_Destroy(&pool);
  }
  zlist_destroy(pools);
}

bool _handleSetUEIBytes(aServer* server, zframe_t* identity, const aPacket* packet, QueuedRequest* finished) {
  if (!aUEI_isUEIPayload(packet) || server->pools == nullptr) {
    return false;
  }
  sAgePools(server);
  aPacketPool* pool = sFindPool(server->pools, identity);
  if (pool == nullptr) {
    if (!sOpensTransfer(packet)) {
      return false;
    }
    if (server->pooledPackets >= kMaxPooledPackets) {
      // Refused: taken and dropped like a transfer that cannot be pooled.
      aTessarine_Trace(aDEBUG_SERVER, "setUEIBytes refused: transfers hold too many packets\n");
      return true;
    }
    pool = _packetPool_Create(identity, packet);
    if (pool != nullptr && zlist_append(server->pools, pool) != 0) {
      _packetPool_Destroy(&pool);
    }
    if (pool != nullptr) {
      ++server->pooledPackets;
    }
    // Taken even when no pool could be made: without its first packet the
    // transfer cannot reach the module whole.
    return true;
  }
  // Sequence numbers have 7 bits; after 127 nothing matches.
  if (aUEI_getBytesSequence(packet) != static_cast<uint8_t>(pool->sequence + 1)) {
    // Dropped; the pool ages out.
    aTessarine_Trace(aDEBUG_SERVER, "BOOM: Sequence mix up. ttl will clean it up. \n");
    return true;
  }
  aPacket* copy = server->pooledPackets < kMaxPooledPackets ? aPacket_Copy(packet) : nullptr;
  if (copy == nullptr || zlist_append(pool->packets, copy) != 0) {
    // The transfer cannot be completed; drop it whole.
    aTessarine_Trace(aDEBUG_SERVER, "setUEIBytes dropped: no room for its packets\n");
    aPacket_Destroy(&copy);
    sRemovePool(server, pool);
    return true;
  }
  ++server->pooledPackets;
  if (aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet)) {
    pool->sequence = aUEI_getBytesSequence(packet);
    return true;
  }
  sFinishPool(server, pool, finished);
  sRemovePool(server, pool);
  return true;
}

void _dropPoolOf(aServer* server, zframe_t* identity) {
  if (server->pools == nullptr) {
    return;
  }
  aPacketPool* pool = sFindPool(server->pools, identity);
  if (pool != nullptr) {
    sRemovePool(server, pool);
  }
}

}  // namespace zmqserver
