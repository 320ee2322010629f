// sim-hostile-client MODE PORT ARGS...: hostile clients of a ZeroMQ ROUTER
// on 127.0.0.1:PORT, written from the ZeroMQ wire protocol (ZMTP) rather
// than with libzmq, so that they can break its rules.
//
//   idle PORT COUNT HOLD_MS
//       COUNT TCP connections that never send a byte, held HOLD_MS. Prints
//       "open N" once connected, then "closed N" for those the server
//       closed meanwhile.
//   garbage PORT COUNT SEED
//       COUNT connections, each sending bytes of no current protocol: the
//       first a third frames of the unversioned 1.0 protocol holding module
//       packets, the next third a ZMTP 3 greeting followed by random bytes
//       instead of its handshake, the rest random bytes. Waits up to 5 s for
//       the server to close each; prints "closed N".
//   flood PORT COUNT HOLD_MS ADDRESS
//       One connection that completes a ZMTP 3.0 handshake as a DEALER and
//       sends COUNT echo requests to the module at ADDRESS as fast as the
//       server takes them (at most 60 s), never reading. Prints "sent N",
//       then holds the connection HOLD_MS.
//
// Output lines are flushed at once so that a test can follow them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/DescriptorIo.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kEchoCommand = 23;
constexpr int kCloseWaitMS = 5000;
constexpr int kFloodLimitSeconds = 60;

int connectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &where.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the server has closed the connection: end of stream or an error
// on reading (bytes it sent, its greeting, are read and dropped).
bool closedByServer(int fd, int timeoutMS) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMS);
  for (;;) {
    const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    pollfd item{fd, POLLIN, 0};
    if (poll(&item, 1, left > 0 ? left : 0) <= 0) {
      return false;
    }
    uint8_t buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      return true;
    }
  }
}

// A 64-byte ZMTP 3.0 greeting offering the NULL mechanism, as a client.
Bytes greeting() {
  Bytes bytes(64, 0);
  bytes[0] = 0xFF;
  bytes[9] = 0x7F;
  bytes[10] = 3;  // major
  bytes[11] = 0;  // minor
  memcpy(&bytes[12], "NULL", 4);
  return bytes;
}

// The NULL mechanism's READY command with the socket type.
Bytes readyCommand() {
  Bytes body{5, 'R', 'E', 'A', 'D', 'Y'};
  const std::string name = "Socket-Type";
  const std::string value = "DEALER";
  body.push_back(static_cast<uint8_t>(name.size()));
  body.insert(body.end(), name.begin(), name.end());
  const uint32_t size = htonl(static_cast<uint32_t>(value.size()));
  const uint8_t* sizeBytes = reinterpret_cast<const uint8_t*>(&size);
  body.insert(body.end(), sizeBytes, sizeBytes + 4);
  body.insert(body.end(), value.begin(), value.end());
  Bytes frame{0x04, static_cast<uint8_t>(body.size())};  // short command frame
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

// A packet's wire form: address, length, data.
Bytes packet(uint8_t address, const Bytes& data) {
  Bytes bytes{address, static_cast<uint8_t>(data.size())};
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

uint32_t nextRandom(uint32_t* state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

void line(const char* format, size_t value) {
  printf(format, value);
  putchar('\n');
  fflush(stdout);
}

int runIdle(uint16_t port, size_t count, int holdMS) {
  std::vector<int> fds;
  for (size_t i = 0; i < count; ++i) {
    const int fd = connectTo(port);
    if (fd >= 0) {
      fds.push_back(fd);
    }
  }
  line("open %zu", fds.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMS));
  size_t closed = 0;
  for (int fd : fds) {
    closed += closedByServer(fd, 0) ? 1 : 0;
    close(fd);
  }
  line("closed %zu", closed);
  return 0;
}

int runGarbage(uint16_t port, size_t count, uint32_t seed) {
  uint32_t state = seed != 0 ? seed : 1;
  std::vector<int> fds;
  for (size_t i = 0; i < count; ++i) {
    const int fd = connectTo(port);
    if (fd < 0) {
      continue;
    }
    Bytes bytes;
    if (i % 3 == 0) {
      // Unversioned frames: [length = body + 1][flags][body]; an identity,
      // then echo requests and a force-route packet.
      const Bytes frames{2, 0, 'A', 5, 0, 6, 2, kEchoCommand, 1, 5, 0, 6, 2, kEchoCommand, 2, 4, 0, 0xAF, 1, 1};
      bytes = frames;
    } else if (i % 3 == 1) {
      bytes = greeting();
    }
    const size_t randomBytes = 16 + nextRandom(&state) % 200;
    for (size_t n = 0; n < randomBytes; ++n) {
      bytes.push_back(static_cast<uint8_t>(nextRandom(&state)));
    }
    if (i % 3 == 2 && bytes[0] == 0xFF) {
      bytes[0] = 0x01;  // a short frame, taken for the old protocol
    }
    testsupport::writeAll(fd, bytes.data(), bytes.size(), true);
    fds.push_back(fd);
  }
  size_t closed = 0;
  for (int fd : fds) {
    closed += closedByServer(fd, kCloseWaitMS) ? 1 : 0;
    close(fd);
  }
  line("closed %zu", closed);
  return 0;
}

// Sends all bytes, waiting while the server does not take them, until the
// deadline; false when the connection failed or the time ran out.
bool sendUntil(int fd, const Bytes& bytes, Clock::time_point deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd item{fd, POLLOUT, 0};
    poll(&item, 1, static_cast<int>(left < 100 ? left : 100));
  }
  return true;
}

// Reads exactly count bytes before the deadline.
bool receiveBytes(int fd, size_t count, Clock::time_point deadline, Bytes* into = nullptr) {
  size_t done = 0;
  uint8_t buffer[256];
  while (done < count) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd item{fd, POLLIN, 0};
    if (left <= 0 || poll(&item, 1, static_cast<int>(left < 100 ? left : 100)) < 0) {
      return false;
    }
    const size_t want = std::min(sizeof buffer, count - done);
    const ssize_t n = recv(fd, buffer, want, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      return false;
    }
    if (n > 0) {
      if (into != nullptr) {
        into->insert(into->end(), buffer, buffer + n);
      }
      done += static_cast<size_t>(n);
    }
  }
  return true;
}

