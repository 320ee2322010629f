// Stream subscriptions against the simulated module on loopback TCP:
//
//   callbacks delivered per second for one subscription while the module
//   streams 10k, 50k and 100k samples a second, with the samples sent, the
//   calls dropped (ring full) and the samples lost before the filter;
//   UEI round trips per second while a 1 kHz stream runs, beside the same
//   with no stream;
//   the processor time of an idle callback worker.

#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Tessarine2/objects/EntityClass.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/StreamSource.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/TcpFront.h"
#include "tests/sim/module/UeiTable.h"

namespace {

using Clock = std::chrono::steady_clock;
using simmodule::StreamSource;
using Zeltrova::Tessarine::EntityClass;
using Zeltrova::Tessarine::Link;
using Zeltrova::Tessarine::Module;

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kCmd = 0x30;
constexpr uint8_t kOpt = 5;
constexpr uint8_t kIdx = 2;

// Front last: its thread runs the handlers and stops first.
struct Sim {
  Sim() : engine(kAddress), table(engine, kAddress), source(engine, kAddress), front(engine) {
    simmodule::addSystemEntity(table, simmodule::ModuleIdentity());
  }
  // A Module on a link to it, network sharing off; null when it cannot
  // connect.
  std::unique_ptr<Module> connect() const {
    aErr err = aErrNone;
    auto module = objtest::connectedModule(objtest::tcpSpec(front.address(), front.port()), kAddress, &err);
    return err == aErrNone ? std::move(module) : nullptr;
  }
  simmodule::ModuleEngine engine;
  simmodule::UeiTable table;
  StreamSource source;
  simmodule::TcpFront front;
};

// Processor seconds a thread of this process has used (user + system).
double threadCpuSeconds(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) {
    return 0;
  }
  // Fields after the command: state is field 3; utime 14, stime 15.
  unsigned long utime = 0;
  unsigned long stime = 0;
  std::sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Counter {
  std::atomic<uint64_t> calls{0};
  std::atomic<uint32_t> last{0};
  std::atomic<long> tid{0};
};

aErr count(const aPacket* packet, void* reference) {
  Counter* counter = static_cast<Counter*>(reference);
  uint32_t value = 0;
  Link::getStreamSample(packet, nullptr, &value, nullptr);
  counter->last.store(value);
  counter->tid.store(static_cast<long>(syscall(SYS_gettid)));
  counter->calls.fetch_add(1);
  return aErrNone;
}

// Each iteration streams for one second at the rate given; the counters
// are per second of streaming.
void BM_CallbacksPerSecond(benchmark::State& state) {
  const uint32_t rate = static_cast<uint32_t>(state.range(0));
  Sim sim;
  auto module = sim.connect();
  if (!module) {
    state.SkipWithError("no connection");
    return;
  }
  Link* link = module->getLink();
  Counter counter;
  if (link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, count, &counter) != aErrNone) {
    state.SkipWithError("no subscription");
    return;
  }
  sim.source.addValue(kCmd, kOpt, kIdx, StreamSource::U32);
  uint64_t sent = 0;
  uint64_t delivered = 0;
  uint64_t cached = 0;
  for (auto _ : state) {
    const uint64_t sentBefore = sim.source.samplesSent();
    const uint64_t callsBefore = counter.calls.load();
    sim.source.start(rate);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sim.source.stop();
    const uint64_t lastSent = sim.source.samplesSent() - 1;  // the values count from 0
    // Until the filter has taken the last sample (or nothing moves).
    uint32_t value = 0;
    for (int i = 0; i < 200; ++i) {
      const aErr err = link->getStreamValue(kAddress, kCmd, kOpt, kIdx, 0, &value);
      if ((err == aErrNone || err == aErrStreamStale) && value == static_cast<uint32_t>(lastSent)) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the worker's last calls
    sent += sim.source.samplesSent() - sentBefore;
    delivered += counter.calls.load() - callsBefore;
    cached += value == static_cast<uint32_t>(lastSent) ? 1 : 0;
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["sent_per_s"] = static_cast<double>(sent) / iterations;
  state.counters["callbacks_per_s"] = static_cast<double>(delivered) / iterations;
  state.counters["dropped"] = static_cast<double>(sent - delivered) / iterations;
  state.counters["last_value_cached"] = static_cast<double>(cached) / iterations;
  link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, false, nullptr, nullptr);
}
BENCHMARK(BM_CallbacksPerSecond)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(100000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// getUEI32 of the system entity's serial number, with a 1 kHz stream of an
// exact subscription running (range 1) or without any (range 0).
void BM_UeiRoundTripsBesideAStream(benchmark::State& state) {
  const bool streaming = state.range(0) != 0;
  Sim sim;
  auto module = sim.connect();
  if (!module) {
    state.SkipWithError("no connection");
    return;
  }
  Link* link = module->getLink();
  Counter counter;
  if (streaming) {
    link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, count, &counter);
    sim.source.addValue(kCmd, kOpt, kIdx, StreamSource::U32);
    sim.source.start(1000);
  }
  EntityClass system;
  system.init(module.get(), 3, 0);
  uint64_t trips = 0;
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    uint32_t serial = 0;
    if (system.getUEI32(9, &serial) != aErrNone) {
      state.SkipWithError("no reply");
      break;
    }
    ++trips;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  state.counters["round_trips_per_s"] = static_cast<double>(trips) / wall;
  state.counters["callbacks"] = static_cast<double>(counter.calls.load());
  sim.source.stop();
}
BENCHMARK(BM_UeiRoundTripsBesideAStream)->Arg(0)->Arg(1)->Iterations(20000)->Unit(benchmark::kMicrosecond);

// A worker with a subscription and nothing streamed: its own processor
// time over one second.
void BM_IdleWorkerCpu(benchmark::State& state) {
  Sim sim;
  auto module = sim.connect();
  if (!module) {
    state.SkipWithError("no connection");
    return;
  }
  Link* link = module->getLink();
  Counter counter;
  link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, count, &counter);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  for (int i = 0; i < 100 && counter.tid.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const long worker = counter.tid.load();
  if (worker == 0) {
    state.SkipWithError("no callback");
    return;
  }
  double used = 0;
  for (auto _ : state) {
    const double before = threadCpuSeconds(worker);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    used += threadCpuSeconds(worker) - before;
  }
  state.counters["worker_cpu_ms_per_s"] = 1000.0 * used / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IdleWorkerCpu)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
