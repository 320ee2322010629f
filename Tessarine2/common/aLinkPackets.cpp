// Packets in and out of a running link, its status and its user filter.

#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aTime.h"

linkState aLink_GetStatus(linkID id) {
  aLinkPin pin(id);
  if (pin.link() == nullptr) {
    return kLinkStateNoStream;
  }
  return pin.link()->state.load();
}

aErr aLink_PutPacket(linkID id, const aPacket* packet) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr || !aVALIDPACKET(packet)) {
    return aErrParam;
  }
  // A link that can no longer read (or queue what it reads) would take the
  // packet and leave its sender waiting for a reply that cannot come.
  const linkState state = link->state.load();
  if (state == kLinkStateIOError || state == kLinkStatePacketError) {
    const aErr err = link->error.load();
    return err != aErrNone ? err : aErrIO;
  }
  return aPacketFifo_Put(link->outFifo.load(), packet);
}

aPacket* aLink_GetPacket(linkID id) {
  aLinkPin pin(id);
  if (pin.link() == nullptr) {
    return nullptr;
  }
  return aPacketFifo_Get(pin.link()->inFifo.load());
}

aPacket* aLink_AwaitPacket(linkID id, uint64_t timeoutMS) {
  aLinkPin pin(id);
  if (pin.link() == nullptr) {
    return nullptr;
  }
  return aPacketFifo_Await(pin.link()->inFifo.load(), timeoutMS);
}

aPacket* aLink_GetFirst(linkID id, aPacketFilter filter, const void* reference) {
  aLinkPin pin(id);
  if (pin.link() == nullptr) {
    return nullptr;
  }
  return aPacketFifo_GetFirst(pin.link()->inFifo.load(), filter, reference);
}

aPacket* aLink_AwaitFirst(linkID id, aPacketFilter filter, const void* reference, uint64_t timeoutMS) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr) {
    return nullptr;
  }
  const uint64_t deadline = aTime_GetMSTicks() + timeoutMS;
  aPacket* packet = nullptr;
  // Checked before every inner wait: a link that is not running (stopped,
  // or in a read or packet error) gives nothing, queued packets or not.
  while (link->running.load() && link->state.load() == kLinkStateRunning && packet == nullptr) {
    const uint64_t now = aTime_GetMSTicks();
    if (now >= deadline) {
      break;
    }
    packet = aPacketFifo_AwaitFirst(link->inFifo.load(), filter, reference, deadline - now);
  }
  return packet;
}

uint32_t aLink_DrainPackets(linkID id, aPacketFilter filter, const void* reference) {
  aLinkPin pin(id);
  if (pin.link() == nullptr) {
    return 0;
  }
  return static_cast<uint32_t>(aPacketFifo_DrainPackets(pin.link()->inFifo.load(), filter, reference));
}

aErr aLink_InstallUserPacketFilter(linkID id, aUserPacketFilter filter, void* reference) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr || link->userFilterSema == nullptr) {
    return aErrParam;
  }
  // Under the mutex the reader holds while a filter runs: once this
  // returns, the filter replaced is not running.
  aMutex_Lock(link->userFilterSema);
  link->userFilter = filter;
  link->userFilterRef = reference;
  aMutex_Unlock(link->userFilterSema);
  return aErrNone;
}

aErr aLink_RemoveUserPacketFilter(linkID id, aUserPacketFilter filter, void* reference) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr || link->userFilterSema == nullptr) {
    return aErrParam;
  }
  aMutex_Lock(link->userFilterSema);
  if (link->userFilter == filter && link->userFilterRef == reference) {
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
  }
  aMutex_Unlock(link->userFilterSema);
  return aErrNone;
}
