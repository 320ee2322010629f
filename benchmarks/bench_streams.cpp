// Cost of the socket stream's byte-by-byte reads against raw recv() of one
// byte on the same kind of loopback connection, the same through the USB
// stream on an emulated module (the real libusb against umockdev's emulated
// kernel), and the CPU an idle reader burns with and without the stream's
// wait.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "Tessarine2/common/aStream.h"
#if TESSARINE_BENCH_USB
#include "Tessarine2/common/aStreamUSB.h"
#include "tests/sim/usb/UsbTestbed.h"
#endif

namespace {

// A listener on 127.0.0.1 and the far end of one connection to it.
class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &length);
    port_ = ntohs(where.sin_port);
  }
  ~LoopbackServer() {
    if (far_ >= 0) {
      close(far_);
    }
    close(listener_);
  }
  uint16_t port() const { return port_; }
  void acceptOne() { far_ = accept(listener_, nullptr, nullptr); }
  void send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(far_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
        return;
      }
      done += static_cast<size_t>(n);
    }
  }

 private:
  int listener_ = -1;
  int far_ = -1;
  uint16_t port_ = 0;
};

constexpr size_t kChunk = 64 * 1024;

void BM_StreamReadOneByte(benchmark::State& state) {
  LoopbackServer server;
  aStream* stream = nullptr;
  if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), server.port(), &stream) != aErrNone) {
    state.SkipWithError("no loopback connection");
    return;
  }
  server.acceptOne();
  const std::string chunk(kChunk, 'x');
  size_t left = 0;
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      server.send(chunk);
      left = kChunk;
      state.ResumeTiming();
    }
    uint8_t byte;
    while (aStream_Read(stream, &byte, 1) == aErrNotReady) {
      aStream_WaitReadable(stream, 100);
    }
    benchmark::DoNotOptimize(byte);
    --left;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()));
  aStream_Destroy(&stream);
}
BENCHMARK(BM_StreamReadOneByte);

void BM_RawRecvOneByte(benchmark::State& state) {
  LoopbackServer server;
  int near = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  where.sin_port = htons(server.port());
  if (connect(near, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    state.SkipWithError("no loopback connection");
    close(near);
    return;
  }
  server.acceptOne();
  const std::string chunk(kChunk, 'x');
  size_t left = 0;
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      server.send(chunk);
      left = kChunk;
      state.ResumeTiming();
    }
    uint8_t byte;
    while (recv(near, &byte, 1, MSG_DONTWAIT) != 1) {
      pollfd entry{near, POLLIN, 0};
      poll(&entry, 1, 100);
    }
    benchmark::DoNotOptimize(byte);
    --left;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()));
  close(near);
}
BENCHMARK(BM_RawRecvOneByte);

#if TESSARINE_BENCH_USB
// The module keeps the host's IN transfers full: each transfer brings 800
// bytes, which the stream then hands out one per read.
void BM_USBStreamReadOneByte(benchmark::State& state) {
  testsupport::usb::UsbTestbed bus;
  testsupport::usb::UsbDeviceModel& module = bus.add(testsupport::usb::UsbDeviceDescription{});
  aStream* stream = nullptr;
  if (aStream_CreateUSB(0x0000ABCD, &stream) != aErrNone) {
    state.SkipWithError("no emulated module");
    return;
  }
  const std::string chunk(kChunk, 'x');
  size_t left = 0;
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      module.queueForHost(chunk);
      left = kChunk;
      state.ResumeTiming();
    }
    uint8_t byte;
    while (aStream_Read(stream, &byte, 1) == aErrNotReady) {
    }
    benchmark::DoNotOptimize(byte);
    --left;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["transfers"] = module.counters().bulkSubmits;
  aStream_Destroy(&stream);
}
BENCHMARK(BM_USBStreamReadOneByte);
#endif

double threadCPUSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A link's reader on an idle socket stream: with the wait (range 1) for
// 5 s, and spinning on "not ready" as the bare reads leave it (range 0) for
// 1 s, as the baseline.
void BM_IdleReaderCPU(benchmark::State& state) {
  const bool waits = state.range(0) == 1;
  const auto span = waits ? std::chrono::seconds(5) : std::chrono::seconds(1);
  LoopbackServer server;
  aStream* stream = nullptr;
  if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), server.port(), &stream) != aErrNone) {
    state.SkipWithError("no loopback connection");
    return;
  }
  server.acceptOne();
  double cpu = 0;
  double reads = 0;
  for (auto _ : state) {
    std::thread reader([&] {
      double before = threadCPUSeconds();
      auto end = std::chrono::steady_clock::now() + span;
      while (std::chrono::steady_clock::now() < end) {
        uint8_t byte;
        if (aStream_Read(stream, &byte, 1) == aErrNotReady) {
          if (waits) {
            aStream_WaitReadable(stream, 100);
          }
        }
        reads += 1;
      }
      cpu = threadCPUSeconds() - before;
    });
    reader.join();
  }
  const double seconds = std::chrono::duration<double>(span).count();
  state.counters["cpu_ms"] = cpu * 1000;
  state.counters["cpu_percent_of_core"] = 100 * cpu / seconds;
  state.counters["reads_per_s"] = reads / seconds;
  aStream_Destroy(&stream);
}
BENCHMARK(BM_IdleReaderCPU)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

#if TESSARINE_BENCH_USB
double processCPUSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A reader on an idle emulated module for 5 s: each read waits in its bulk
// transfer. Counted for the whole process, since the emulation (libusb's
// polling and umockdev's thread) spends what a kernel would.
void BM_USBIdleReaderCPU(benchmark::State& state) {
  testsupport::usb::UsbTestbed bus;
  bus.add(testsupport::usb::UsbDeviceDescription{});
  aStream* stream = nullptr;
  if (aStream_CreateUSB(0x0000ABCD, &stream) != aErrNone) {
    state.SkipWithError("no emulated module");
    return;
  }
  const auto span = std::chrono::seconds(5);
  double cpu = 0;
  double reads = 0;
  for (auto _ : state) {
    double before = processCPUSeconds();
    std::thread reader([&] {
      auto end = std::chrono::steady_clock::now() + span;
      while (std::chrono::steady_clock::now() < end) {
        uint8_t byte;
        aStream_Read(stream, &byte, 1);
        reads += 1;
      }
    });
    reader.join();
    cpu = processCPUSeconds() - before;
  }
  const double seconds = std::chrono::duration<double>(span).count();
  state.counters["cpu_ms"] = cpu * 1000;
  state.counters["cpu_percent_of_core"] = 100 * cpu / seconds;
  state.counters["reads_per_s"] = reads / seconds;
  aStream_Destroy(&stream);
}
BENCHMARK(BM_USBIdleReaderCPU)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
