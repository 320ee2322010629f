// The module-sharing server against the simulated module (on a loopback TCP
// link under the server): request/reply round trip through a client link,
// next to the same round trip from a bare ZeroMQ socket and on the bare
// link; request latency with 1, 50
// and 200 client links asking at once; and how long the last release of a
// served link (server threads, sockets, link) takes.
//
// Round trips and latencies report p50_us and p99_us (the concurrent runs
// also requests_per_s and failures); the teardown its time per iteration.

#include <benchmark/benchmark.h>
#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
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

// A DEALER socket of the benchmark's own in place of the client link: the
// server's share of a round trip without the client stream's threads.
void BM_RoundTripRawClientThroughServer(benchmark::State& state) {
  Served served;
  uint16_t port = 0;
  if (served.server == nullptr || aServer_GetPort(served.server, &port) != aErrNone) {
    state.SkipWithError("no server");
    return;
  }
  zsock_t* dealer = zsock_new(ZMQ_DEALER);
  if (dealer == nullptr || zsock_connect(dealer, "tcp://127.0.0.1:%d", static_cast<int>(port)) != 0) {
    state.SkipWithError("no socket");
    zsock_destroy(&dealer);
    return;
  }
  zsock_set_rcvtimeo(dealer, 1000);
  std::vector<double> samples;
  uint8_t tag = 0;
  for (auto _ : state) {
    const uint8_t request[] = {kModule, 4, kEcho, tag++, 0x55, 0xAA};
    const Clock::time_point start = Clock::now();
    zframe_t* frame = zframe_new(request, sizeof request);
    zframe_send(&frame, dealer, 0);
    zframe_t* reply = zframe_recv(dealer);
    if (reply == nullptr) {
      state.SkipWithError("no reply");
      break;
    }
    zframe_destroy(&reply);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  zsock_destroy(&dealer);
  if (samples.empty()) {
    return;
  }
  std::sort(samples.begin(), samples.end());
  state.counters["p50_us"] = samples[samples.size() / 2];
  state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}
BENCHMARK(BM_RoundTripRawClientThroughServer)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

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

// Every client link asks as fast as its answers come, for a fixed time;
// the module serves one request at a time, so with N clients a request
// waits for about N - 1 others.
void BM_RequestLatencyThroughServer(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  Served served;
  if (served.client == 0) {
    state.SkipWithError("no server");
    return;
  }
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  aServer_GetPort(served.server, &port);
  aServer_GetInterface(served.server, &networkInterface);
  std::vector<linkID> links{served.client};
  while (static_cast<int>(links.size()) < clients) {
    const linkID link = aLink_CreateClient(networkInterface, port, 0);
    if (link == 0) {
      break;
    }
    links.push_back(link);
  }
  if (static_cast<int>(links.size()) < clients) {
    state.SkipWithError("not enough client links");
  }
  std::vector<std::vector<double>> samples(links.size());
  std::atomic<int> failures{0};
  double seconds = 0;
  for (auto _ : state) {
    if (static_cast<int>(links.size()) < clients) {
      break;
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(3);
    std::vector<std::thread> threads;
    for (size_t c = 0; c < links.size(); ++c) {
      threads.emplace_back([&, c] {
        uint8_t tag = 0;
        while (Clock::now() < end) {
          const Clock::time_point sent = Clock::now();
          if (!roundTrip(links[c], tag++)) {
            ++failures;
            continue;
          }
          samples[c].push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
  }
  std::vector<double> all;
  for (const std::vector<double>& some : samples) {
    all.insert(all.end(), some.begin(), some.end());
  }
  for (size_t c = 1; c < links.size(); ++c) {
    aLink_Destroy(&links[c]);
  }
  if (all.empty()) {
    return;
  }
  std::sort(all.begin(), all.end());
  state.counters["p50_us"] = all[all.size() / 2];
  state.counters["p99_us"] = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  state.counters["requests_per_s"] = seconds > 0 ? all.size() / seconds : 0;
  state.counters["failures"] = failures.load();
}
BENCHMARK(BM_RequestLatencyThroughServer)
    ->Arg(1)
    ->Arg(50)
    ->Arg(200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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

int main(int argc, char** argv) {
  // 200 client links hold about 1000 ZeroMQ sockets, CZMQ's default limit;
  // the operating system's limit applies instead.
  zsys_set_max_sockets(0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
