#include "tests/sim/hostileclient/HostileModes.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <deque>

#include "tests/sim/hostileclient/ZmtpWire.h"

namespace hostile {

namespace {

constexpr uint8_t kEchoCommand = 23;
constexpr uint8_t kStreamCommand = 93;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kAllOf = 0xFF;
constexpr uint8_t kStreamedFlag = 0x40;  // in a sample's third data byte
// Tags in the first echo byte: whose request an answer is.
constexpr uint8_t kTagLeaving = 0xA0;
constexpr uint8_t kTagStaying = 0xB0;
constexpr uint8_t kTagHolder = 0xC0;
constexpr auto kAnswerWait = std::chrono::seconds(3);
constexpr size_t kMaxConnections = 4096;

void line(const char* format, size_t value) {
  printf(format, value);
  putchar('\n');
  fflush(stdout);
}

Bytes echo(uint8_t address, uint8_t tag, size_t n) {
  return packet(address, {kEchoCommand, tag, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
}

// Until the server has sent something on the connection, or closed it.
void awaitServer(int fd, Clock::time_point deadline) {
  pollfd item{fd, POLLIN, 0};
  while (Clock::now() < deadline && poll(&item, 1, 100) == 0) {
  }
}

// A connection that completes the handshake and gets its echo answered.
bool served(int fd, uint8_t address, size_t n) {
  const Clock::time_point deadline = Clock::now() + kAnswerWait;
  const Bytes request = echo(address, kTagHolder, n);
  if (!handshake(fd, deadline) || !sendUntil(fd, messageFrame(request), deadline)) {
    return false;
  }
  while (auto message = receiveMessage(fd, deadline)) {
    if (*message == request) {
      return true;
    }
  }
  return false;
}

struct StayingClient {
  bool ack = false;
  bool answer = false;
  bool stream = false;
  bool misrouted = false;
};

StayingClient stay(uint16_t port, size_t trial, uint8_t address) {
  StayingClient result;
  const Clock::time_point deadline = Clock::now() + kAnswerWait;
  const int fd = connectTo(port);
  if (fd < 0) {
    return result;
  }
  const Bytes subscribe = packet(address, {kStreamCommand, kStreamEnable, 0x20, address, kAllOf, kAllOf, kAllOf});
  const Bytes request = echo(address, kTagStaying, trial);
  Bytes both = messageFrame(subscribe);
  const Bytes second = messageFrame(request);
  both.insert(both.end(), second.begin(), second.end());
  if (handshake(fd, deadline) && sendUntil(fd, both, deadline)) {
    while (!(result.ack && result.answer && result.stream)) {
      const auto message = receiveMessage(fd, deadline);
      if (!message) {
        break;
      }
      const Bytes& m = *message;
      if (m.size() >= 4 && m[0] == address && m[2] == kStreamCommand) {
        result.ack = true;
      } else if (m == request) {
        result.answer = true;
      } else if (m.size() >= 4 && m[2] == kEchoCommand && m[3] == kTagLeaving) {
        result.misrouted = true;
      } else if (m.size() >= 5 && (m[4] & kStreamedFlag) != 0) {
        result.stream = true;
      }
    }
  }
  close(fd);
  return result;
}

}  // namespace

int runDepart(uint16_t port, size_t trials, size_t left, uint8_t address) {
  size_t good = 0;
  size_t noAck = 0;
  size_t noAnswer = 0;
  size_t noStream = 0;
  size_t misrouted = 0;
  for (size_t trial = 0; trial < trials; ++trial) {
    const int leaving = connectTo(port);
    if (leaving < 0 || !handshake(leaving, Clock::now() + kAnswerWait)) {
      fprintf(stderr, "depart: trial %zu: the leaving client could not connect\n", trial);
      return 1;
    }
    Bytes requests;
    for (size_t n = 0; n < left; ++n) {
      const Bytes frame = messageFrame(echo(address, kTagLeaving, n));
      requests.insert(requests.end(), frame.begin(), frame.end());
    }
    sendUntil(leaving, requests, Clock::now() + kAnswerWait);
    close(leaving);

    const StayingClient b = stay(port, trial, address);
    good += b.ack && b.answer && b.stream && !b.misrouted ? 1 : 0;
    noAck += b.ack ? 0 : 1;
    noAnswer += b.answer ? 0 : 1;
    noStream += b.stream ? 0 : 1;
    misrouted += b.misrouted ? 1 : 0;
  }
  line("served %zu", good);
  line("no-ack %zu", noAck);
  line("no-answer %zu", noAnswer);
  line("no-stream %zu", noStream);
  line("misrouted %zu", misrouted);
  return 0;
}

int runRefusals(uint16_t port, size_t trials, uint8_t address) {
  std::deque<int> holders;
  size_t n = 0;
  while (holders.size() < kMaxConnections) {
    const int fd = connectTo(port);
    if (fd < 0) {
      break;
    }
    if (!served(fd, address, n++)) {
      close(fd);
      break;
    }
    holders.push_back(fd);
  }
  line("limit %zu", holders.size());
  if (holders.empty()) {
    return 1;
  }

  size_t unserved = 0;
  for (size_t trial = 0; trial < trials; ++trial) {
    const Clock::time_point deadline = Clock::now() + kAnswerWait;
    // Beyond the limit. The server's greeting (or its close) shows that
    // libzmq has accepted it, so its accept is reported before anything
    // below; it leaves, and once the server has closed its end, its
    // descriptor number is free for the next connection, while the
    // server's refusal of it may still be pending.
    const int beyond = connectTo(port);
    if (beyond >= 0) {
      awaitServer(beyond, deadline);
      closeAndAwaitPeer(beyond, deadline);
    }
    // The newest holder leaves; once the server has closed its end, its
    // departure is reported too, so the next connection has a place.
    const int leaving = holders.back();
    holders.pop_back();
    closeAndAwaitPeer(leaving, deadline);
    const int next = connectTo(port);
    if (next >= 0 && served(next, address, n++)) {
      holders.push_back(next);
    } else {
      ++unserved;
      if (next >= 0) {
        close(next);
      }
    }
  }

  size_t dead = 0;
  for (int fd : holders) {
    const Bytes request = echo(address, kTagHolder, n++);
    const Clock::time_point deadline = Clock::now() + kAnswerWait;
    bool answered = false;
    if (sendUntil(fd, messageFrame(request), deadline)) {
      while (auto message = receiveMessage(fd, deadline)) {
        if (*message == request) {
          answered = true;
          break;
        }
      }
    }
    dead += answered ? 0 : 1;
    close(fd);
  }
  line("unserved %zu", unserved);
  line("dead %zu", dead);
  return 0;
}

}  // namespace hostile
