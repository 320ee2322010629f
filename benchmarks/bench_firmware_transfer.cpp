// The firmware phase of an update over TCP: UpdaterEntity sends a 256 KiB
// firmware block to a simulated module's loader (prepare, then per 256-byte
// chunk ten data pieces, the sum and the write), beside a raw socket client
// making the very same exchanges with a second module of the same kind in
// the same process, on a thread of its own (see SideThread.h). Each
// iteration does one transfer of each, so both see the same machine load.
//
// Reports, for the entity and for the raw client: microseconds per
// exchange (a request and its reply) and the process's processor time per
// exchange (modules included), and the entity's ratio to the raw client.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "Tessarine2/objects/Module.h"
#include "benchmarks/BenchSupport.h"
#include "benchmarks/SideThread.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/TcpFront.h"
#include "tests/sim/module/UeiTable.h"
#include "tests/sim/module/UpgradeCommand.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "updater/UpdaterEntity.h"

namespace {

using Clock = std::chrono::steady_clock;
using simmodule::UpgradeCommand;

constexpr uint8_t kAddress = 0x06;
constexpr uint32_t kFlashBase = 0x00010000;
constexpr size_t kFirmwareBytes = 256 * 1024;

// A module whose loader runs, on loopback TCP. The front is declared last,
// so it stops first and no handler runs while the rest goes.
struct LoaderModule {
  LoaderModule() : table(engine, kAddress), upgrade(engine, kAddress), front(engine) {
    simmodule::addSystemEntity(table, simmodule::ModuleIdentity());
    upgrade.setMode(UpgradeCommand::Mode::Loader);
  }
  simmodule::ModuleEngine engine{kAddress};
  simmodule::UeiTable table;
  UpgradeCommand upgrade;
  simmodule::TcpFront front;
};

// The upgrade requests the module has answered.
uint64_t answered(const UpgradeCommand& upgrade) {
  const UpgradeCommand::Counts c = upgrade.counts();
  return static_cast<uint64_t>(c.inits + c.prepares + c.pieces + c.sums + c.writes + c.loads);
}

// [address (4)][payload]: a firmware block as the container holds it.
std::vector<uint8_t> firmwareBlock() {
  std::vector<uint8_t> block = {static_cast<uint8_t>(kFlashBase >> 24), static_cast<uint8_t>(kFlashBase >> 16),
                                static_cast<uint8_t>(kFlashBase >> 8), static_cast<uint8_t>(kFlashBase)};
  for (size_t i = 0; i < kFirmwareBytes; ++i) {
    block.push_back(static_cast<uint8_t>(i * 7 + 3));
  }
  return block;
}

// The upgrade requests on one blocking socket, each reply read on the
// caller's thread.
class RawUpgradeClient {
 public:
  explicit RawUpgradeClient(const LoaderModule& module)
      : descriptor_(connectRawClient(module.front.address(), module.front.port())) {}
  ~RawUpgradeClient() { close(); }
  RawUpgradeClient(const RawUpgradeClient&) = delete;
  RawUpgradeClient& operator=(const RawUpgradeClient&) = delete;
  bool ok() const { return descriptor_ >= 0; }
  // Microseconds of every exchange.
  std::vector<double> samples;

  // The same exchanges UpdaterEntity makes for one block; counts them.
  bool transfer(const std::vector<uint8_t>& block, uint64_t* exchanges) {
    const uint8_t prepare[] = {95, 3, 0, block[0], block[1], block[2], block[3]};
    uint8_t reply[28];
    if (!exchange(prepare, sizeof prepare, reply, exchanges) || reply[1] != 7 || reply[2] != 0) {
      return false;
    }
    const size_t blockSize = static_cast<size_t>((reply[3] << 8) | reply[4]);
    const uint8_t* at = block.data() + 4;
    size_t left = block.size() - 4;
    while (left > 0) {
      const size_t chunk = left < blockSize ? left : blockSize;
      for (size_t sent = 0; sent < chunk;) {
        const uint8_t n = static_cast<uint8_t>(chunk - sent < 26 ? chunk - sent : 26);
        uint8_t piece[28] = {95, 1};
        std::memcpy(piece + 2, at + sent, n);
        if (!exchange(piece, static_cast<uint8_t>(n + 2), reply, exchanges) || reply[1] != 1 || reply[2] != n) {
          return false;
        }
        sent += n;
      }
      const uint8_t sum[] = {95, 4};
      if (!exchange(sum, sizeof sum, reply, exchanges) || reply[1] != 7 || reply[2] != 0) {
        return false;
      }
      const uint8_t write[] = {95, 5, static_cast<uint8_t>(chunk >> 8), static_cast<uint8_t>(chunk)};
      if (!exchange(write, sizeof write, reply, exchanges) || reply[1] != 7 || reply[2] != 0) {
        return false;
      }
      at += chunk;
      left -= chunk;
    }
    return true;
  }

