#include "tests/sim/netdiscovery/PrivateNetwork.h"

#include <arpa/inet.h>

#include <vector>

namespace netsim {

namespace {

bool gEthernet = false;

}  // namespace

std::string PrivateNetwork::useLinks(Links links) {
  if (!testsupport::inOwnNetwork()) return "not in a private network namespace";
  bool wanted = links == Links::WithEthernet;
  if (wanted == gEthernet) return "";
  std::vector<std::vector<std::string>> steps;
  if (wanted) {
    steps = {
        {"link", "add", "tnv0", "type", "veth", "peer", "name", "tnv1"},
        {"addr", "add", "10.77.0.1/24", "brd", "+", "dev", "tnv0"},
        {"link", "set", "tnv0", "up"},
        {"link", "set", "tnv1", "up"},
    };
  } else {
    steps = {{"link", "del", "tnv0"}};  // takes its peer with it
  }
  for (const std::vector<std::string>& step : steps) {
    std::string failure = testsupport::runIp(step);
    if (!failure.empty()) return failure;
  }
  gEthernet = wanted;
  return "";
}

uint32_t PrivateNetwork::ethernetAddress() {
  in_addr address{};
  inet_pton(AF_INET, ethernetAddressText(), &address);
  return address.s_addr;
}

}  // namespace netsim
