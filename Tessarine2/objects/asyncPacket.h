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
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
