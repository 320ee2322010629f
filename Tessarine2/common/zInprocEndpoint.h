#ifndef TESSARINE2_COMMON_ZINPROCENDPOINT_H
#define TESSARINE2_COMMON_ZINPROCENDPOINT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Names an in-process ZeroMQ endpoint that no other endpoint of this
// process has had: "inproc://tessarine-<kind>-<n>". libzmq releases an
// in-process name only some time after its socket is closed, so a name
// made from a record's address would clash when the next record lands at
// the same address.
inline void zInproc_UniqueEndpoint(char* endpoint, size_t size, const char* kind) {
  static std::atomic<uint64_t> next{0};
  snprintf(endpoint, size, "inproc://tessarine-%s-%llu", kind, static_cast<unsigned long long>(next.fetch_add(1)));
}

#endif
