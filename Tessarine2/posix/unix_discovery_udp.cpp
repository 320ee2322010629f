// TCPIP branch of module enumeration: the legacy UDP discovery. One request
// goes to the discovery group on every IPv4 interface; every module that
// hears it answers with its address, TCP port, serial number and model.

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "Tessarine2/posix/unix_discovery.h"

namespace {

// Reply bytes.
constexpr size_t kReplyAddress = 1;
constexpr size_t kReplyPort = 2;    // 2 bytes, little-endian
constexpr size_t kReplySerial = 4;  // 4 bytes, little-endian
constexpr size_t kReplyModel = 12;
// Model of a reply too short to carry one.
constexpr uint8_t kUnknownModel = 0xFF;
// A reply shorter than this carries no serial number: it is no answer.
constexpr size_t kShortestReply = kReplySerial + 4;

int64_t sNowMS() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

sockaddr_in sAddress(uint32_t address, uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = address;
  where.sin_port = htons(port);
  return where;
}

uint32_t sGroup() {
  uint32_t group;
  std::memcpy(&group, aLEGACY_DISCOVERY_GROUP, sizeof group);
  return group;
}

int sOpenListener() {
  int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    return -1;
  }
  int on = 1;
  sockaddr_in any = sAddress(htonl(INADDR_ANY), aLEGACY_DISCOVERY_REPLY_PORT);
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    close(listener);
    return -1;
  }
  return listener;
}

// One request to the group through the interface with this address
// (INADDR_ANY: the system's choice). True when every step succeeded.
bool sSendRequest(uint32_t interfaceAddress) {
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sender < 0) {
    return false;
  }
  int on = 1;
  in_addr through{};
  through.s_addr = interfaceAddress;
  uint8_t request[aLEGACY_DISCOVERY_DATAGRAM_SIZE] = {aLEGACY_DISCOVERY_REQUEST_TAG};
  sockaddr_in group = sAddress(sGroup(), aLEGACY_DISCOVERY_REQUEST_PORT);
  bool sent = setsockopt(sender, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through) == 0 &&
              sendto(sender, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group) ==
                  static_cast<ssize_t>(sizeof request);
  return close(sender) == 0 && sent;
}

// Requests on every IPv4 interface but the loopback; how many went out.
int sSendRequests() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) {
    return sSendRequest(htonl(INADDR_ANY)) ? 1 : 0;
  }
  int sent = 0;
  for (ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    uint32_t address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (address == htonl(INADDR_LOOPBACK) || address == htonl(INADDR_ANY)) {
      continue;
    }
    if (sSendRequest(address)) {
      ++sent;
    }
  }
  freeifaddrs(interfaces);
  return sent;
}

uint32_t sLittleEndian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i > 0; --i) {
    value = (value << 8) | bytes[i - 1];
  }
  return value;
}

// A module's address is even and not 0, and it listens on a real port;
// anything else on the reply port is not an answer.
bool sIsAnswer(const uint8_t* reply, size_t length) {
  return length >= kShortestReply && reply[kReplyAddress] != 0 && (reply[kReplyAddress] & 1) == 0 &&
         sLittleEndian(reply + kReplyPort, 2) != 0;
}

void sDescribe(const uint8_t* reply, uint32_t sender, linkSpec* spec) {
  spec->serial_num = sLittleEndian(reply + kReplySerial, 4);
  spec->module = reply[kReplyAddress];
  spec->router = reply[kReplyAddress];
  spec->router_serial_num = spec->serial_num;
  spec->model = reply[kReplyModel];
  spec->t.ip.ip_address = sender;
  spec->t.ip.ip_port = sLittleEndian(reply + kReplyPort, 2);
}

// Waits for the next datagram until the deadline: its length, or -1 when
// the deadline passed or the socket failed.
ssize_t sReceive(int listener, int64_t deadline, uint8_t* reply, sockaddr_in* sender) {
  for (;;) {
    int64_t left = deadline - sNowMS();
    if (left <= 0) {
      return -1;
    }
    pollfd entry{listener, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return -1;
    }
    socklen_t size = sizeof *sender;
    ssize_t length = recvfrom(listener, reply, aLEGACY_DISCOVERY_DATAGRAM_SIZE, 0,
                              reinterpret_cast<sockaddr*>(sender), &size);
    if (length >= 0 || (errno != EINTR && errno != EAGAIN)) {
      return length;
    }
  }
}

}  // namespace

uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryCallback callback, void* reference) {
  // The listener is up before any request leaves, so no early answer is lost.
  int listener = sOpenListener();
  if (listener < 0) {
    return 0;
  }
  uint8_t taken = 0;
  if (sSendRequests() > 0) {
    const int64_t limit = sNowMS() + aLEGACY_DISCOVERY_LIMIT_MS;
    int64_t idleEnd = sNowMS() + aLEGACY_DISCOVERY_IDLE_MS;
    unsigned offered = 0;
    bool more = true;
    while (more && offered < aLEGACY_DISCOVERY_MOST_OFFERED) {
      // Every datagram starts from a clean buffer: a short one inherits
      // nothing from the one before.
      uint8_t reply[aLEGACY_DISCOVERY_DATAGRAM_SIZE] = {};
      reply[kReplyModel] = kUnknownModel;
      sockaddr_in sender{};
      ssize_t length = sReceive(listener, idleEnd < limit ? idleEnd : limit, reply, &sender);
      if (length < 0) {
        break;
      }
      if (!sIsAnswer(reply, static_cast<size_t>(length))) {
        continue;
      }
      idleEnd = sNowMS() + aLEGACY_DISCOVERY_IDLE_MS;
      linkSpec* spec = aLinkSpec_Create(TCPIP);
      if (spec == nullptr) {
        break;
      }
      sDescribe(reply, sender.sin_addr.s_addr, spec);
      bool took = false;
      ++offered;
      more = callback(spec, &took, reference);
      if (took) {
        ++taken;
      }
      aLinkSpec_Destroy(&spec);
    }
  }
  close(listener);
  return taken;
}
