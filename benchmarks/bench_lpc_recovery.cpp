// LPC17xx recovery through the ISP boot ROM beside lpc21isp flashing the
// same 10 KiB image, both against the simulated ROM on the same kind of
// paced line: 115200 baud, 10 bit times a byte both ways, a 16 ms
// USB-serial adapter latency, erase answered after 100 ms and copies after
// 1 ms per 256 bytes. The recovery's figure includes its fingerprint step
// (auto-baud and "N"), which lpc21isp's own synchronisation matches.
//
// Run by hand: bench_lpc_recovery --benchmark_repetitions=3. lpc21isp is
// left out with a note when it is not installed.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/sim/ProgramRun.h"
#include "tests/sim/TempDir.h"
#include "tests/sim/bootrom/Lpc17xxIspLine.h"
#include "tests/sim/bootrom/Lpc17xxIspRom.h"
#include "tests/updater/operations/RecoveryImages.h"
#include "updater/Updater.h"

namespace {

constexpr unsigned kBaud = 115200;
constexpr size_t kImageBytes = 10 * 1024;
constexpr auto kAdapterLatency = std::chrono::milliseconds(16);

class QuietDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char* text) override { last_error = text; }
  std::string last_error;
};

const birdgen::Bytes& image() {
  static const birdgen::Bytes bytes = birdgen::pattern(kImageBytes, 41);
  return bytes;
}

// A fresh chip on a fresh paced line.
struct PacedChip {
  bootrom::Lpc17xxIspRom rom;
  bootrom::SerialRomPeer line{bootrom::lpcIspLineHandler(rom), bootrom::lpcIspLineOptions(kAdapterLatency)};
};

bool imageInFlash(const bootrom::Lpc17xxIspRom& rom, size_t from) {
  const std::vector<uint8_t> flash = rom.flash(0, static_cast<uint32_t>(kImageBytes));
  return std::equal(flash.begin() + static_cast<long>(from), flash.end(), image().begin() + static_cast<long>(from));
}

void BM_UpdaterRecovery(benchmark::State& state) {
  testsupport::TempDir dir;
  const std::string file = dir.file("recovery.bird");
  if (!birdgen::write(file, opstest::lpcContainer(0x0000ABCD, {{0x00000000, image()}}, false))) {
    state.SkipWithError("cannot write the container");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    PacedChip chip;
    QuietDisplay display;
    Updater updater("http://127.0.0.1:9/unused", dir.file("store").c_str(), display);
    state.ResumeTiming();
    const bool recovered = updater.Recover_Firmware(chip.line.devicePath(), 0, kBaud, 0, file, false);
    state.PauseTiming();
    if (!recovered || !imageInFlash(chip.rom, 0)) {
      state.SkipWithError(("recovery failed: " + display.last_error).c_str());
      return;
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
}

void BM_Lpc21ispFlash(benchmark::State& state) {
  const std::string tool = "/usr/bin/lpc21isp";
  if (access(tool.c_str(), X_OK) != 0) {
    state.SkipWithError("lpc21isp is not installed (scripts/setup installs it)");
    return;
  }
  testsupport::TempDir dir;
  dir.write("image.bin", std::string(image().begin(), image().end()));
  for (auto _ : state) {
    state.PauseTiming();
    PacedChip chip;
    state.ResumeTiming();
    const int status = testsupport::runProgram(
        {tool, "-bin", dir.file("image.bin"), chip.line.devicePath(), std::to_string(kBaud), "14746"},
        dir.file("out"), dir.file("err"));
    state.PauseTiming();
    // lpc21isp rewrites the vector table's checksum word; the rest is the image.
    if (status != 0 || !imageInFlash(chip.rom, 32)) {
      state.SkipWithError("lpc21isp failed");
      return;
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
}

BENCHMARK(BM_UpdaterRecovery)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Lpc21ispFlash)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
