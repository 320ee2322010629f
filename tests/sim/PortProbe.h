#ifndef TESTS_SIM_PORTPROBE_H
#define TESTS_SIM_PORTPROBE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace testsupport {

// What a stranger on this machine finds at a loopback port: whether it can
// connect there, and whether it could take the port for a listener of its
// own, as another test's peer would.

inline sockaddr_in loopbackAt(uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  where.sin_port = htons(port);
  return where;
}

// A listener on 127.0.0.1 at a port the kernel picks, with the given
// backlog; its descriptor and *port, or -1 when it cannot be had.
inline int listenOnLoopback(int backlog, uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in where = loopbackAt(0);
  socklen_t size = sizeof where;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(where.sin_port);
  return fd;
}

// errno of connecting to 127.0.0.1:port, 0 when it connected.
inline int connectError(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return errno;
  }
  const sockaddr_in where = loopbackAt(port);
  const int error = connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 ? 0 : errno;
  close(fd);
  return error;
}

// errno of binding and listening on 127.0.0.1:port, with the socket option
// set first when it is not 0 (SO_REUSEADDR, as most servers do); 0 when
// the stranger got the port.
inline int listenError(uint16_t port, int option) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return errno;
  }
  const int on = 1;
  if (option != 0) {
    setsockopt(fd, SOL_SOCKET, option, &on, sizeof on);
  }
  const sockaddr_in where = loopbackAt(port);
  const int error =
      bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 && listen(fd, 1) == 0 ? 0 : errno;
  close(fd);
  return error;
}

}  // namespace testsupport

#endif
