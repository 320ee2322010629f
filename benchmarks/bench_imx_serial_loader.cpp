// The i.MX RT serial loader download on the simulated ROM's paced line at
// 115200 baud, beside its line bound: the time the bytes of one download
// (status request and answer, WRITE_FILE, the image, the confirmation)
// need on the wire, 10 bit times a byte. Goal: at most 1.05 times the
// bound. imx_uart (when installed) writes the same image on the same line
// as a second baseline, process start and its own settling included.
//
//   bench_imx_serial_loader [--benchmark_filter=...]
// Counters: bound_s (line bound), ratio (measured / bound).

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/bootrom/ImxSdpSerialPeer.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBaud = 115200.0;
// ERROR_STATUS and WRITE_FILE (16 bytes each) and their answers (8 bytes).
constexpr size_t kProtocolBytes = 16 + 8 + 16 + 8;

double lineBound(size_t imageBytes) { return static_cast<double>(imageBytes + kProtocolBytes) * 10.0 / kBaud; }

std::vector<unsigned char> image(size_t n) {
  std::vector<unsigned char> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 13 + 7);
  return bytes;
}

void BM_ImxSerialLoaderDownload(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const std::vector<unsigned char> bytes = image(size);
  bootrom::ImxSdpRom rom(0x0123456789ABCDEFull);
  bootrom::ImxSdpSerialPeer line(rom);
  SDPLoader loader;
  loader.setLoader(new Serial_SDPLoader(line.devicePath().c_str()));
  if (loader.init() != 0) {
    state.SkipWithError("the port did not open");
    return;
  }
  double total = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const int result = loader.writeLoader(bytes, 0x20000000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (result != 0) {
      state.SkipWithError("download failed");
      return;
    }
    state.SetIterationTime(seconds);
    total += seconds;
  }
  const double bound = lineBound(size);
  state.counters["bound_s"] = bound;
  state.counters["ratio"] = total / static_cast<double>(state.iterations()) / bound;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_ImxSerialLoaderDownload)
    ->Arg(4 * 1024)
    ->Arg(16 * 1024)
    ->Arg(64 * 1024)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// imx_uart on the same line: the image with an image vector table, as it
// wants one. Its time includes starting the process and its jump.
void BM_ImxUartSameImage(benchmark::State& state) {
  if (access("/usr/bin/imx_uart", X_OK) != 0) {
    state.SkipWithError("imx_uart is not installed");
    return;
  }
  const size_t size = static_cast<size_t>(state.range(0));
  testsupport::TempDir dir;
  std::vector<unsigned char> bytes = image(size);
  const unsigned char table[44] = {0xD1, 0x00, 0x20, 0x41, 0x01, 0x14, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0,
                                   0,    0x20, 0x04, 0x00, 0x20, 0x00, 0x04, 0x00, 0x20, 0, 0, 0, 0, 0, 0,
                                   0,    0,    0x00, 0x04, 0x00, 0x20, static_cast<unsigned char>(size),
                                   static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size >> 16), 0,
                                   0,    0,    0,    0};
  std::copy(table, table + sizeof table, bytes.begin());
  const std::string file = dir.write("loader.imx", std::string(bytes.begin(), bytes.end()));
  const std::string config =
      dir.write("imxrt.conf", "imxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,512K,0x00000000,512K\n");
  double total = 0;
  for (auto _ : state) {
    bootrom::ImxSdpRom rom(1);
    bootrom::ImxSdpSerialPeer line(rom);
    line.setAfterJump("U-Boot\r\n");
    const std::string command =
        "/usr/bin/imx_uart -N -n " + line.devicePath() + " " + config + " " + file + " >/dev/null 2>&1";
    const Clock::time_point start = Clock::now();
    const int status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (status != 0 || !rom.jumped()) {
      state.SkipWithError("imx_uart failed");
      return;
    }
    state.SetIterationTime(seconds);
    total += seconds;
  }
  const double bound = lineBound(size);
  state.counters["bound_s"] = bound;
  state.counters["ratio"] = total / static_cast<double>(state.iterations()) / bound;
}
BENCHMARK(BM_ImxUartSameImage)
    ->Arg(4 * 1024)
    ->Arg(16 * 1024)
    ->Arg(64 * 1024)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
