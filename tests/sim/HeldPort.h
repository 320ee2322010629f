#ifndef TESTS_SIM_HELDPORT_H
#define TESTS_SIM_HELDPORT_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace testsupport {

// A TCP port kept after its peer stopped listening. A freed port goes back
// to the pool the system hands out for bind(0), so another test's peer can
// get it within moments, and a client this test expects to be refused (a
// reconnect that keeps trying) would reach that stranger instead. The
// holder is a second socket bound to the same address that never listens:
// connections to it are refused, and the port is nobody else's until the
// holder goes.
//
// The holder can share the address with the listener, and with the
// listener's connections still in TIME_WAIT, only through SO_REUSEPORT,
// which the listener must have had before it bound (allowPortHold). The
// holder itself has no SO_REUSEADDR, so no socket can bind the port with
// that option either; only one of the same user with SO_REUSEPORT can,
// which is how a peer listens again on its own port.

// Call on a listening socket before its bind, so that a HeldPort can take
// its port later. False when the option cannot be set.
inline bool allowPortHold(int socket) {
  int on = 1;
  return setsockopt(socket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0;
}

class HeldPort {
 public:
  HeldPort() = default;
  ~HeldPort() { release(); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;

  // Holds the address the bound socket has; call it before closing that
  // socket. False (nothing held) when the port cannot be shared.
  bool take(int socket) {
    sockaddr_storage where{};
    socklen_t length = sizeof where;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
      return false;
    }
    int holder = ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (holder < 0) {
      return false;
    }
    if (!allowPortHold(holder) || bind(holder, reinterpret_cast<const sockaddr*>(&where), length) != 0) {
      close(holder);
      return false;
    }
    holders_.push_back(holder);
    return true;
  }

  // Lets every held port go.
  void release() {
    for (int holder : holders_) {
      close(holder);
    }
    holders_.clear();
  }

 private:
  std::vector<int> holders_;
};

}  // namespace testsupport

#endif
