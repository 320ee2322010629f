// Links against the simulated module: request/reply round trip over a
// loopback TCP link (and over the emulated USB bus when it is built),
// pipelined packets per second, the processor an idle link uses, and how
// long destroying an idle TCP link takes.
//
// Round trips report p50_us and p99_us; the idle link reports cpu_percent
// of one core over 5 s; the destroy reports its time per iteration.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aTime.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/TcpFront.h"
#ifdef TESSARINE_BENCH_USB
#include "tests/sim/usb/UsbSimModule.h"
#include "tests/sim/usb/UsbTestbed.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 0x06;
constexpr uint8_t kEcho = simmodule::ModuleEngine::kCommandEcho;

struct TcpModule {
  TcpModule() : front(engine) {}
  linkID open() { return aLink_CreateTCPIP(front.address(), front.port()); }
  simmodule::ModuleEngine engine{kModule};
  simmodule::TcpFront front;
};

bool isEcho(const aPacket* packet, const void*) { return packet->dataSize > 0 && packet->data[0] == kEcho; }

bool sendEcho(linkID link, uint8_t tag) {
  const uint8_t data[] = {kEcho, tag, 0x55, 0xAA};
  aPacket* packet = aPacket_CreateWithData(kModule, sizeof data, data);
  aErr err = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  return err == aErrNone;
}

bool awaitEcho(linkID link) {
  aPacket* reply = aLink_AwaitFirst(link, isEcho, nullptr, 1000);
  if (reply == nullptr) {
    return false;
  }
  aPacket_Destroy(&reply);
  return true;
}

void reportPercentiles(benchmark::State& state, std::vector<double>& microseconds) {
  if (microseconds.empty()) {
    return;
  }
  std::sort(microseconds.begin(), microseconds.end());
  auto at = [&](double fraction) {
    return microseconds[std::min(microseconds.size() - 1, static_cast<size_t>(fraction * microseconds.size()))];
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
}

void roundTrips(benchmark::State& state, linkID link) {
  std::vector<double> samples;
  samples.reserve(100000);
  uint8_t tag = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!sendEcho(link, tag++) || !awaitEcho(link)) {
      state.SkipWithError("no reply");
      break;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  reportPercentiles(state, samples);
}

void BM_RoundTripTcp(benchmark::State& state) {
  TcpModule module;
  linkID link = module.open();
  if (link == 0) {
    state.SkipWithError("no link");
    return;
  }
  roundTrips(state, link);
  aLink_Destroy(&link);
}
BENCHMARK(BM_RoundTripTcp)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Keeps `window` requests in flight: a new one goes out for every reply.
void BM_PipelinedTcp(benchmark::State& state) {
  const int window = static_cast<int>(state.range(0));
  TcpModule module;
  linkID link = module.open();
  if (link == 0) {
    state.SkipWithError("no link");
    return;
  }
  uint8_t tag = 0;
  for (int i = 0; i < window; ++i) {
    sendEcho(link, tag++);
  }
  for (auto _ : state) {
    if (!awaitEcho(link)) {
      state.SkipWithError("a reply went missing");
      break;
    }
    sendEcho(link, tag++);
  }
  state.SetItemsProcessed(state.iterations());
  aLink_Destroy(&link);
}
BENCHMARK(BM_PipelinedTcp)->Arg(16)->Arg(256)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The whole process while one TCP link (and the module) sits idle.
void BM_IdleLinkCpu(benchmark::State& state) {
  TcpModule module;
  linkID link = module.open();
  if (link == 0) {
    state.SkipWithError("no link");
    return;
  }
  aTime_MSSleep(200);
  double percent = 0;
  for (auto _ : state) {
    const double before = processCpuSeconds();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    percent = 100.0 * (processCpuSeconds() - before) / wall;
  }
  state.counters["cpu_percent"] = percent;
  aLink_Destroy(&link);
}
BENCHMARK(BM_IdleLinkCpu)->Iterations(1)->Unit(benchmark::kSecond);

// The last release of an idle TCP link: stop, force-route off, join both
// threads, close.
void BM_DestroyIdleTcpLink(benchmark::State& state) {
  TcpModule module;
  for (auto _ : state) {
    linkID link = module.open();
    if (link == 0) {
      state.SkipWithError("no link");
      break;
    }
    aTime_MSSleep(100);  // idle: both threads asleep in their waits
    const Clock::time_point start = Clock::now();
    aLink_Destroy(&link);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_DestroyIdleTcpLink)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

#ifdef TESSARINE_BENCH_USB
// A module on the emulated USB bus, answered on the emulation's thread.
// The bus must be there before libusb first starts, so it is made once.
struct UsbModule {
  UsbModule() : usb(bus.add(testsupport::usb::UsbDeviceDescription{})) { testsupport::usb::attachToUsb(engine, usb); }
  simmodule::ModuleEngine engine{kModule};
  testsupport::usb::UsbTestbed bus;
  testsupport::usb::UsbDeviceModel& usb;
};

UsbModule& usbModule() {
  static UsbModule* module = new UsbModule();
  return *module;
}

void BM_RoundTripUsb(benchmark::State& state) {
  usbModule();
  linkID link = aLink_CreateUSB(0x0000ABCD);
  if (link == 0) {
    state.SkipWithError("no link");
    return;
  }
  roundTrips(state, link);
  aLink_Destroy(&link);
}
BENCHMARK(BM_RoundTripUsb)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
#endif

}  // namespace

BENCHMARK_MAIN();
