// The object interface against the simulated module: getUEI32 round trips
// (a system entity's serial number) over a loopback TCP link and a
// pseudo-terminal serial link, beside the link engine's raw round trip of
// the very same request and reply, and a router scan of the 126 even I2C
// addresses 2 to 252.
//
// The round trips report, for each kind, p50 and p99 in microseconds and
// the caller's processor time per round trip, the UEI round trips per
// second, the processor time of the whole process (module included) per
// pair, and how much the UEI layer adds to the raw p50; the scan reports
// seconds per scan.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/objects/I2CClass.h"
#include "Tessarine2/objects/Module.h"
#include "Tessarine2/objects/SystemClass.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SimRouter.h"
#include "tests/sim/module/TcpFront.h"

namespace {

using Clock = std::chrono::steady_clock;
using Zeltrova::Tessarine::I2CClass;
using Zeltrova::Tessarine::Module;
using Zeltrova::Tessarine::SystemClass;

constexpr uint8_t kAddress = 0x06;
constexpr uint32_t kSerialLinkId = 0x5E000001;

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double threadCpuMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double percentile(std::vector<double>& values, double fraction) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// The reply to the request getSerialNumber sends, [3, 0x49, 0x20].
bool isSerialReply(const aPacket* packet, const void*) {
  return packet->address == kAddress && packet->dataSize == 7 && packet->data[0] == 3 && packet->data[1] == 9;
}

// Each iteration makes one round trip through the link engine alone (put
// the request, await the reply) and one getUEI32 of the same option on the
// same link, so that both see the same machine load. The caller's own
// processor time is taken per round trip: the UEI layer runs there.
void pairedRoundTrips(benchmark::State& state, const linkSpec& spec) {
  aErr err = aErrNone;
  auto module = objtest::connectedModule(spec, kAddress, &err);
  if (err != aErrNone) {
    state.SkipWithError("no connection");
    return;
  }
  SystemClass system;
  system.init(module.get(), 0);
  // The same link, with one more use.
  linkID link = aLink_Create(&spec);
  const uint8_t request[] = {3, 0x49, 0x20};
  aPacket* packet = aPacket_CreateWithData(kAddress, sizeof request, request);
  std::vector<double> raw;
  std::vector<double> uei;
  double rawCpu = 0;
  double ueiCpu = 0;
  const double processStart = processCpuSeconds();
  const Clock::time_point wallStart = Clock::now();
  for (auto _ : state) {
    double cpu = threadCpuMicroseconds();
    Clock::time_point start = Clock::now();
    aLink_PutPacket(link, packet);
    aPacket* reply = aLink_AwaitFirst(link, isSerialReply, nullptr, 1000);
    raw.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    rawCpu += threadCpuMicroseconds() - cpu;
    if (reply == nullptr) {
      state.SkipWithError("no raw reply");
      break;
    }
    aPacket_Destroy(&reply);

    uint32_t serial = 0;
    cpu = threadCpuMicroseconds();
    start = Clock::now();
    err = system.getSerialNumber(&serial);
    uei.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    ueiCpu += threadCpuMicroseconds() - cpu;
    if (err != aErrNone) {
      state.SkipWithError("no UEI reply");
      break;
    }
  }
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const double pairs = static_cast<double>(uei.size());
  if (pairs > 0) {
    double ueiTotal = 0;
    for (double v : uei) {
      ueiTotal += v;
    }
    state.counters["uei_per_s"] = 1e6 * pairs / ueiTotal;
    state.counters["pairs_per_s"] = pairs / wall;
    state.counters["raw_caller_cpu_us"] = rawCpu / pairs;
    state.counters["uei_caller_cpu_us"] = ueiCpu / pairs;
    state.counters["process_cpu_us_per_pair"] = 1e6 * (processCpuSeconds() - processStart) / pairs;
    const double rawP50 = percentile(raw, 0.50);
    const double ueiP50 = percentile(uei, 0.50);
    state.counters["raw_p50_us"] = rawP50;
    state.counters["raw_p99_us"] = percentile(raw, 0.99);
    state.counters["uei_p50_us"] = ueiP50;
    state.counters["uei_p99_us"] = percentile(uei, 0.99);
    state.counters["uei_added_p50_percent"] = 100.0 * (ueiP50 - rawP50) / rawP50;
  }
  aPacket_Destroy(&packet);
  aLink_Destroy(&link);
}

void BM_GetUEI32BesideRawTcp(benchmark::State& state) {
  objtest::TcpModule sim;
  pairedRoundTrips(state, sim.spec());
}
void BM_GetUEI32BesideRawPty(benchmark::State& state) {
  objtest::PtyModule sim;
  pairedRoundTrips(state, objtest::serialSpec(kSerialLinkId, sim.front.devicePath()));
}
BENCHMARK(BM_GetUEI32BesideRawTcp)->Unit(benchmark::kMicrosecond)->Iterations(20000);
BENCHMARK(BM_GetUEI32BesideRawPty)->Unit(benchmark::kMicrosecond)->Iterations(10000);

// A router on TCP with eight modules behind it: an I2C write of [0, 0] to
// every even address 2 to 252, as a search for modules does.
void BM_RouterScan(benchmark::State& state) {
  simmodule::ModuleEngine engine(0x02);
  simmodule::SimRouter router(engine, simmodule::ModuleIdentity());
  for (uint8_t address = 0x10; address <= 0x80; address = static_cast<uint8_t>(address + 0x10)) {
    simmodule::ModuleIdentity behind;
    behind.serial = 0xB0000000u | address;
    router.addModule(address, behind);
  }
  simmodule::TcpFront front(engine);
  {
    aErr err = aErrNone;
    auto module = objtest::connectedModule(objtest::tcpSpec(front.address(), front.port()), kAddress, &err);
    if (err != aErrNone) {
      state.SkipWithError("no connection");
      return;
    }
    I2CClass i2c;
    i2c.init(module.get(), 0);
    i2c.setSpeed(3);
    const uint8_t probe[] = {0, 0};
    int found = 0;
    for (auto _ : state) {
      found = 0;
      for (int address = 2; address <= 252; address += 2) {
        if (i2c.write(static_cast<uint8_t>(address), sizeof probe, probe) == aErrNone) {
          ++found;
        }
      }
    }
    state.counters["answered"] = found;
  }
}
BENCHMARK(BM_RouterScan)->Unit(benchmark::kSecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
