#ifndef TESSARINE2_OBJECTS_STREAMENTRY_H
#define TESSARINE2_OBJECTS_STREAMENTRY_H

#include <cstdint>
#include <functional>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aPacket.h"

namespace Zeltrova {
namespace Tessarine {

// Called on a Link's callback worker with a copy of a stream packet and the
// subscriber's reference. Its result is not used.
typedef std::function<aErr(const aPacket*, void*)> streamCallback;

// One row of a Link's subscription table, by stream key.
struct StreamEntry {
  uint64_t key = 0;
  uint8_t fresh = 0;        // 1: lastValue not read since it was sampled
  streamCallback callback;  // may be empty
  void* ref = nullptr;
  uint32_t lastValue = 0;  // exact keys only
  // The subscription this entry's callback and reference belong to; a new
  // one on every subscribe, so that calls queued for an older callback are
  // told apart.
  uint64_t serial = 0;

  StreamEntry() = default;
  StreamEntry(uint64_t k, uint8_t f, streamCallback cb, void* r, uint32_t value)
      : key(k), fresh(f), callback(std::move(cb)), ref(r), lastValue(value) {}
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
