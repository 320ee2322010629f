#ifndef BENCHMARKS_SIDETHREAD_H
#define BENCHMARKS_SIDETHREAD_H

// Runs a baseline (a raw client) on a thread of its own, one job at a time,
// while the benchmark's thread drives the link. The scheduler places a
// thread by its recent history: a thread that has just spun is placed
// unlike one that has just slept, so a baseline run on the link caller's
// thread would inherit the link's waits.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class SideThread {
 public:
  SideThread() : thread_([this] { loop(); }) {}
  ~SideThread() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  SideThread(const SideThread&) = delete;
  SideThread& operator=(const SideThread&) = delete;

  // Runs job on the side thread and returns once it has run.
  void run(const std::function<void()>& job) {
    std::unique_lock<std::mutex> hold(mutex_);
    job_ = &job;
    changed_.notify_all();
    changed_.wait(hold, [this] { return job_ == nullptr; });
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      changed_.wait(hold, [this] { return stopping_ || job_ != nullptr; });
      if (stopping_) {
        return;
      }
      const std::function<void()>* job = job_;
      hold.unlock();
      (*job)();
      hold.lock();
      job_ = nullptr;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* job_ = nullptr;
  bool stopping_ = false;
  std::thread thread_;
};

#endif
