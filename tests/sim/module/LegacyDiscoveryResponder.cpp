#include "tests/sim/module/LegacyDiscoveryResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace simmodule {

namespace {

constexpr const char* kGroup = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kDatagram = 16;

}  // namespace

LegacyDiscoveryResponder::LegacyDiscoveryResponder(const std::string& interfaceAddress, const Identity& identity)
    : identity_(identity) {
  in_addr local{};
  if (inet_pton(AF_INET, interfaceAddress.c_str(), &local) != 1) {
    throw std::runtime_error("bad interface address " + interfaceAddress);
  }
  socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    throw std::runtime_error("no UDP socket");
  }
  int on = 1;
  setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(kRequestPort);
  where.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq membership{};
  inet_pton(AF_INET, kGroup, &membership.imr_multiaddr);
  membership.imr_interface = local;
  if (bind(socket_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0) {
    close(socket_);
    throw std::runtime_error("the discovery responder cannot listen");
  }
  thread_ = std::thread([this] { loop(); });
}

LegacyDiscoveryResponder::~LegacyDiscoveryResponder() {
  const char quit = 'q';
  while (write(wake_[1], &quit, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  close(socket_);
  close(wake_[0]);
  close(wake_[1]);
}

size_t LegacyDiscoveryResponder::requests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
}

void LegacyDiscoveryResponder::loop() {
  for (;;) {
    pollfd watch[2] = {{socket_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
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
    const ssize_t n = recvfrom(socket_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n != static_cast<ssize_t>(kDatagram) || request[0] != 1) {
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(mutex_);
      ++requests_;
    }
    uint8_t reply[kDatagram] = {0};
    reply[1] = identity_.moduleAddress;
    reply[2] = static_cast<uint8_t>(identity_.port);
    reply[3] = static_cast<uint8_t>(identity_.port >> 8);
    for (int i = 0; i < 4; ++i) {
      reply[4 + i] = static_cast<uint8_t>(identity_.serial >> (8 * i));
    }
    reply[12] = identity_.model;
    from.sin_port = htons(kReplyPort);
    sendto(socket_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }
}

}  // namespace simmodule
