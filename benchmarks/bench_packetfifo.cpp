// Hand-off from a put to a filtered waiter: the packet FIFO beside a plain
// mutex + condition-variable queue of the same packets, in the same run.
//
//   Handoff/<queue>/<waiters>     one packet at a time; p50/p99 of put ->
//                                 waiter's return (manual time = latency)
//   Throughput/<queue>/<waiters>  a stream of packets, at most kInFlight queued
//
// <queue> is "fifo", "plain" (packets by value, one heap copy for the taker)
// or "copies" (the plain queue doing the FIFO's copies: a heap copy made on
// put, a second one on take), which separates the cost of those copies from
// the rest of the FIFO. Every waiter filters for its own packets (data byte 0
// = waiter index), and every put wakes all waiters, as a filtered take
// requires. After the runs the FIFO/plain and FIFO/copies ratios are printed.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/common/packetfifo.h"

namespace {

using steadyClock = std::chrono::steady_clock;

constexpr uint8_t kAddress = 0x10;
constexpr size_t kInFlight = 256;  // well below the FIFO's overflow bound

// Packet layout: data[0] the waiter it is for, data[1..8] the put time (ns).
aPacket makePacket(uint8_t waiter, int64_t stampNs) {
  aPacket p{};
  p.check = aPACKET_CHECK;
  p.address = kAddress;
  p.dataSize = 9;
  p.curSize = 11;
  p.data[0] = waiter;
  std::memcpy(&p.data[1], &stampNs, sizeof stampNs);
  return p;
}

int64_t stampOf(const aPacket* p) {
  int64_t ns;
  std::memcpy(&ns, &p->data[1], sizeof ns);
  return ns;
}

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(steadyClock::now().time_since_epoch()).count();
}

bool forWaiter(const aPacket* p, const void* waiter) { return p->data[0] == *static_cast<const uint8_t*>(waiter); }

class FifoQueue {
 public:
  static constexpr const char* kName = "fifo";
  FifoQueue() : handle_(aPacketFifo_Create()) {}
  void put(const aPacket& p) { aPacketFifo_Put(handle_, &p); }
  aPacket* awaitFirst(const uint8_t* waiter) { return aPacketFifo_AwaitFirst(handle_, forWaiter, waiter, UINT64_MAX); }
  void shutdown() { aPacketFifo_Destroy(&handle_); }

 private:
  aPacketFifoHandle handle_;
};

// What a hand-written queue would do: packets by value, a full filter scan
// per wake-up, a heap copy for the taker.
class PlainQueue {
 public:
  static constexpr const char* kName = "plain";
  void put(const aPacket& p) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(p);
    }
    wake_.notify_all();
  }
  aPacket* awaitFirst(const uint8_t* waiter) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      auto found =
          std::find_if(queue_.begin(), queue_.end(), [&](const aPacket& p) { return forWaiter(&p, waiter); });
      if (found != queue_.end()) {
        aPacket* copy = new aPacket(*found);
        queue_.erase(found);
        return copy;
      }
      if (stopped_) {
        return nullptr;
      }
      wake_.wait(lock);
    }
  }
  void shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<aPacket> queue_;
  bool stopped_ = false;
};

// The plain queue again, holding heap copies like the FIFO.
class CopiesQueue {
 public:
  static constexpr const char* kName = "copies";
  void put(const aPacket& p) {
    aPacket* copy = new aPacket(p);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(copy);
    }
    wake_.notify_all();
  }
  aPacket* awaitFirst(const uint8_t* waiter) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      auto found = std::find_if(queue_.begin(), queue_.end(), [&](const aPacket* p) { return forWaiter(p, waiter); });
      if (found != queue_.end()) {
        aPacket* copy = new aPacket(**found);
        delete *found;
        queue_.erase(found);
        return copy;
      }
      if (stopped_) {
        return nullptr;
      }
      wake_.wait(lock);
    }
  }
  void shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
      for (aPacket* p : queue_) {
        delete p;
      }
      queue_.clear();
    }
    wake_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<aPacket*> queue_;
  bool stopped_ = false;
};

// Counts packets the waiters have taken; the producer blocks on it. The same
// for both queues, and outside the measured interval of a hand-off.
class Taken {
 public:
  void add(int64_t latencyNs) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
      lastLatencyNs_ = latencyNs;
    }
    changed_.notify_all();
  }
  // Waits until at least `count` were taken; returns the latest latency.
  int64_t waitFor(uint64_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return count_ >= count; });
    return lastLatencyNs_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t count_ = 0;
  int64_t lastLatencyNs_ = 0;
};

