#ifndef TESTS_SIM_MODULE_TCPFRONT_H
#define TESTS_SIM_MODULE_TCPFRONT_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tests/sim/DescriptorIo.h"
#include "tests/sim/HeldPort.h"
#include "tests/sim/module/ModuleEngine.h"

namespace simmodule {

// A module on the network: listens on a loopback address and serves one
// host connection at a time (a new connection replaces the one before).
// The engine's disconnect fault resets the connection.
//
// The front can stop listening (a module gone from the network: connections
// are refused) and listen again on the same port (a module back after a
// restart). Once stopped, the port stays held by the front until it goes,
// so no other test's peer can be handed it meanwhile and answer a
// reconnect meant for this module.
class TcpFront {
 public:
  // port 0 picks a free one. Throws std::runtime_error when it cannot
  // listen.
  explicit TcpFront(ModuleEngine& engine, uint16_t port = 0, const std::string& bindAddress = "127.0.0.1");
  ~TcpFront();
  TcpFront(const TcpFront&) = delete;
  TcpFront& operator=(const TcpFront&) = delete;

  uint16_t port() const { return port_; }
  // The bound address in network order.
  uint32_t address() const { return address_; }

  // Ends the current connection: with a reset, or with an orderly close
  // (FIN; the socket itself is let go only at the next connection, so that
  // no reset follows while the host may still read). Returns once done.
  void disconnect(bool reset = true);

  // Connections to the port are refused from now on; the current one is
  // left as it is. Returns once done.
  void stopListening();
  // Listens on the same port again; false when it cannot. Returns once
  // done.
  bool listenAgain();

 private:
  void loop();
  // Runs a command on the loop's thread and waits for it.
  void runCommand(char what);
  void closeListener();
  bool openListener();
  void closeConnection(bool reset);
  void releaseFinished();  // with connectionMutex_ held
  void command(char what);

  ModuleEngine& engine_;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  int listener_ = -1;  // -1 while stopped; the loop's own after construction
  bool listening_ = false;  // the last listenAgain's result; under doneMutex_
  testsupport::HeldPort heldPort_;
  testsupport::WakePipe wake_;
  std::mutex connectionMutex_;  // guards connection_ for output
  int connection_ = -1;
  int finished_ = -1;  // closed in order, released later
  std::mutex doneMutex_;
  std::condition_variable doneCv_;
  uint64_t commandsDone_ = 0;
  uint64_t commandsSent_ = 0;
  std::thread thread_;
};

}  // namespace simmodule

#endif
