#ifndef TESTS_SIM_TCPPEER_H
#define TESTS_SIM_TCPPEER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/sim/HeldPort.h"

namespace testsupport {

// A TCP server on 127.0.0.1 standing in for a module: it accepts one
// connection at a time, talks on it, and can end it the ways a far side
// does (orderly close, reset), stop reading, or stop listening and listen
// again on the same port. Used from one thread at a time.
class TcpPeer {
 public:
  // receiveBuffer > 0 makes accepted connections' receive buffers that
  // small, so a peer that stops reading backs the sender up sooner.
  explicit TcpPeer(int receiveBuffer = 0);  // throws std::runtime_error
  ~TcpPeer();
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  // 127.0.0.1 in network order, and the listening port in host order.
  static uint32_t address();
  uint16_t port() const { return port_; }

  // Takes the next connection, waiting up to timeoutMS; the one before it,
  // if any, is dropped (reset). False when none came.
  bool accept(int timeoutMS);
  int acceptedCount() const { return accepted_; }
  bool connected() const { return connection_ >= 0; }

  bool send(const std::string& bytes) const;
  // Up to count bytes, waiting up to timeoutMS for all of them; fewer when
  // the connection ends or the time is up.
  std::string receive(size_t count, int timeoutMS) const;

  // Orderly close (FIN): no more bytes from this side. The socket itself is
  // let go later, so no reset follows the FIN while the test runs.
  void closeWithFin();
  // Abortive close (RST), by SO_LINGER with a zero time.
  void closeWithReset();

  // Connections to the port are refused from then on; the port stays held
  // for the peer, so nobody else can listen there meanwhile.
  void stopListening();
  // Listens on the same port again.
  bool listenAgain();

 private:
  bool listenOn(uint16_t port);

  int receiveBuffer_;
  int listener_ = -1;
  int connection_ = -1;
  int finished_ = -1;  // a connection closed with FIN, released later
  uint16_t port_ = 0;
  int accepted_ = 0;
  HeldPort heldPort_;
};

}  // namespace testsupport

#endif
