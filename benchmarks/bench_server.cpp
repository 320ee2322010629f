// The module-sharing server against the simulated module (on a loopback TCP
// link under the server): request/reply round trip through a client link,
// next to the same round trip on the bare link, and how long the last
// release of a served link (server threads, sockets, link) takes.
//
// Round trips report p50_us and p99_us; the teardown its time per
// iteration.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aServer_ZeroMQ.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/TcpFront.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 0x06;
constexpr uint8_t kEcho = simmodule::ModuleEngine::kCommandEcho;

struct Served {
  Served() : front(engine) {
    link = aLink_CreateTCPIP(front.address(), front.port());
    server = link != 0 ? aServer_Create(link, 0, true) : nullptr;
    if (server != nullptr && aServer_Start(server) == aErrNone) {
      uint16_t port = 0;
      uint32_t networkInterface = 0;
      aServer_GetPort(server, &port);
      aServer_GetInterface(server, &networkInterface);
      client = aLink_CreateClient(networkInterface, port, 0);
    }
  }
  ~Served() {
    aLink_Destroy(&client);
    aServer_Destroy(&server);
    aLink_Destroy(&link);
  }
  simmodule::ModuleEngine engine{kModule};
  simmodule::TcpFront front;
  linkID link = 0;
  aServer* server = nullptr;
  linkID client = 0;
};

bool isEcho(const aPacket* packet, const void*) { return packet->dataSize > 0 && packet->data[0] == kEcho; }

bool roundTrip(linkID link, uint8_t tag) {
  const uint8_t data[] = {kEcho, tag, 0x55, 0xAA};
  aPacket* packet = aPacket_CreateWithData(kModule, sizeof data, data);
  aErr err = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  if (err != aErrNone) {
    return false;
  }
  aPacket* reply = aLink_AwaitFirst(link, isEcho, nullptr, 1000);
  if (reply == nullptr) {
    return false;
  }
  aPacket_Destroy(&reply);
  return true;
}

void roundTrips(benchmark::State& state, linkID link) {
  std::vector<double> samples;
  uint8_t tag = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!roundTrip(link, tag++)) {
      state.SkipWithError("no reply");
      break;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (samples.empty()) {
    return;
  }
  std::sort(samples.begin(), samples.end());
  state.counters["p50_us"] = samples[samples.size() / 2];
  state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

void BM_RoundTripThroughServer(benchmark::State& state) {
  Served served;
  if (served.client == 0) {
    state.SkipWithError("no server");
    return;
  }
  roundTrips(state, served.client);
}
BENCHMARK(BM_RoundTripThroughServer)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_RoundTripBareLink(benchmark::State& state) {
  Served served;
  if (served.link == 0) {
    state.SkipWithError("no link");
    return;
  }
  aServer_Destroy(&served.server);
  roundTrips(state, served.link);
}
BENCHMARK(BM_RoundTripBareLink)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Destroying an idle server: filter off, sync-command thread, broker,
// multicast responder (which looks at its pipe after each 1 s receive).
void BM_DestroyIdleServer(benchmark::State& state) {
  simmodule::ModuleEngine engine{kModule};
  simmodule::TcpFront front(engine);
  linkID link = aLink_CreateTCPIP(front.address(), front.port());
  for (auto _ : state) {
    aServer* server = aServer_Create(link, 0, true);
    if (server == nullptr || aServer_Start(server) != aErrNone) {
      state.SkipWithError("no server");
      aServer_Destroy(&server);
      break;
    }
    const Clock::time_point start = Clock::now();
    aServer_Destroy(&server);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  aLink_Destroy(&link);
}
BENCHMARK(BM_DestroyIdleServer)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
