#ifndef TESSARINE2_OBJECTS_ASYNCPACKET_H
#define TESSARINE2_OBJECTS_ASYNCPACKET_H

#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/objects/StreamEntry.h"

namespace Zeltrova {
namespace Tessarine {

// One callback call waiting for a Link's worker. The packet copy belongs to
// the queue entry until the worker (or a dropped push) frees it; destroying
// the record frees only the callback.
struct asyncPacket {
  streamCallback callback;
  void* ref = nullptr;
  aPacket* packet = nullptr;
  // The entry and subscription it was queued for: the worker runs it only
  // while that subscription is still in the table.
  uint64_t key = 0;
  uint64_t serial = 0;
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
