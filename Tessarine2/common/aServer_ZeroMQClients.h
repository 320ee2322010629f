#ifndef TESSARINE2_COMMON_ASERVER_ZEROMQCLIENTS_H
#define TESSARINE2_COMMON_ASERVER_ZEROMQCLIENTS_H

// The broker's account of its client connections and of the requests that
// wait for their turn at the module. Not part of the library's interface.
//
// The module serves one request at a time, so a request waits here until
// the one before it has been answered or given up. What this table keeps
// fair and bounded:
//   - connections: at most a limit well below the process's descriptor
//     limit; the broker closes any connection beyond it at once;
//   - requests: at most kMaxRequestsPerClient outstanding per client (the
//     one at the module included) and kMaxQueuedPackets packets queued in
//     all; a request beyond either is refused at once;
//   - turns: clients take turns, one request each, and a client whose
//     request is at the module queues for its next turn only once that is
//     done; so a client's request waits for the one at the module and at
//     most one request of each other client;
//   - staleness: a request that has waited longer than kClientPatienceMS is
//     dropped when its turn comes, as its client has stopped waiting;
//   - departures: a connection that closes takes its queued requests along.
//
// Touched by the broker thread only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "Tessarine2/common/aPacket.h"

namespace zmqserver {

// A client has at most this many requests queued or at the module.
constexpr size_t kMaxRequestsPerClient = 8;
// Packets queued in all (a setUEIBytes transfer counts each of its packets).
constexpr size_t kMaxQueuedPackets = 2048;
// The longest a client of this library waits for a reply (a store slot's
// open); a request queued longer than that is answered to nobody.
constexpr uint64_t kClientPatienceMS = 3000;

// Packets that go to the module together: one request, or all packets of a
// setUEIBytes transfer, whose last packet alone is answered.
class QueuedRequest {
 public:
  QueuedRequest() = default;
  ~QueuedRequest();
  QueuedRequest(QueuedRequest&& other) noexcept;
  QueuedRequest& operator=(QueuedRequest&& other) noexcept;
  QueuedRequest(const QueuedRequest&) = delete;
  QueuedRequest& operator=(const QueuedRequest&) = delete;

  // Takes the packet; false (and the packet freed) when memory runs out.
  bool add(aPacket* packet);
  const std::vector<aPacket*>& packets() const { return packets_; }
  bool empty() const { return packets_.empty(); }
  void clear();

  bool needsReply = false;
  uint64_t queuedAt = 0;

 private:
  std::vector<aPacket*> packets_;
};

// What a departing or replaced connection leaves for the caller to clean
// up: the identity its transfer pool and stream subscription were kept
// under (empty when it never sent anything).
struct GoneClient {
  std::string identity;
};

class ClientTable {
 public:
  enum class Admission { kQueued, kClientFull, kServerFull, kNotConnected };

  explicit ClientTable(size_t connectionLimit) : connectionLimit_(connectionLimit) {}

  // A new connection on descriptor fd; false when the table is full and the
  // connection is to be closed. A descriptor already known belonged to a
  // connection that has gone: that one is dropped first (its identity in
  // gone).
  bool admit(int fd, std::vector<GoneClient>* gone);
  // The connection on fd has closed; its queued requests are dropped.
  // false when fd was not an admitted connection.
  bool close(int fd, GoneClient* gone);
  bool isAdmitted(int fd) const { return connections_.count(fd) != 0; }

  // Queues a request of the client with this identity on fd. A different
  // identity on a known descriptor means the connection behind it changed:
  // the old client is dropped (into gone).
  Admission enqueue(int fd, const std::string& identity, QueuedRequest&& request, std::vector<GoneClient>* gone);

  // Whether a request is at the module (its answer not yet back).
  bool busy() const { return inFlight_.active; }
  // The next request in turn that its client still waits for, with its
  // client's identity; false when none is queued. Requests skipped as
  // stale are counted in *stale. A request that needs a reply makes the
  // table busy until finish().
  bool next(uint64_t now, QueuedRequest* request, std::string* identity, size_t* stale);
  // The request at the module has been answered or given up.
  void finish();

  size_t connections() const { return connections_.size(); }
  size_t queuedPackets() const { return queuedPackets_; }
  size_t connectionLimit() const { return connectionLimit_; }

 private:
  struct Client {
    uint64_t key = 0;
    std::string identity;
    std::deque<QueuedRequest> queue;
    bool inTurn = false;  // listed in turns_
  };
  struct Connection {
    uint64_t clientKey = 0;  // 0 until the connection's first message
  };
  struct InFlight {
    bool active = false;
    uint64_t clientKey = 0;
  };

  void dropClient(uint64_t key, std::vector<GoneClient>* gone);
  void dropClient(uint64_t key, GoneClient* gone);
  size_t outstanding(const Client& client) const;
  // Lists a client with queued requests for a turn, unless it is listed.
  void requeue(Client& client);

  const size_t connectionLimit_;
  std::unordered_map<int, Connection> connections_;
  std::unordered_map<uint64_t, Client> clients_;
  // Clients with queued requests, in the order they get their turns.
  std::deque<uint64_t> turns_;
  InFlight inFlight_;
  uint64_t nextKey_ = 1;
  size_t queuedPackets_ = 0;
};

}  // namespace zmqserver

#endif
