#ifndef TESTS_TESSARINE2_COMMON_TEST_ASERVER_HOSTILERUN_H
#define TESTS_TESSARINE2_COMMON_TEST_ASERVER_HOSTILERUN_H

// The hostile clients' program (sim-hostile-client) as the server tests run
// it, and a lowered descriptor limit, which sets the server's connection
// bound.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aTime.h"
#include "tests/Tessarine2/common/test_aServer_support.h"
#include "tests/sim/ProgramRun.h"
#include "tests/sim/TempDir.h"

namespace servertest {

// sim-hostile-client, run to its end on a thread of its own; its output
// lines are followed through a file.
class HostileRun {
 public:
  explicit HostileRun(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), HOSTILE_CLIENT_PATH);
    thread_ = std::thread([this, arguments] { status_ = testsupport::runProgram(arguments, out_, err_); });
  }
  ~HostileRun() { wait(); }
  HostileRun(const HostileRun&) = delete;
  HostileRun& operator=(const HostileRun&) = delete;

  // The program's status once it has ended.
  int wait() {
    if (thread_.joinable()) {
      thread_.join();
    }
    return status_;
  }
  // Whether a line starting with prefix has been printed within the time.
  bool waitForLine(const std::string& prefix, int timeoutMS) const {
    const auto start = std::chrono::steady_clock::now();
    while (msSince(start) < timeoutMS) {
      if (!value(prefix).empty()) {
        return true;
      }
      aTime_MSSleep(20);
    }
    return false;
  }
  // The rest of the first line starting with prefix.
  std::string value(const std::string& prefix) const {
    std::ifstream in(out_);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(prefix, 0) == 0) {
        return line.substr(prefix.size());
      }
    }
    return "";
  }
  std::string errors() const { return testsupport::readFile(err_); }

 private:
  testsupport::TempDir dir_;
  const std::string out_ = dir_.file("out");
  const std::string err_ = dir_.file("err");
  int status_ = -1;
  std::thread thread_;
};

// Restores the process's descriptor limit at the end of a test.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min(soft, saved_.rlim_max);
    lowered_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  bool lowered() const { return lowered_; }

 private:
  rlimit saved_{};
  bool lowered_ = false;
};

}  // namespace servertest

#endif