template <class Queue>
class Waiters {
 public:
  Waiters(Queue& queue, Taken& taken, int count) : indices_(count) {
    for (int w = 0; w < count; ++w) {
      indices_[w] = static_cast<uint8_t>(w);
      threads_.emplace_back([&queue, &taken, index = &indices_[w]] {
        while (aPacket* p = queue.awaitFirst(index)) {
          int64_t latency = nowNs() - stampOf(p);
          aPacket_Destroy(&p);
          taken.add(latency);
        }
      });
    }
  }
  ~Waiters() {
    for (std::thread& t : threads_) {
      t.join();
    }
  }

 private:
  std::vector<uint8_t> indices_;  // sized before the threads start, never moved
  std::vector<std::thread> threads_;
};

double percentile(std::vector<int64_t>& samples, double q) {
  if (samples.empty()) {
    return 0;
  }
  size_t at = std::min(samples.size() - 1, static_cast<size_t>(q * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
  return static_cast<double>(samples[at]);
}

template <class Queue>
void Handoff(benchmark::State& state) {
  const int waiters = static_cast<int>(state.range(0));
  Queue queue;
  Taken taken;
  std::vector<int64_t> samples;
  samples.reserve(1 << 20);
  {
    Waiters<Queue> pool(queue, taken, waiters);
    uint64_t sent = 0;
    for (auto _ : state) {
      queue.put(makePacket(static_cast<uint8_t>(sent % waiters), nowNs()));
      int64_t latency = taken.waitFor(++sent);
      samples.push_back(latency);
      state.SetIterationTime(static_cast<double>(latency) * 1e-9);
    }
    queue.shutdown();
  }
  state.counters["p50_us"] = percentile(samples, 0.50) / 1000.0;
  state.counters["p99_us"] = percentile(samples, 0.99) / 1000.0;
}

template <class Queue>
void Throughput(benchmark::State& state) {
  const int waiters = static_cast<int>(state.range(0));
  Queue queue;
  Taken taken;
  uint64_t sent = 0;
  {
    Waiters<Queue> pool(queue, taken, waiters);
    for (auto _ : state) {
      if (sent >= kInFlight) {
        taken.waitFor(sent - kInFlight + 1);
      }
      queue.put(makePacket(static_cast<uint8_t>(sent % waiters), nowNs()));
      ++sent;
    }
    taken.waitFor(sent);
    queue.shutdown();
  }
  state.SetItemsProcessed(static_cast<int64_t>(sent));
}

template <class Queue>
void registerQueue(int waiters) {
  benchmark::RegisterBenchmark((std::string("Handoff/") + Queue::kName).c_str(), Handoff<Queue>)
      ->Arg(waiters)
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark((std::string("Throughput/") + Queue::kName).c_str(), Throughput<Queue>)
      ->Arg(waiters)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
}

void registerAll() {
  for (int waiters : {1, 4}) {
    registerQueue<FifoQueue>(waiters);
    registerQueue<PlainQueue>(waiters);
    registerQueue<CopiesQueue>(waiters);
  }
}

// Keeps the figures of every run (the median when repetitions are asked for)
// so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) {
        continue;
      }
      std::string name = run.run_name.str();  // without the aggregate suffix
      for (const auto& [key, counter] : run.counters) {
        if (median || figures_[name].count(key) == 0) {
          figures_[name][key] = counter.value;
        }
      }
    }
  }

  void printRatios() const {
    std::printf("\nfifo / baseline (latency: above 1 is slower; throughput: below 1 is slower)\n");
    for (const char* waiters : {"1", "4"}) {
      for (const auto& [kind, key] : {std::pair<const char*, const char*>{"Handoff", "p50_us"},
                                      {"Handoff", "p99_us"},
                                      {"Throughput", "items_per_second"}}) {
        double fifo = value(kind, "fifo", waiters, key);
        double plain = value(kind, "plain", waiters, key);
        double copies = value(kind, "copies", waiters, key);
        if (fifo > 0 && plain > 0 && copies > 0) {
          std::printf("  %-10s %-16s waiters %s: fifo %11.2f  plain %11.2f (ratio %.2f)  copies %11.2f (ratio %.2f)\n",
                      kind, key, waiters, fifo, plain, fifo / plain, copies, fifo / copies);
        }
      }
    }
  }

 private:
  double value(const char* kind, const char* queue, const char* waiters, const std::string& key) const {
    std::string prefix = std::string(kind) + "/" + queue + "/" + waiters + "/";
    for (const auto& [name, counters] : figures_) {
      if (name.rfind(prefix, 0) == 0 && counters.count(key) != 0) {
        return counters.at(key);
      }
    }
    return 0;
  }

  std::map<std::string, std::map<std::string, double>> figures_;
};

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
