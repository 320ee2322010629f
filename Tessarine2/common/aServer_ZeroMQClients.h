#ifndef TESSARINE2_COMMON_ASERVER_ZEROMQCLIENTS_H
#define TESSARINE2_COMMON_ASERVER_ZEROMQCLIENTS_H

// The broker's account of its client connections and of the requests that
// wait for their turn at the module. Not part of the library's interface.
//
// A connection is known by its number: connections are numbered in the
// order the frontend reports them accepted, so a descriptor number that
// libzmq gives to a new connection never makes it the old one. Messages
// say which connection they came on by the descriptor they were read from
// and by the number of the latest connection accepted when their
// connection completed its handshake (aServer_ZeroMQ_handshakes.cpp); the
// open connection on that descriptor is theirs only when it was accepted
// by then. What a connection sent before it closed and the broker reads
// after is thereby dropped, never charged to the connection that has its
// descriptor number now.
//
// The module serves one request at a time, so a request waits here until
// the one before it has been answered or given up. What this table keeps
// fair and bounded:
//   - connections: at most a limit well below the process's descriptor
//     limit; the broker refuses any connection beyond it at once;
//   - requests: at most kMaxRequestsPerClient outstanding per client (the
//     one at the module included) and kMaxQueuedPackets packets queued in
//     all; a request beyond either is refused at once;
//   - turns: clients take turns, one request each, and a client whose
//     request is at the module queues for its next turn only once that is
//     done; so a client's request waits for the one at the module and at
//     most one request of each other client;
//   - staleness: a request that has waited longer than kClientPatienceMS is
//     dropped when its turn comes, as its client has stopped waiting;
//   - the answer: a request at the module is given up kClientPatienceMS
//     after it went, answered or not, so that one lost answer cannot hold
//     up every later request; an answer is matched to its request by a tag,
//     so a late one reaches nobody;
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
// open); a request queued longer than that is answered to nobody, and an
// answer the module has not given by then is given up.
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

// What a departing connection leaves for the caller to clean up: the
// identity its transfer pool and stream subscription were kept under
// (empty when it never sent anything).
struct GoneClient {
  std::string identity;
};

// A request handed to the module.
struct Dispatch {
  QueuedRequest request;
  std::string identity;  // of its client
  uint64_t tag = 0;      // of the awaited answer; 0 when none is awaited
};

class ClientTable {
 public:
  enum class Admission { kQueued, kClientFull, kServerFull };

  explicit ClientTable(size_t connectionLimit) : connectionLimit_(connectionLimit) {}

  // A connection accepted on fd, numbered lastConnection() + 1. false when
  // the table is full: the connection is to be refused, and what it sends
  // is not served. A descriptor still open in the table belonged to a
  // connection whose close was not reported; that one is dropped first.
  bool accept(int fd, std::vector<GoneClient>* gone);
  // The connection on fd has closed; its queued requests are dropped.
  // false when no connection was open on fd.
  bool close(int fd, GoneClient* gone);
  // The number of the latest connection accepted (0 before the first).
  uint64_t lastConnection() const { return lastConnection_; }
  // The served connection a message came on: the one open on fd, when it
  // was accepted no later than connection number acceptedBy. 0 when the
  // message is not to be served: its connection has closed (another may
  // have its descriptor now) or was refused.
  uint64_t connectionOf(int fd, uint64_t acceptedBy) const;

  // Queues a request of the client on a served connection; the identity is
  // the one its replies are routed by.
  Admission enqueue(uint64_t connection, const std::string& identity, QueuedRequest&& request);

  // The next request in turn that its client still waits for; false when
  // none is queued or the module still has a request whose answer is
  // awaited and not overdue (an overdue one is given up first). Requests
  // skipped as stale are counted in *stale, a given-up answer in *overdue.
  bool next(uint64_t now, Dispatch* dispatch, size_t* stale, size_t* overdue);
  // The answer with this tag has come (or will not: the request could not
  // be sent). true when it is the awaited one, with the identity it goes
  // to in *identity (empty when its client has gone or it was flushed);
  // the next request may then go.
  bool finish(uint64_t tag, std::string* identity);
  // The awaited answer, when it comes, goes to nobody.
  void flush();
  // Milliseconds until the awaited answer is overdue; -1 when none is
  // awaited.
  int64_t msUntilOverdue(uint64_t now) const;

  size_t connections() const { return admitted_; }
  size_t queuedPackets() const { return queuedPackets_; }
  size_t connectionLimit() const { return connectionLimit_; }

 private:
  struct Client {
    uint64_t key = 0;  // its connection's number
    std::string identity;
    std::deque<QueuedRequest> queue;
    bool inTurn = false;  // listed in turns_
  };
  struct Connection {
    uint64_t number = 0;
    bool served = false;
  };
  struct InFlight {
    bool active = false;
    bool flushed = false;
    uint64_t clientKey = 0;
    uint64_t tag = 0;
    uint64_t since = 0;
  };

  void dropClient(uint64_t key, GoneClient* gone);
  size_t outstanding(const Client& client) const;
  // Lists a client with queued requests for a turn, unless it is listed.
  void requeue(Client& client);
  // Ends the wait for the awaited answer; its client queues for its next
  // turn.
  void endInFlight();

  const size_t connectionLimit_;
  // Open connections by descriptor, refused ones included.
  std::unordered_map<int, Connection> connections_;
  size_t admitted_ = 0;
  uint64_t lastConnection_ = 0;
  std::unordered_map<uint64_t, Client> clients_;
  // Clients with queued requests, in the order they get their turns.
  std::deque<uint64_t> turns_;
  InFlight inFlight_;
  uint64_t nextTag_ = 1;
  size_t queuedPackets_ = 0;
};

}  // namespace zmqserver

#endif