// One short command frame of the peer (its READY): flags, size, body.
bool receiveCommand(int fd, Clock::time_point deadline) {
  Bytes head;
  if (!receiveBytes(fd, 2, deadline, &head) || (head[0] & 0x04) == 0 || (head[0] & 0x02) != 0) {
    return false;
  }
  return receiveBytes(fd, head[1], deadline);
}

int runFlood(uint16_t port, size_t count, int holdMS, uint8_t address) {
  const int fd = connectTo(port);
  if (fd < 0) {
    fprintf(stderr, "flood: cannot connect to port %u\n", port);
    return 1;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kFloodLimitSeconds);
  // The handshake step by step, as libzmq's own peers take it: greeting
  // for greeting, then READY for READY. Only then does the flood start and
  // the reading stop.
  const Bytes ready = readyCommand();
  if (!sendUntil(fd, greeting(), deadline) || !receiveBytes(fd, 64, deadline) || !sendUntil(fd, ready, deadline) ||
      !receiveCommand(fd, deadline)) {
    fprintf(stderr, "flood: handshake failed\n");
    close(fd);
    return 1;
  }
  // Requests in batches: one send call carries many frames.
  constexpr size_t kBatch = 256;
  size_t sent = 0;
  Bytes batch;
  while (sent < count) {
    batch.clear();
    size_t inBatch = 0;
    for (; inBatch < kBatch && sent + inBatch < count; ++inBatch) {
      const uint32_t n = static_cast<uint32_t>(sent + inBatch);
      const Bytes request = packet(address, {kEchoCommand, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                                             static_cast<uint8_t>(n)});
      batch.push_back(0x00);  // a short final frame
      batch.push_back(static_cast<uint8_t>(request.size()));
      batch.insert(batch.end(), request.begin(), request.end());
    }
    if (!sendUntil(fd, batch, deadline)) {
      fprintf(stderr, "flood: stopped after %zu requests: %s\n", sent, strerror(errno));
      break;
    }
    sent += inBatch;
  }
  line("sent %zu", sent);
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMS));
  close(fd);
  return 0;
}

// A test may have lowered its own descriptor limit, which this process
// inherits; the hostile side is not bound by the server's limit.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

unsigned long number(const char* text) { return strtoul(text, nullptr, 0); }

}  // namespace

int main(int argc, char** argv) {
  raiseDescriptorLimit();
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "idle" && argc == 5) {
    return runIdle(static_cast<uint16_t>(number(argv[2])), number(argv[3]), static_cast<int>(number(argv[4])));
  }
  if (mode == "garbage" && argc == 5) {
    return runGarbage(static_cast<uint16_t>(number(argv[2])), number(argv[3]), static_cast<uint32_t>(number(argv[4])));
  }
  if (mode == "flood" && argc == 6) {
    return runFlood(static_cast<uint16_t>(number(argv[2])), number(argv[3]), static_cast<int>(number(argv[4])),
                    static_cast<uint8_t>(number(argv[5])));
  }
  fprintf(stderr,
          "usage: sim-hostile-client idle PORT COUNT HOLD_MS | garbage PORT COUNT SEED | flood PORT COUNT HOLD_MS "
          "ADDRESS\n");
  return 2;
}
