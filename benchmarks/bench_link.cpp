// Links against the simulated module: request/reply round trip over a
// loopback TCP link (and over the emulated USB bus when it is built) beside
// a raw socket client doing the same request on the same kind of module,
// where the link's round trip goes, pipelined packets per second, the
// processor an idle link uses and one making 1000 requests a second, and
// how long destroying an idle TCP link takes.
//
// Round trips report p50_us and p99_us; the hop breakdown reports p50 and
// mean of each hop (see BM_RoundTripTcpHops); BM_RoundTripTcpBesideRaw
// alternates the link and raw clients in one run and reports both and
// their ratios; the idle link reports cpu_percent of one core over 5 s,
// BM_PacedCpuTcp the same for the link and a raw client at a fixed rate;
// the destroy reports its time per iteration.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aTime.h"
#include "benchmarks/BenchSupport.h"
#include "benchmarks/SideThread.h"
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

// The same request without the link: one blocking socket, the request
// written and the reply read on the caller's thread. What the module and
// the loopback path cost by themselves.
class RawClient {
 public:
  explicit RawClient(const TcpModule& module)
      : descriptor_(connectRawClient(module.front.address(), module.front.port())) {}
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool ok() const { return descriptor_ >= 0; }

  int descriptor() const { return descriptor_; }

  // [address][length][data]: the reply is the request's bytes again.
  static constexpr size_t kEchoLength = 6;
  bool sendEcho(uint8_t tag) {
    const uint8_t request[kEchoLength] = {kModule, 4, kEcho, tag, 0x55, 0xAA};
    return send(descriptor_, request, sizeof request, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request);
  }

  bool echo(uint8_t tag) {
    if (!sendEcho(tag)) {
      return false;
    }
    uint8_t reply[kEchoLength];
    size_t got = 0;
    while (got < sizeof reply) {
      ssize_t n = recv(descriptor_, reply + got, sizeof reply - got, 0);
      if (n <= 0) {
        return false;
      }
      got += static_cast<size_t>(n);
    }
    return reply[2] == kEcho && reply[3] == tag;
  }

 private:
  void close() {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
      descriptor_ = -1;
    }
  }
  int descriptor_ = -1;
};

// The raw client split the way the link splits its work, with none of the
// link's code: the caller sends, a reader thread of its own waits in poll
// and reads the replies, and the caller spins until the reader has counted
// the reply. Its round trip is the floor, on this machine, of any design
// that reads on a thread of its own.
class SplitRawClient {
 public:
  explicit SplitRawClient(const TcpModule& module) : raw_(module), reader_([this] { readLoop(); }) {}
  ~SplitRawClient() {
    stopping_.store(true);
    reader_.join();
  }
  SplitRawClient(const SplitRawClient&) = delete;
  SplitRawClient& operator=(const SplitRawClient&) = delete;
  bool ok() const { return raw_.ok(); }

  bool echo(uint8_t tag) {
    const uint64_t before = replies_.load();
    if (!raw_.sendEcho(tag)) {
      return false;
    }
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(1);
    while (replies_.load() == before) {
      if (Clock::now() >= giveUp) {
        return false;
      }
    }
    return lastTag_.load() == tag;
  }

 private:
  void readLoop() {
    uint8_t reply[RawClient::kEchoLength];
    size_t got = 0;
    while (!stopping_.load()) {
      pollfd entry{raw_.descriptor(), POLLIN, 0};
      poll(&entry, 1, 20);
      ssize_t n = recv(raw_.descriptor(), reply + got, sizeof reply - got, MSG_DONTWAIT);
      if (n <= 0) {
        continue;
      }
      got += static_cast<size_t>(n);
      if (got == sizeof reply) {
        lastTag_.store(reply[3]);
        replies_.fetch_add(1);
        got = 0;
      }
    }
  }

  RawClient raw_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> replies_{0};
  std::atomic<uint8_t> lastTag_{0};
  std::thread reader_;
};

void BM_RoundTripRawTcp(benchmark::State& state) {
  TcpModule module;
  RawClient client(module);
  if (!client.ok()) {
    state.SkipWithError("no connection");
    return;
  }
  std::vector<double> samples;
  samples.reserve(100000);
  uint8_t tag = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!client.echo(tag++)) {
      state.SkipWithError("no reply");
      break;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  reportPercentiles(state, samples);
}
BENCHMARK(BM_RoundTripRawTcp)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Stamps taken along one round trip: when the module's handler sees the
// request (its thread), when the link's reader has framed the reply (a
// user filter that consumes nothing), and on the caller's side.
struct HopStamps {
  std::atomic<int64_t> moduleGot{0};
  std::atomic<int64_t> readerFramed{0};
};

