// Module enumeration by transport, and the IPv4 interface list that network
// discovery and the module-sharing server use.

#include "Tessarine2/posix/unix_discovery.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>

#include <cstring>

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                    uint32_t networkInterface) {
  if (callback == nullptr) {
    return 0;
  }
  switch (type) {
    case USB:
      return aDiscovery_EnumerateUSBModules(callback, reference);
    case TCPIP:
      return aDiscovery_EnumerateTCPIPModules(callback, reference);
    case AWEAVE:
      return aDiscovery_Enumerate_aWeaveModules(callback, reference, networkInterface);
    default:
      return 0;
  }
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
  if (addresses == nullptr) {
    return 0;
  }
  ziflist_t* interfaces = ziflist_new();
  if (interfaces == nullptr) {
    return 0;
  }
  uint32_t count = 0;
  for (const char* name = ziflist_first(interfaces); name != nullptr && count < capacity;
       name = ziflist_next(interfaces)) {
    in_addr address{};
    const char* text = ziflist_address(interfaces);
    if (text != nullptr && inet_pton(AF_INET, text, &address) == 1) {
      addresses[count++] = address.s_addr;
    }
  }
  ziflist_destroy(&interfaces);
  return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
  // Room for the longest dotted address, "255.255.255.255", and its NUL.
  constexpr size_t kNeeded = INET_ADDRSTRLEN;
  if (buffer == nullptr || size < kNeeded) {
    return 0;
  }
  std::memset(buffer, 0, size);
  in_addr in{};
  in.s_addr = address;
  if (inet_ntop(AF_INET, &in, buffer, static_cast<socklen_t>(size)) == nullptr) {
    std::memset(buffer, 0, size);
    return 0;
  }
  return std::strlen(buffer);
}
