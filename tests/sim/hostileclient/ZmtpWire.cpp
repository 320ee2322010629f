#include "tests/sim/hostileclient/ZmtpWire.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace hostile {

namespace {

constexpr uint8_t kFlagMore = 0x01;
constexpr uint8_t kFlagLong = 0x02;
constexpr uint8_t kFlagCommand = 0x04;
constexpr size_t kGreetingSize = 64;

int msLeft(Clock::time_point deadline) {
  const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 100));
}

bool pastDeadline(Clock::time_point deadline) { return Clock::now() >= deadline; }

// The head, then the body.
Bytes withHead(Bytes head, const Bytes& body) {
  head.reserve(head.size() + body.size());
  for (uint8_t byte : body) {
    head.push_back(byte);
  }
  return head;
}

}  // namespace

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

void closeWithReset(int fd) {
  linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd);
}

bool closeAndAwaitPeer(int fd, Clock::time_point deadline) {
  shutdown(fd, SHUT_WR);
  uint8_t buffer[4096];
  while (!pastDeadline(deadline)) {
    pollfd item{fd, POLLIN, 0};
    if (poll(&item, 1, msLeft(deadline)) <= 0) {
      continue;
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      close(fd);
      return true;
    }
  }
  close(fd);
  return false;
}

bool closedByServer(int fd, int timeoutMS) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMS);
  for (;;) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd item{fd, POLLIN, 0};
    if (poll(&item, 1, left > 0 ? static_cast<int>(left) : 0) <= 0) {
      return false;
    }
    uint8_t buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      return true;
    }
  }
}

Bytes greeting() {
  Bytes bytes(kGreetingSize, 0);
  bytes[0] = 0xFF;
  bytes[9] = 0x7F;
  bytes[10] = 3;  // major
  bytes[11] = 0;  // minor
  memcpy(&bytes[12], "NULL", 4);
  return bytes;
}

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
  return withHead({kFlagCommand, static_cast<uint8_t>(body.size())}, body);
}

Bytes messageFrame(const Bytes& body) {
  if (body.size() <= UINT8_MAX) {
    return withHead({0x00, static_cast<uint8_t>(body.size())}, body);
  }
  Bytes head{kFlagLong};
  for (int shift = 56; shift >= 0; shift -= 8) {
    head.push_back(static_cast<uint8_t>(static_cast<uint64_t>(body.size()) >> shift));
  }
  return withHead(std::move(head), body);
}

Bytes packet(uint8_t address, const Bytes& data) {
  return withHead({address, static_cast<uint8_t>(data.size())}, data);
}

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
    if (pastDeadline(deadline)) {
      return false;
    }
    pollfd item{fd, POLLOUT, 0};
    poll(&item, 1, msLeft(deadline));
  }
  return true;
}

bool receiveBytes(int fd, size_t count, Clock::time_point deadline, Bytes* into) {
  size_t done = 0;
  uint8_t buffer[4096];
  while (done < count) {
    if (pastDeadline(deadline)) {
      return false;
    }
    pollfd item{fd, POLLIN, 0};
    if (poll(&item, 1, msLeft(deadline)) < 0 && errno != EINTR) {
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

namespace {

// One frame: its flags and body.
bool receiveFrame(int fd, Clock::time_point deadline, uint8_t* flags, Bytes* body) {
  Bytes head;
  if (!receiveBytes(fd, 1, deadline, &head)) {
    return false;
  }
  *flags = head[0];
  const size_t sizeBytes = (*flags & kFlagLong) != 0 ? 8 : 1;
  Bytes sizeField;
  if (!receiveBytes(fd, sizeBytes, deadline, &sizeField)) {
    return false;
  }
  uint64_t size = 0;
  for (uint8_t byte : sizeField) {
    size = (size << 8) | byte;
  }
  body->clear();
  return size == 0 || receiveBytes(fd, static_cast<size_t>(size), deadline, body);
}

}  // namespace

bool handshake(int fd, Clock::time_point deadline) {
  if (!sendUntil(fd, greeting(), deadline) || !receiveBytes(fd, kGreetingSize, deadline) ||
      !sendUntil(fd, readyCommand(), deadline)) {
    return false;
  }
  uint8_t flags = 0;
  Bytes body;
  return receiveFrame(fd, deadline, &flags, &body) && (flags & kFlagCommand) != 0;
}

std::optional<Bytes> receiveMessage(int fd, Clock::time_point deadline) {
  for (;;) {
    uint8_t flags = 0;
    Bytes body;
    if (!receiveFrame(fd, deadline, &flags, &body)) {
      return std::nullopt;
    }
    if ((flags & kFlagCommand) == 0 && (flags & kFlagMore) == 0) {
      return body;
    }
  }
}

}  // namespace hostile
