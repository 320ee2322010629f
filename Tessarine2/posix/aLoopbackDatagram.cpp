#include "Tessarine2/common/aLoopbackDatagram.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

bool aLoopbackDatagram_Send(uint16_t port, const void* data, size_t length) {
  const int descriptor = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (descriptor < 0) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const ssize_t sent =
      sendto(descriptor, data, length, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  close(descriptor);
  return sent == static_cast<ssize_t>(length);
}
