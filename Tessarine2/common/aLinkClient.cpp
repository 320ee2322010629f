// Links to a module-sharing server: link-table entries of transport 4
// (aWeave) over a network client stream. Every new client link is a
// connection of its own, numbered by a process-wide client counter.

#include <atomic>

#include "Tessarine2/common/aDebug.h"
#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aStream_ZeroMQClient.h"

namespace {

// Client number of the next client entry; only grows.
std::atomic<int32_t> _clientCount{0};

}  // namespace

linkID aLink_CreateClient(uint32_t address, uint16_t port, linkID existing) {
  aTessarine_Trace(aDEBUG_LINK, "aLink_CreateClient(%08X, %08X, %d)\n", address, static_cast<unsigned>(port), existing);
  if (existing != 0) {
    // A module reached through another module's link shares that link.
    if (sChangeUseCount(existing, 1) > 0) {
      aTessarine_Trace(aDEBUG_LINK, "Using existing link - ConnectThroughLinkModule\n");
      return existing;
    }
    aTessarine_Trace(aDEBUG_LINK, "The provided ref is invalid.\n");
    return 0;
  }
  // No look-up by address and port: a client link is never shared by a
  // second create (each one is its own connection to the server), and a
  // link of another transport to the same address is no client link.
  const int32_t clientNumber = _clientCount.fetch_add(1);
  const linkID id = sCreate2(address, port, clientNumber, kLinkTransportClient);
  aTessarine_Trace(aDEBUG_LINK, "Client sCreate2(%08X)==>%d\n", address, id);
  if (id == 0) {
    return 0;
  }
  aStream* stream = nullptr;
  if (aStream_CreateClient(address, port, &stream) != aErrNone) {
    return aLink_AbandonCreation(id);
  }
  // From the init on the record owns the stream; an abandoned creation
  // destroys it with the record. No synchronisation: the server answers for
  // the module.
  if (aLink_Init(id, stream) == 0 || aLink_Start(id) != aErrNone) {
    return aLink_AbandonCreation(id);
  }
  sPublishEntry(id);
  return id;
}