int64_t nowNS() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void stampEchoesAtTheModule(simmodule::ModuleEngine& engine, HopStamps* stamps) {
  engine.setHandler(kModule, kEcho, [stamps](const simmodule::SimPacket& request) {
    stamps->moduleGot.store(nowNS());
    return std::vector<simmodule::SimPacket>{request};
  });
}

bool stampFramedEcho(const aPacket* packet, void* reference) {
  if (isEcho(packet, nullptr)) {
    static_cast<HopStamps*>(reference)->readerFramed.store(nowNS());
  }
  return false;
}

// The p50 and the mean of a hop (the means add up to the round trip's
// mean; the p50s need not).
void reportHops(benchmark::State& state, const std::string& name, std::vector<double>& microseconds) {
  if (microseconds.empty()) {
    return;
  }
  std::sort(microseconds.begin(), microseconds.end());
  double sum = 0;
  for (double sample : microseconds) {
    sum += sample;
  }
  state.counters[name + "_p50_us"] = microseconds[microseconds.size() / 2];
  state.counters[name + "_mean_us"] = sum / static_cast<double>(microseconds.size());
}

// The link's round trip in three hops, in microseconds (p50, and mean):
//   out   caller's put -> writer thread -> socket -> module's handler
//   back  module's reply -> socket -> reader thread has framed it
//   fifo  reader's in-FIFO put -> the caller's filtered wait returns
// BM_RoundTripRawHops splits the raw client's trip the same way (out,
// back), so the link's own share of each hop is the difference.
void BM_RoundTripTcpHops(benchmark::State& state) {
  TcpModule module;
  HopStamps stamps;
  stampEchoesAtTheModule(module.engine, &stamps);
  linkID link = module.open();
  if (link == 0) {
    state.SkipWithError("no link");
    return;
  }
  aLink_InstallUserPacketFilter(link, stampFramedEcho, &stamps);
  std::vector<double> out, back, fifo;
  out.reserve(100000);
  back.reserve(100000);
  fifo.reserve(100000);
  uint8_t tag = 0;
  for (auto _ : state) {
    const int64_t start = nowNS();
    if (!sendEcho(link, tag++) || !awaitEcho(link)) {
      state.SkipWithError("no reply");
      break;
    }
    const int64_t end = nowNS();
    const int64_t got = stamps.moduleGot.load();
    const int64_t framed = stamps.readerFramed.load();
    out.push_back(static_cast<double>(got - start) / 1e3);
    back.push_back(static_cast<double>(framed - got) / 1e3);
    fifo.push_back(static_cast<double>(end - framed) / 1e3);
  }
  aLink_InstallUserPacketFilter(link, nullptr, nullptr);
  aLink_Destroy(&link);
  reportHops(state, "out", out);
  reportHops(state, "back", back);
  reportHops(state, "fifo", fifo);
}
BENCHMARK(BM_RoundTripTcpHops)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_RoundTripRawHops(benchmark::State& state) {
  TcpModule module;
  HopStamps stamps;
  stampEchoesAtTheModule(module.engine, &stamps);
  RawClient client(module);
  if (!client.ok()) {
    state.SkipWithError("no connection");
    return;
  }
  std::vector<double> out, back;
  out.reserve(100000);
  back.reserve(100000);
  uint8_t tag = 0;
  for (auto _ : state) {
    const int64_t start = nowNS();
    if (!client.echo(tag++)) {
      state.SkipWithError("no reply");
      break;
    }
    const int64_t end = nowNS();
    const int64_t got = stamps.moduleGot.load();
    out.push_back(static_cast<double>(got - start) / 1e3);
    back.push_back(static_cast<double>(end - got) / 1e3);
  }
  reportHops(state, "out", out);
  reportHops(state, "back", back);
}
BENCHMARK(BM_RoundTripRawHops)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

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

