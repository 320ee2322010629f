#ifndef TESTS_TESSARINE2_COMMON_AWEAVE_DISCOVERY_SUPPORT_H
#define TESTS_TESSARINE2_COMMON_AWEAVE_DISCOVERY_SUPPORT_H

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "tests/sim/netdiscovery/NetworkSpec.h"

namespace aweavetest {

// The caller's side of a discovery run: every record offered, copied as
// bytes, with a policy for taking and stopping.
struct Offers {
  std::vector<std::vector<uint8_t>> records;
  bool take = true;
  size_t stopAfter = 0;  // 0: never stop
  std::function<void()> during;  // runs inside the callback

  static bool callback(const linkSpec* spec, bool* taken, void* reference) {
    Offers* self = static_cast<Offers*>(reference);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(spec);
    self->records.emplace_back(bytes, bytes + sizeof(linkSpec));
    if (self->during) self->during();
    *taken = self->take;
    return self->stopAfter == 0 || self->records.size() < self->stopAfter;
  }

  std::vector<uint32_t> serials() const {
    std::vector<uint32_t> result;
    for (const std::vector<uint8_t>& record : records) result.push_back(netsim::readNetworkSpec(record.data()).serial);
    return result;
  }
};

// Milliseconds that body takes.
inline long long millisecondsOf(const std::function<void()>& body) {
  auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace aweavetest

#endif
