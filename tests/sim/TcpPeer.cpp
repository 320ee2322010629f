#include "tests/sim/TcpPeer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/sim/DescriptorIo.h"
#include "tests/sim/HeldPort.h"

namespace testsupport {

namespace {

void closeIfOpen(int& descriptor) {
  if (descriptor >= 0) {
    close(descriptor);
    descriptor = -1;
  }
}

void resetAndClose(int& descriptor) {
  if (descriptor >= 0) {
    linger abortive{1, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    closeIfOpen(descriptor);
  }
}

}  // namespace

TcpPeer::TcpPeer(int receiveBuffer) : receiveBuffer_(receiveBuffer) {
  if (!listenOn(0)) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
}

TcpPeer::~TcpPeer() {
  resetAndClose(connection_);
  resetAndClose(finished_);
  closeIfOpen(listener_);
}

uint32_t TcpPeer::address() { return htonl(INADDR_LOOPBACK); }

bool TcpPeer::listenOn(uint16_t port) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) {
    return false;
  }
  int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  allowPortHold(listener_);
  if (receiveBuffer_ > 0) {
    // Set before listen so the window offered to the connecting side is
    // small from the start.
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof receiveBuffer_);
  }
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = address();
  where.sin_port = htons(port);
  socklen_t length = sizeof where;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(listener_, 8) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
    closeIfOpen(listener_);
    return false;
  }
  port_ = ntohs(where.sin_port);
  return true;
}

bool TcpPeer::accept(int timeoutMS) {
  if (listener_ < 0) {
    return false;
  }
  pollfd entry{listener_, POLLIN, 0};
  if (poll(&entry, 1, timeoutMS) <= 0) {
    return false;
  }
  int fresh = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fresh < 0) {
    return false;
  }
  resetAndClose(connection_);
  connection_ = fresh;
  ++accepted_;
  return true;
}

bool TcpPeer::send(const std::string& bytes) const { return writeAll(connection_, bytes.data(), bytes.size(), true); }

std::string TcpPeer::receive(size_t count, int timeoutMS) const {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMS);
  std::string got;
  while (got.size() < count && connection_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left < 0) {
      break;
    }
    pollfd entry{connection_, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready <= 0) {
      if (ready == 0 && left == 0) {
        break;
      }
      continue;
    }
    char buffer[65536];
    size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
    ssize_t n = recv(connection_, buffer, want, 0);
    if (n <= 0) {
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

void TcpPeer::closeWithFin() {
  if (connection_ >= 0) {
    shutdown(connection_, SHUT_WR);
    resetAndClose(finished_);
    finished_ = connection_;
    connection_ = -1;
  }
}

void TcpPeer::closeWithReset() { resetAndClose(connection_); }

void TcpPeer::stopListening() {
  // Connections to the port are refused from now on, rather than reaching
  // another test's peer that was given the freed port.
  if (listener_ >= 0 && !heldPort_.take(listener_)) {
    throw std::runtime_error("cannot keep the port of the stopped peer");
  }
  closeIfOpen(listener_);
}

bool TcpPeer::listenAgain() {
  closeIfOpen(listener_);
  return listenOn(port_);
}

}  // namespace testsupport