 private:
  // [address][length][data]; the reply's data into reply (28 bytes).
  bool exchange(const uint8_t* data, uint8_t length, uint8_t* reply, uint64_t* exchanges) {
    const Clock::time_point start = Clock::now();
    uint8_t request[30] = {kAddress, length};
    std::memcpy(request + 2, data, length);
    const size_t size = static_cast<size_t>(length) + 2;
    if (send(descriptor_, request, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
      return false;
    }
    uint8_t header[2];
    if (!receive(header, 2) || header[1] > 28 || !receive(reply, header[1]) || header[1] < 3) {
      return false;
    }
    ++*exchanges;
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return true;
  }
  bool receive(uint8_t* into, size_t count) {
    size_t got = 0;
    while (got < count) {
      ssize_t n = recv(descriptor_, into + got, count - got, 0);
      if (n <= 0) {
        return false;
      }
      got += static_cast<size_t>(n);
    }
    return true;
  }
  void close() {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
      descriptor_ = -1;
    }
  }
  int descriptor_ = -1;
};

void BM_FirmwareTransferBesideRawTcp(benchmark::State& state) {
  const std::vector<uint8_t> block = firmwareBlock();
  LoaderModule entityModule;
  LoaderModule rawModule;
  aErr err = aErrNone;
  auto module = objtest::connectedModule(objtest::tcpSpec(entityModule.front.address(), entityModule.front.port()),
                                         kAddress, &err);
  RawUpgradeClient raw(rawModule);
  UpdaterEntity entity;
  if (err != aErrNone || !raw.ok() || entity.init(module.get(), 0, true, false) != aErrNone) {
    state.SkipWithError("no connection");
    return;
  }
  opstest::OpsDisplay display;
  SideThread side;
  double entitySeconds = 0, rawSeconds = 0, entityCpu = 0, rawCpu = 0;
  uint64_t entityExchanges = 0, rawExchanges = 0;
  for (auto _ : state) {
    double cpu = processCpuSeconds();
    Clock::time_point start = Clock::now();
    uint16_t blockSize = 0;
    if (entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize) != aErrNone ||
        entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, display) != aErrNone) {
      state.SkipWithError("entity transfer failed");
      break;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    entitySeconds += seconds;
    entityCpu += processCpuSeconds() - cpu;
    entityExchanges = answered(entityModule.upgrade);
    state.SetIterationTime(seconds);

    cpu = processCpuSeconds();
    start = Clock::now();
    bool transferred = false;
    side.run([&] { transferred = raw.transfer(block, &rawExchanges); });
    if (!transferred) {
      state.SkipWithError("raw transfer failed");
      break;
    }
    rawSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    rawCpu += processCpuSeconds() - cpu;
    // The modules' records of what the host sent grow by every packet.
    entityModule.engine.clearRecords();
    rawModule.engine.clearRecords();
  }
  if (entityExchanges > 0 && rawExchanges > 0) {
    const double entityUs = 1e6 * entitySeconds / static_cast<double>(entityExchanges);
    const double rawUs = 1e6 * rawSeconds / static_cast<double>(rawExchanges);
    state.counters["exchanges"] = static_cast<double>(entityExchanges) / static_cast<double>(state.iterations());
    state.counters["entity_us_per_exchange"] = entityUs;
    state.counters["raw_us_per_exchange"] = rawUs;
    std::sort(raw.samples.begin(), raw.samples.end());
    state.counters["raw_p50_us"] = raw.samples[raw.samples.size() / 2];
    state.counters["raw_p90_us"] = raw.samples[raw.samples.size() * 9 / 10];
    state.counters["raw_p99_us"] = raw.samples[raw.samples.size() * 99 / 100];
    state.counters["ratio"] = entityUs / rawUs;
    state.counters["entity_cpu_us_per_exchange"] = 1e6 * entityCpu / static_cast<double>(entityExchanges);
    state.counters["raw_cpu_us_per_exchange"] = 1e6 * rawCpu / static_cast<double>(rawExchanges);
  }
}
BENCHMARK(BM_FirmwareTransferBesideRawTcp)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(4);

}  // namespace

BENCHMARK_MAIN();
