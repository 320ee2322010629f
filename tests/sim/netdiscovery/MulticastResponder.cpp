#include "tests/sim/netdiscovery/MulticastResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace netsim {

namespace {

constexpr int kSlots = 50;
constexpr uint16_t kRequestPortBase = 9850;
constexpr uint16_t kReplyPortBase = 9950;
constexpr uint32_t kRequestMagic = 0xABCDDCBA;
const char* const kGroup = "224.0.0.7";
const char* const kLoopback = "127.0.0.1";

in_addr ipv4(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

// Bound to any address with the port, reuse off, member of the group on the
// loopback interface: the port stays ours alone.
int openReceiver(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  int off = 0;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  ip_mreq membership{};
  membership.imr_multiaddr = ipv4(kGroup);
  membership.imr_interface = ipv4(kLoopback);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int openSender() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  in_addr loopback = ipv4(kLoopback);
  int ttl = 1;
  int loop = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof(loopback)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

MulticastResponder::MulticastResponder(Options options) : options_(std::move(options)) {}

MulticastResponder::~MulticastResponder() { stop(); }

bool MulticastResponder::start() {
  // The first request port that nobody holds is this server's slot; its
  // reply port is where answers go.
  for (int slot = 0; slot < kSlots && receiver_ < 0; ++slot) {
    receiver_ = openReceiver(static_cast<uint16_t>(kRequestPortBase + slot));
    if (receiver_ >= 0) slot_ = slot;
  }
  sender_ = openSender();
  stopEvent_ = eventfd(0, EFD_CLOEXEC);
  if (receiver_ < 0 || sender_ < 0 || stopEvent_ < 0) {
    stop();
    return false;
  }
  thread_ = std::thread([this] { serve(); });
  return true;
}

void MulticastResponder::stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t written = write(stopEvent_, &one, sizeof(one));
    (void)written;
    thread_.join();
  }
  for (int* fd : {&receiver_, &sender_, &stopEvent_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool MulticastResponder::waitForStop(int timeoutMS) const {
  pollfd stop{stopEvent_, POLLIN, 0};
  return poll(&stop, 1, timeoutMS) > 0;
}

void MulticastResponder::serve() {
  const std::vector<uint8_t> answer = options_.answer ? *options_.answer : makeNetworkSpec(options_.identity);
  sockaddr_in replyTo{};
  replyTo.sin_family = AF_INET;
  replyTo.sin_addr = ipv4(kGroup);
  replyTo.sin_port = htons(static_cast<uint16_t>(kReplyPortBase + slot_));

  for (;;) {
    pollfd events[2] = {{stopEvent_, POLLIN, 0}, {receiver_, POLLIN, 0}};
    if (poll(events, 2, -1) < 0) continue;
    if (events[0].revents != 0) return;
    if (events[1].revents == 0) continue;

    uint8_t datagram[64];
    ssize_t size = recv(receiver_, datagram, sizeof(datagram), 0);
    uint32_t value = 0;
    if (size == 4) std::memcpy(&value, datagram, sizeof(value));
    if (size != 4 || value != kRequestMagic) {
      ++others_;
      continue;
    }
    ++requests_;
    if (options_.identity.model == 0) continue;
    if (options_.answerDelayMS > 0 && waitForStop(options_.answerDelayMS)) return;
    ssize_t sent = sendto(sender_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&replyTo),
                          sizeof(replyTo));
    (void)sent;
  }
}

PortHolder::PortHolder(uint16_t port) : socket_(openReceiver(port)) {}

PortHolder::~PortHolder() {
  if (socket_ >= 0) close(socket_);
}

}  // namespace netsim
