#ifndef TESSARINE2_OBJECTS_RAWEXCHANGE_H
#define TESSARINE2_OBJECTS_RAWEXCHANGE_H

// One request and its reply for the module protocols of a Link that are
// not UEI (store slots, factory data).

#include <cstdint>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aPacket.h"

namespace Zeltrova {
namespace Tessarine {

// What a reply filter compares with: the module asked and the request's
// data bytes.
struct RawRequest {
  uint8_t module;
  const uint8_t* data;
  uint8_t length;
};

// Drops the queued packets that the filter accepts (answers to an earlier
// request: one that timed out, or a transfer cut short), queues the request
// for the module and waits up to waitMS for the first reply the filter
// accepts (the filter's reference is the RawRequest; it must only look).
// *reply is that packet, for the caller to free, or NULL when none came:
// aErrTimeout then. aErrResource when the request cannot be made, the
// put's error when it cannot be queued (nothing is awaited then).
inline aErr rawExchange(linkID link, const RawRequest& request, aPacketFilter filter, uint64_t waitMS,
                        aPacket** reply) {
  *reply = nullptr;
  aLink_DrainPackets(link, filter, &request);
  aPacket* packet = aPacket_CreateWithData(request.module, request.length, request.data);
  if (packet == nullptr) {
    return aErrResource;
  }
  const aErr err = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  if (err != aErrNone) {
    return err;
  }
  *reply = aLink_AwaitFirst(link, filter, &request, waitMS);
  return *reply != nullptr ? aErrNone : aErrTimeout;
}

// The module's code in an error reply's byte at; 0 or a missing byte is
// still a failure.
inline aErr rawErrorCode(const aPacket* reply, uint8_t at) {
  if (reply->dataSize <= at || reply->dataSize > aPACKET_MAX_DATA || reply->data[at] == aErrNone) {
    return aErrUnknown;
  }
  return static_cast<aErr>(reply->data[at]);
}

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
