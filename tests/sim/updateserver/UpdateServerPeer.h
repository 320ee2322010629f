#ifndef TESTS_SIM_UPDATESERVER_UPDATESERVERPEER_H
#define TESTS_SIM_UPDATESERVER_UPDATESERVERPEER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/HeldPort.h"
#include "tests/sim/updateserver/UpdateServerFaults.h"
#include "tests/sim/updateserver/UpdateServerModel.h"

namespace testsupport {

// One request as it reached the simulated server.
struct RecordedRequest {
  std::string method;
  std::string target;     // exactly as on the request line, nothing decoded
  std::string version;    // "HTTP/1.1"
  std::string op;         // the decoded op value, empty when none
  std::string violation;  // the protocol rule the request broke, empty when none
};

// A simulated update server: HTTP/1.1 on 127.0.0.1, answering the update
// server's queries from a model, with switches for the ways a real server
// or network fails. One server thread accepts and serves connections one at
// a time (the client makes one request at a time); every reply closes its
// connection. Every wait of the thread also watches a wake-up pipe, so
// stop() ends a delay or a stall at once.
class UpdateServerPeer {
 public:
  explicit UpdateServerPeer(UpdateServerModel model = UpdateServerModel());
  ~UpdateServerPeer();
  UpdateServerPeer(const UpdateServerPeer&) = delete;
  UpdateServerPeer& operator=(const UpdateServerPeer&) = delete;

  // Binds 127.0.0.1 on the port (0: an ephemeral one) and starts the server
  // thread. Throws std::runtime_error when the socket cannot be set up.
  void start(uint16_t port = 0);
  // Wakes and joins the server thread and closes the sockets; a connection
  // being served is dropped. The port stays held (connections to it are
  // refused) until the peer is destroyed. Safe to call more than once.
  void stop();

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>/cgi/u"
  std::string url() const;

  void setModel(UpdateServerModel model);
  void setFaults(const UpdateServerFaults& faults);
  // Called on the server thread for each request as soon as it is read,
  // before it is answered. Set it before start().
  void setObserver(std::function<void(const RecordedRequest&)> observer);

  std::vector<RecordedRequest> requests() const;
  std::vector<std::string> targets() const;
  void clearRequests();

 private:
  void run();
  void serve(int client);
  bool readHead(int client, std::string* head);
  bool sendAll(int client, const std::string& bytes);
  bool waitWake(int client, int timeoutMs);
  void waitForHangUp(int client);
  void sendTrickling(int client, const std::string& body, int bytesPerSecond);

  HeldPort heldPort_;
  int listenFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::function<void(const RecordedRequest&)> observer_;

  mutable std::mutex mutex_;  // guards the fields below
  std::shared_ptr<const UpdateServerModel> model_;
  UpdateServerFaults faults_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace testsupport

#endif
