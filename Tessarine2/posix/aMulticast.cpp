#include "Tessarine2/common/aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tessarine2/common/aNetworkDiscovery.h"

struct aMulticast {
  int socket;
  addrinfo* groupAddress;      // destination of sends
  addrinfo* bindAddress;       // receiver: any address with the port; sender: the interface, port 0
  addrinfo* interfaceAddress;  // the interface, port 0
  uint8_t mode;
};

namespace {

constexpr int kReceiveTimeoutSeconds = 1;
constexpr int kMulticastTtl = 1;

addrinfo* _resolveAddress(const char* host, const char* service, int family, int socketType, int protocol) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  hints.ai_protocol = protocol;
  if (host == nullptr) hints.ai_flags = AI_PASSIVE;
  addrinfo* result = nullptr;
  if (getaddrinfo(host, service, &hints, &result) != 0) return nullptr;
  return result;
}

const in_addr* ipv4Of(const addrinfo* address) {
  return &reinterpret_cast<const sockaddr_in*>(address->ai_addr)->sin_addr;
}

int _setReuse(int socket, int reuse) {
  return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
}

int _joinMulticastGroup(int socket, const addrinfo* group, const addrinfo* networkInterface) {
  if (group->ai_family != AF_INET || networkInterface->ai_family != AF_INET) return -1;
  ip_mreq request{};
  request.imr_multiaddr = *ipv4Of(group);
  request.imr_interface = *ipv4Of(networkInterface);
  return setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
}

int _setSendInterface(int socket, const addrinfo* networkInterface) {
  if (networkInterface->ai_family != AF_INET) return -1;
  return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, ipv4Of(networkInterface), sizeof(in_addr));
}

int _setMulticastTtl(int socket, int family) {
  if (family != AF_INET) return -1;
  int ttl = kMulticastTtl;
  return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
}

int _setReceiveTimeout(int socket, int family) {
  if (family != AF_INET) return -1;
  timeval timeout{};
  timeout.tv_sec = kReceiveTimeoutSeconds;
  timeout.tv_usec = 0;
  return setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

int _setMulticastLoopBack(int socket, int family) {
  if (family != AF_INET) return -1;
  int loop = 1;
  return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
}

bool formatAddress(uint32_t address, char* text, size_t size) {
  in_addr value{};
  value.s_addr = address;
  return inet_ntop(AF_INET, &value, text, static_cast<socklen_t>(size)) != nullptr;
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port, uint8_t mode) {
  if (mode != aMULTICAST_SENDER && mode != aMULTICAST_RECEIVER) return nullptr;
  aMulticast* multicast = static_cast<aMulticast*>(std::calloc(1, sizeof(aMulticast)));
  if (multicast == nullptr) return nullptr;
  multicast->socket = -1;
  multicast->mode = mode;

  if (networkInterface == 0) networkInterface = aDiscovery_Loopback();

  char groupText[INET_ADDRSTRLEN] = {0};
  char interfaceText[INET_ADDRSTRLEN] = {0};
  char portText[6] = {0};
  bool ready = formatAddress(group, groupText, sizeof(groupText)) &&
               formatAddress(networkInterface, interfaceText, sizeof(interfaceText)) &&
               std::snprintf(portText, sizeof(portText), "%d", static_cast<int>(port)) > 0;

  if (ready) {
    multicast->groupAddress = _resolveAddress(groupText, portText, AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP);
    ready = multicast->groupAddress != nullptr;
  }
  int family = ready ? multicast->groupAddress->ai_family : AF_UNSPEC;
  int socketType = ready ? multicast->groupAddress->ai_socktype : 0;
  int protocol = ready ? multicast->groupAddress->ai_protocol : 0;

  if (ready) {
    bool sender = mode == aMULTICAST_SENDER;
    multicast->bindAddress = _resolveAddress(sender ? interfaceText : nullptr, sender ? "0" : portText, family,
                                             socketType, protocol);
    ready = multicast->bindAddress != nullptr;
  }
  if (ready) {
    multicast->interfaceAddress = _resolveAddress(interfaceText, "0", family, socketType, protocol);
    ready = multicast->interfaceAddress != nullptr;
  }
  if (ready) {
    multicast->socket = socket(family, socketType | SOCK_CLOEXEC, protocol);
    ready = multicast->socket >= 0;
  }
  // Reuse stays off on purpose: a second receiver on a port that a server
  // holds must fail to bind.
  ready = ready && _setReuse(multicast->socket, 0) == 0;
  if (ready && mode != aMULTICAST_SENDER) {
    ready = bind(multicast->socket, multicast->bindAddress->ai_addr, multicast->bindAddress->ai_addrlen) == 0;
  }
  ready = ready && _joinMulticastGroup(multicast->socket, multicast->groupAddress, multicast->interfaceAddress) == 0 &&
          _setSendInterface(multicast->socket, multicast->interfaceAddress) == 0 &&
          _setMulticastTtl(multicast->socket, family) == 0 && _setReceiveTimeout(multicast->socket, family) == 0 &&
          _setMulticastLoopBack(multicast->socket, family) == 0;

  if (!ready) {
    aMulticast_Destroy(&multicast);
    return nullptr;
  }
  return multicast;
}

int64_t aMulticast_Send(aMulticast* multicast, const void* data, size_t length) {
  if (multicast == nullptr) return aMULTICAST_NO_RECORD;
  if (multicast->mode != aMULTICAST_SENDER) return aMULTICAST_WRONG_MODE;
  if (data == nullptr && length > 0) return aMULTICAST_FAILED;
  ssize_t sent = sendto(multicast->socket, data, length, 0, multicast->groupAddress->ai_addr,
                        multicast->groupAddress->ai_addrlen);
  return sent < 0 ? aMULTICAST_FAILED : static_cast<int64_t>(sent);
}

int64_t aMulticast_Receive(aMulticast* multicast, void* buffer, size_t size) {
  if (multicast == nullptr) return aMULTICAST_NO_RECORD;
  if (multicast->mode != aMULTICAST_RECEIVER) return aMULTICAST_WRONG_MODE;
  if (buffer == nullptr && size > 0) return aMULTICAST_FAILED;
  sockaddr_in sender{};  // read and discarded
  socklen_t senderLength = sizeof(sender);
  ssize_t received = recvfrom(multicast->socket, buffer, size, MSG_WAITALL, reinterpret_cast<sockaddr*>(&sender),
                              &senderLength);
  return received < 0 ? aMULTICAST_FAILED : static_cast<int64_t>(received);
}

int64_t aMulticast_Destroy(aMulticast** multicast) {
  if (multicast == nullptr || *multicast == nullptr) return aMULTICAST_NO_RECORD;
  aMulticast* record = *multicast;
  if (record->socket >= 0) close(record->socket);
  if (record->groupAddress != nullptr) freeaddrinfo(record->groupAddress);
  if (record->bindAddress != nullptr) freeaddrinfo(record->bindAddress);
  if (record->interfaceAddress != nullptr) freeaddrinfo(record->interfaceAddress);
  std::free(record);
  *multicast = nullptr;
  return 0;
}
