#include "tests/sim/legacydiscovery/LegacyDiscoveryPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr const char* kGroup = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kDatagram = 16;

in_addr parse(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
    throw std::runtime_error("not an IPv4 address: " + text);
  }
  return address;
}

// A UDP socket bound to address:port.
int boundSocket(in_addr address, uint16_t port, bool reuse) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  int on = 1;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr = address;
  where.sin_port = htons(port);
  if ((reuse && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) ||
      bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool isRequest(const uint8_t* bytes, ssize_t length) {
  if (length != static_cast<ssize_t>(kDatagram) || bytes[0] != 1) {
    return false;
  }
  for (size_t i = 1; i < kDatagram; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

LegacyDiscoveryPeer::Answer legacyAnswer(uint8_t moduleAddress, uint16_t port, uint32_t serial, uint8_t model) {
  LegacyDiscoveryPeer::Answer answer;
  answer.moduleAddress = moduleAddress;
  answer.port = port;
  answer.serial = serial;
  answer.model = model;
  return answer;
}

std::string legacyAnswerBytes(const LegacyDiscoveryPeer::Answer& answer) {
  std::string bytes(kDatagram, '\0');
  bytes[1] = static_cast<char>(answer.moduleAddress);
  bytes[2] = static_cast<char>(answer.port & 0xFF);
  bytes[3] = static_cast<char>(answer.port >> 8);
  for (int i = 0; i < 4; ++i) {
    bytes[4 + i] = static_cast<char>((answer.serial >> (8 * i)) & 0xFF);
  }
  bytes[12] = static_cast<char>(answer.model);
  return bytes;
}

bool sendToReplyPort(const std::string& sourceAddress, const std::string& destination, const std::string& bytes) {
  int fd = boundSocket(parse(sourceAddress), 0, false);
  if (fd < 0) {
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = parse(destination);
  to.sin_port = htons(kReplyPort);
  bool sent = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
              static_cast<ssize_t>(bytes.size());
  close(fd);
  return sent;
}

LegacyDiscoveryPeer::LegacyDiscoveryPeer(const std::string& interfaceAddress, const std::string& sourceAddress,
                                         const Answer& answer)
    : answer_(answer) {
  ip_mreq membership{};
  membership.imr_multiaddr = parse(kGroup);
  membership.imr_interface = parse(interfaceAddress);
  in_addr any{};
  any.s_addr = htonl(INADDR_ANY);
  listener_ = boundSocket(any, kRequestPort, true);
  sender_ = boundSocket(parse(sourceAddress), 0, false);
  stop_ = eventfd(0, EFD_CLOEXEC);
  if (listener_ < 0 || sender_ < 0 || stop_ < 0 ||
      setsockopt(listener_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    for (int fd : {listener_, sender_, stop_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
    throw std::runtime_error("the legacy discovery peer cannot listen on " + interfaceAddress);
  }
  thread_ = std::thread([this] { serve(); });
}

LegacyDiscoveryPeer::~LegacyDiscoveryPeer() {
  uint64_t one = 1;
  while (write(stop_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
  close(listener_);
  close(sender_);
  close(stop_);
}

void LegacyDiscoveryPeer::serve() {
  const std::string reply = legacyAnswerBytes(answer_).substr(0, answer_.length);
  for (;;) {
    pollfd watch[2] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (poll(watch, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (watch[1].revents != 0) {
      return;
    }
    uint8_t request[64];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t length = recvfrom(listener_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (!isRequest(request, length)) {
      ++others_;
      continue;
    }
    ++requests_;
    if (!waitUnlessStopped(answer_.delayMS)) {
      return;
    }
    from.sin_port = htons(kReplyPort);
    for (const std::string& datagram : answer_.before) {
      sendto(sender_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    for (int i = 0; i < answer_.repeats; ++i) {
      sendto(sender_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
  }
}

// Waits ms or until the peer is stopped; false when it was stopped.
bool LegacyDiscoveryPeer::waitUnlessStopped(int ms) {
  if (ms <= 0) {
    return true;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return true;
    }
    pollfd watch{stop_, POLLIN, 0};
    int ready = poll(&watch, 1, static_cast<int>(left.count()));
    if (ready > 0) {
      return false;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

}  // namespace testsupport
