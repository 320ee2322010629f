#ifndef TESTS_TESSARINE2_COMMON_TEST_ALINK_SUPPORT_H
#define TESTS_TESSARINE2_COMMON_TEST_ALINK_SUPPORT_H

// Shared pieces of the link tests: a simulated module behind a front, and
// small packet helpers.

#include <time.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aPacket.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/PtyFront.h"
#include "tests/sim/module/TcpFront.h"

namespace linktest {

constexpr uint8_t kModule = 0x06;
constexpr uint8_t kEcho = simmodule::ModuleEngine::kCommandEcho;

// A packet the caller owns.
struct PacketPtr {
  aPacket* p = nullptr;
  explicit PacketPtr(aPacket* packet = nullptr) : p(packet) {}
  ~PacketPtr() {
    if (p != nullptr) {
      aPacket_Destroy(&p);
    }
  }
  PacketPtr(const PacketPtr&) = delete;
  PacketPtr& operator=(const PacketPtr&) = delete;
  aPacket* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  std::vector<uint8_t> data() const { return std::vector<uint8_t>(p->data, p->data + p->dataSize); }
};

inline aErr send(linkID link, uint8_t address, std::vector<uint8_t> data) {
  PacketPtr packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
  return aLink_PutPacket(link, packet.p);
}

// Accepts a packet whose data begins with the bytes of a std::vector.
inline bool startsWith(const aPacket* packet, const void* reference) {
  const auto* prefix = static_cast<const std::vector<uint8_t>*>(reference);
  if (packet->dataSize < prefix->size()) {
    return false;
  }
  for (size_t i = 0; i < prefix->size(); ++i) {
    if (packet->data[i] != (*prefix)[i]) {
      return false;
    }
  }
  return true;
}

// One debug-echo request and its reply; true when the reply came back.
inline bool echo(linkID link, std::vector<uint8_t> payload, uint64_t timeoutMS = 1000) {
  std::vector<uint8_t> request(payload.size() + 1, kEcho);
  for (size_t i = 0; i < payload.size(); ++i) {
    request[i + 1] = payload[i];
  }
  if (send(link, kModule, request) != aErrNone) {
    return false;
  }
  PacketPtr reply(aLink_AwaitFirst(link, startsWith, &request, timeoutMS));
  return reply && reply.data() == request;
}

// For conditions on the host side, which the module's records cannot
// signal: tested every 2 ms until they hold or the time is up.
template <typename Condition>
bool eventually(Condition condition, int timeoutMS) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (condition()) {
      return true;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 > timeoutMS) {
      return condition();
    }
    const timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
  }
}

using Clock = std::chrono::steady_clock;

inline int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// CPU time of the whole process, in milliseconds.
inline double processCpuMS() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A module on loopback TCP.
struct TcpModule {
  explicit TcpModule(const char* bindAddress = "127.0.0.1") : front(engine, 0, bindAddress) {}
  linkID open() { return aLink_CreateTCPIP(front.address(), front.port()); }
  simmodule::ModuleEngine engine{kModule};
  simmodule::TcpFront front;
};

// A module on a pseudo-terminal: a serial port, or the USB driver node.
struct PtyModule {
  simmodule::ModuleEngine engine{kModule};
  simmodule::PtyFront front{engine};
};

}  // namespace linktest

#endif