// Round trips over a link and over a raw client, each to its own module of
// the same kind, in alternating blocks: both see the same machine load, and
// each keeps the rhythm of back-to-back requests within a block. The raw
// clients run on threads of their own (see SideThread.h). Reports
// p50 and p99 of both, their ratios, and the process's processor time per
// round trip of each (modules included); also p50 and p99 of the split raw
// client (split_*, see SplitRawClient).
void BM_RoundTripTcpBesideRaw(benchmark::State& state) {
  // Long enough that the first round trips of a block, which start from
  // sleep on both sides, weigh little in the p99.
  constexpr int kBlock = 1000;
  TcpModule linkModule;
  TcpModule rawModule;
  TcpModule splitModule;
  linkID link = linkModule.open();
  RawClient raw(rawModule);
  SplitRawClient split(splitModule);
  if (link == 0 || !raw.ok() || !split.ok()) {
    state.SkipWithError("no connection");
    return;
  }
  SideThread side;
  SideThread splitSide;
  std::vector<double> linkSamples, rawSamples, splitSamples;
  double linkCpu = 0, rawCpu = 0;
  uint8_t tag = 0;
  for (auto _ : state) {
    double cpu = processCpuSeconds();
    for (int i = 0; i < kBlock; ++i) {
      const Clock::time_point start = Clock::now();
      if (!sendEcho(link, tag++) || !awaitEcho(link)) {
        state.SkipWithError("no reply");
        break;
      }
      linkSamples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    linkCpu += processCpuSeconds() - cpu;
    cpu = processCpuSeconds();
    bool answered = true;
    side.run([&] {
      for (int i = 0; i < kBlock && answered; ++i) {
        const Clock::time_point start = Clock::now();
        answered = raw.echo(tag++);
        rawSamples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
    });
    rawCpu += processCpuSeconds() - cpu;
    splitSide.run([&] {
      for (int i = 0; i < kBlock && answered; ++i) {
        const Clock::time_point start = Clock::now();
        answered = split.echo(tag++);
        splitSamples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
    });
    if (!answered) {
      state.SkipWithError("no raw reply");
      break;
    }
  }
  aLink_Destroy(&link);
  if (linkSamples.empty() || rawSamples.empty()) {
    return;
  }
  std::sort(linkSamples.begin(), linkSamples.end());
  std::sort(rawSamples.begin(), rawSamples.end());
  std::sort(splitSamples.begin(), splitSamples.end());
  auto at = [](const std::vector<double>& sorted, double fraction) {
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()))];
  };
  state.counters["link_p50_us"] = at(linkSamples, 0.50);
  state.counters["link_p99_us"] = at(linkSamples, 0.99);
  state.counters["raw_p50_us"] = at(rawSamples, 0.50);
  state.counters["raw_p99_us"] = at(rawSamples, 0.99);
  state.counters["ratio_p50"] = at(linkSamples, 0.50) / at(rawSamples, 0.50);
  state.counters["ratio_p99"] = at(linkSamples, 0.99) / at(rawSamples, 0.99);
  state.counters["split_p50_us"] = at(splitSamples, 0.50);
  state.counters["split_p99_us"] = at(splitSamples, 0.99);
  state.counters["link_cpu_us"] = 1e6 * linkCpu / static_cast<double>(linkSamples.size());
  state.counters["raw_cpu_us"] = 1e6 * rawCpu / static_cast<double>(rawSamples.size());
}
BENCHMARK(BM_RoundTripTcpBesideRaw)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The process's processor time, in percent of one core, while a link makes
// `rate` round trips a second for 5 s, one request at the start of each
// period; then the same for a raw client on its own module and thread.
void BM_PacedCpuTcp(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto period = std::chrono::nanoseconds(1000000000 / rate);
  constexpr auto kWall = std::chrono::seconds(5);
  TcpModule linkModule;
  TcpModule rawModule;
  linkID link = linkModule.open();
  RawClient raw(rawModule);
  if (link == 0 || !raw.ok()) {
    state.SkipWithError("no connection");
    return;
  }
  aTime_MSSleep(200);
  auto paced = [&](auto roundTrip) {
    const double before = processCpuSeconds();
    const Clock::time_point start = Clock::now();
    Clock::time_point next = start;
    uint8_t tag = 0;
    while (Clock::now() - start < kWall) {
      if (!roundTrip(tag++)) {
        return -1.0;
      }
      next += period;
      std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return 100.0 * (processCpuSeconds() - before) / wall;
  };
  double linkPercent = 0, rawPercent = 0;
  SideThread side;
  for (auto _ : state) {
    linkPercent = paced([&](uint8_t tag) { return sendEcho(link, tag) && awaitEcho(link); });
    side.run([&] { rawPercent = paced([&](uint8_t tag) { return raw.echo(tag); }); });
  }
  aLink_Destroy(&link);
  if (linkPercent < 0 || rawPercent < 0) {
    state.SkipWithError("no reply");
    return;
  }
  state.counters["link_cpu_percent"] = linkPercent;
  state.counters["raw_cpu_percent"] = rawPercent;
}
BENCHMARK(BM_PacedCpuTcp)->Arg(1000)->Iterations(1)->Unit(benchmark::kSecond);

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
