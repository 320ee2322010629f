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
//   depart PORT TRIALS LEFT ADDRESS
//       A client that leaves LEFT requests behind and one that connects at
//       once after it, TRIALS times (HostileModes.h).
//   refuse PORT TRIALS ADDRESS
//       Connections beyond the server's limit while holders leave and new
//       clients take their places, TRIALS times (HostileModes.h).
//
// Output lines are flushed at once so that a test can follow them.

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/DescriptorIo.h"
#include "tests/sim/hostileclient/HostileModes.h"
#include "tests/sim/hostileclient/ZmtpWire.h"

namespace {

using namespace hostile;

constexpr uint8_t kEchoCommand = 23;
constexpr int kCloseWaitMS = 5000;
constexpr int kFloodLimitSeconds = 60;

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
  if (!handshake(fd, deadline)) {
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
  if (mode == "depart" && argc == 6) {
    return runDepart(static_cast<uint16_t>(number(argv[2])), number(argv[3]), number(argv[4]),
                     static_cast<uint8_t>(number(argv[5])));
  }
  if (mode == "refuse" && argc == 5) {
    return runRefusals(static_cast<uint16_t>(number(argv[2])), number(argv[3]), static_cast<uint8_t>(number(argv[4])));
  }
  fprintf(stderr,
          "usage: sim-hostile-client idle PORT COUNT HOLD_MS | garbage PORT COUNT SEED | flood PORT COUNT HOLD_MS "
          "ADDRESS | depart PORT TRIALS LEFT ADDRESS | refuse PORT TRIALS ADDRESS\n");
  return 2;
}
