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

bool ClientTable::accept(int fd, std::vector<GoneClient>* gone) {
  if (connections_.count(fd) != 0) {
    GoneClient client;
    if (close(fd, &client) && gone != nullptr && !client.identity.empty()) {
      try {
        gone->push_back(std::move(client));
      } catch (const std::bad_alloc&) {
        // Its pool then ages out and its subscription stays: only memory.
      }
    }
  }
  Connection connection;
  connection.number = ++lastConnection_;
  connection.served = admitted_ < connectionLimit_;
  connections_.emplace(fd, connection);
  admitted_ += connection.served ? 1 : 0;
  return connection.served;
}

bool ClientTable::close(int fd, GoneClient* gone) {
  auto known = connections_.find(fd);
  if (known == connections_.end()) {
    return false;
  }
  if (known->second.served) {
    --admitted_;
    dropClient(known->second.number, gone);
  }
  connections_.erase(known);
  return true;
}

uint64_t ClientTable::connectionOf(int fd, uint64_t acceptedBy) const {
  auto known = connections_.find(fd);
  if (known == connections_.end() || !known->second.served || known->second.number > acceptedBy) {
    return 0;
  }
  return known->second.number;
}

ClientTable::Admission ClientTable::enqueue(uint64_t connection, const std::string& identity,
                                            QueuedRequest&& request) {
  auto found = clients_.find(connection);
  if (found == clients_.end()) {
    Client client;
    client.key = connection;
    client.identity = identity;
    found = clients_.emplace(connection, std::move(client)).first;
  }
  Client& client = found->second;
  if (outstanding(client) >= kMaxRequestsPerClient) {
    return Admission::kClientFull;
  }
  const size_t packets = request.packets().size();
  if (queuedPackets_ + packets > kMaxQueuedPackets) {
    return Admission::kServerFull;
  }
  client.queue.push_back(std::move(request));
  queuedPackets_ += packets;
  if (!(inFlight_.active && inFlight_.clientKey == connection)) {
    requeue(client);
  }
  return Admission::kQueued;
}

bool ClientTable::next(uint64_t now, Dispatch* dispatch, size_t* stale, size_t* overdue) {
  if (inFlight_.active) {
    if (now - inFlight_.since < kClientPatienceMS) {
      return false;
    }
    // Its client has stopped waiting; its answer, should it still come,
    // carries a tag nobody awaits.
    ++*overdue;
    endInFlight();
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
    dispatch->identity = client.identity;
    dispatch->tag = 0;
    if (head.needsReply) {
      // The client queues for its next turn once this request is done, so
      // that a client arriving meanwhile goes before it.
      inFlight_ = InFlight{};
      inFlight_.active = true;
      inFlight_.clientKey = key;
      inFlight_.tag = nextTag_++;
      inFlight_.since = now;
      dispatch->tag = inFlight_.tag;
    } else {
      requeue(client);
    }
    dispatch->request = std::move(head);
    return true;
  }
  return false;
}

bool ClientTable::finish(uint64_t tag, std::string* identity) {
  if (!inFlight_.active || inFlight_.tag != tag) {
    return false;
  }
  identity->clear();
  if (!inFlight_.flushed) {
    auto found = clients_.find(inFlight_.clientKey);
    if (found != clients_.end()) {
      *identity = found->second.identity;
    }
  }
  endInFlight();
  return true;
}

void ClientTable::flush() { inFlight_.flushed = true; }

int64_t ClientTable::msUntilOverdue(uint64_t now) const {
  if (!inFlight_.active) {
    return -1;
  }
  const uint64_t waited = now - inFlight_.since;
  return waited >= kClientPatienceMS ? 0 : static_cast<int64_t>(kClientPatienceMS - waited);
}

void ClientTable::endInFlight() {
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
  // answer goes to nobody.
  clients_.erase(found);
}

}  // namespace zmqserver
