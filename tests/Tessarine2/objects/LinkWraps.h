#ifndef TESTS_TESSARINE2_OBJECTS_LINKWRAPS_H
#define TESTS_TESSARINE2_OBJECTS_LINKWRAPS_H

// Link-time stand-ins (ld --wrap) for the core calls that a Link makes to
// find modules and to create server and client links, and for the packet
// put: they record each call and answer from a script, or pass the call on.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aLink.h"

namespace objtest {

struct WrapScript {
  // aDiscovery_FindModule: the link record found per type; none: NULL.
  std::map<linkType, linkSpec> found;
  std::vector<linkType> findCalls;
  // aDiscovery_EnumerateModules: offered in order to the callback.
  std::vector<linkSpec> enumerated;
  std::vector<linkType> enumerateCalls;
  // aLinkSpec_Create answers NULL.
  bool noSpecMemory = false;
  // aLink_CreateServer: the link it returns (0: fails) and what it writes
  // back; the calls' serial numbers.
  std::function<linkID()> server;
  uint16_t serverPort = 0;
  uint32_t serverInterface = 0;
  std::vector<uint32_t> serverCalls;
  // aLink_CreateClient for a fresh connection (the existing-link form goes
  // to the core); the calls' (address, port, existing).
  std::function<linkID()> client;
  struct ClientCall {
    uint32_t address;
    uint16_t port;
    linkID existing;
  };
  std::vector<ClientCall> clientCalls;
};

// The one script of the test process, used from the test's thread; reset
// between tests.
WrapScript& script();
void resetScript();

// aLink_PutPacket fails with this code when not 0. The link's own threads
// put packets too, so it is kept apart from the script.
void setPutFailure(aErr code);
aErr putFailure();

}  // namespace objtest

#endif
