// Connections and queued requests of the module-sharing server's broker.

#include "Tessarine2/common/aServer_ZeroMQClients.h"

#include <new>
#include <utility>

namespace zmqserver {

QueuedRequest::~QueuedRequest() { clear(); }

QueuedRequest::QueuedRequest(QueuedRequest&& other) noexcept
    : needsReply(other.needsReply), queuedAt(other.queuedAt), packets_(std::move(other.packets_)) {
  other.packets_.clear();
}

QueuedRequest& QueuedRequest::operator=(QueuedRequest&& other) noexcept {
  if (this != &other) {
    clear();
    packets_ = std::move(other.packets_);
    other.packets_.clear();
    needsReply = other.needsReply;
    queuedAt = other.queuedAt;
  }
  return *this;
}

bool QueuedRequest::add(aPacket* packet) {
  try {
    packets_.push_back(packet);
  } catch (const std::bad_alloc&) {
    aPacket_Destroy(&packet);
    return false;
  }
  return true;
}

void QueuedRequest::clear() {
  for (aPacket* packet : packets_) {
    aPacket_Destroy(&packet);
  }
  packets_.clear();
}

bool ClientTable::admit(int fd, std::vector<GoneClient>* gone) {
  auto known = connections_.find(fd);
  if (known != connections_.end()) {
    // The descriptor was closed and reused: what we knew of it is stale.
    if (known->second.clientKey != 0) {
      dropClient(known->second.clientKey, gone);
    }
    connections_.erase(known);
  }
  if (connections_.size() >= connectionLimit_) {
    return false;
  }
  connections_.emplace(fd, Connection{});
  return true;
}

bool ClientTable::close(int fd, GoneClient* gone) {
  auto known = connections_.find(fd);
  if (known == connections_.end()) {
    return false;
  }
  if (known->second.clientKey != 0) {
    dropClient(known->second.clientKey, gone);
  }
  connections_.erase(known);
  return true;
}

ClientTable::Admission ClientTable::enqueue(int fd, const std::string& identity, QueuedRequest&& request,
                                            std::vector<GoneClient>* gone) {
  auto connection = connections_.find(fd);
  if (connection == connections_.end()) {
    return Admission::kNotConnected;
  }
  uint64_t key = connection->second.clientKey;
  if (key != 0 && clients_.at(key).identity != identity) {
    dropClient(key, gone);
    key = 0;
  }
  if (key == 0) {
    key = nextKey_++;
    Client client;
    client.key = key;
    client.identity = identity;
    clients_.emplace(key, std::move(client));
    connection->second.clientKey = key;
  }
  Client& client = clients_.at(key);
  if (outstanding(client) >= kMaxRequestsPerClient) {
    return Admission::kClientFull;
  }
  const size_t packets = request.packets().size();
  if (queuedPackets_ + packets > kMaxQueuedPackets) {
    return Admission::kServerFull;
  }
  client.queue.push_back(std::move(request));
  queuedPackets_ += packets;
  if (!(inFlight_.active && inFlight_.clientKey == key)) {
    requeue(client);
  }
  return Admission::kQueued;
}

bool ClientTable::next(uint64_t now, QueuedRequest* request, std::string* identity, size_t* stale) {
  if (inFlight_.active) {
    return false;
  }
  while (!turns_.empty()) {
    const uint64_t key = turns_.front();
    turns_.pop_front();
    auto found = clients_.find(key);
    if (found == clients_.end()) {
      continue;
    }
    Client& client = found->second;
    client.inTurn = false;
    if (client.queue.empty()) {
      continue;
    }
    QueuedRequest head = std::move(client.queue.front());
    client.queue.pop_front();
    queuedPackets_ -= head.packets().size();
    if (now - head.queuedAt > kClientPatienceMS) {
      ++*stale;
      // Its next request may still be awaited: it keeps its turn.
      if (!client.queue.empty()) {
        turns_.push_front(key);
        client.inTurn = true;
      }
      continue;
    }
    *identity = client.identity;
    if (head.needsReply) {
      // The client queues for its next turn once this request is done, so
      // that a client arriving meanwhile goes before it.
      inFlight_.active = true;
      inFlight_.clientKey = key;
    } else {
      requeue(client);
    }
    *request = std::move(head);
    return true;
  }
  return false;
}

void ClientTable::finish() {
  if (!inFlight_.active) {
    return;
  }
  auto found = clients_.find(inFlight_.clientKey);
  inFlight_ = InFlight{};
  if (found != clients_.end()) {
    requeue(found->second);
  }
}

void ClientTable::requeue(Client& client) {
  if (!client.queue.empty() && !client.inTurn) {
    turns_.push_back(client.key);
    client.inTurn = true;
  }
}

size_t ClientTable::outstanding(const Client& client) const {
  return client.queue.size() + (inFlight_.active && inFlight_.clientKey == client.key ? 1 : 0);
}

void ClientTable::dropClient(uint64_t key, std::vector<GoneClient>* gone) {
  GoneClient client;
  dropClient(key, &client);
  if (gone != nullptr && !client.identity.empty()) {
    try {
      gone->push_back(std::move(client));
    } catch (const std::bad_alloc&) {
      // Its pool then ages out and its subscription stays: only memory.
    }
  }
}

void ClientTable::dropClient(uint64_t key, GoneClient* gone) {
  auto found = clients_.find(key);
  if (found == clients_.end()) {
    return;
  }
  for (const QueuedRequest& request : found->second.queue) {
    queuedPackets_ -= request.packets().size();
  }
  if (gone != nullptr) {
    gone->identity = std::move(found->second.identity);
  }
  // A request of it at the module still runs to its end (finish()); its
  // answer goes to an identity nobody holds and the frontend drops it.
  clients_.erase(found);
}

}  // namespace zmqserver
