#ifndef BENCHMARKS_BENCHSUPPORT_H
#define BENCHMARKS_BENCHSUPPORT_H

// What the benchmarks share: the connection of a raw client, and the
// process's processor time.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

// A blocking TCP connection with Nagle off to an address and port (network
// and host order), as a raw client uses it; -1 when it cannot be made.
inline int connectRawClient(uint32_t address, uint16_t port) {
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0) {
    return -1;
  }
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  where.sin_addr.s_addr = address;
  int on = 1;
  if (connect(descriptor, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
      setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}

// Processor time of the whole process (every thread, modules included).
inline double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

#endif
