#ifndef TESTS_SIM_LEGACYDISCOVERY_MODULENETWORK_H
#define TESTS_SIM_LEGACYDISCOVERY_MODULENETWORK_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/OwnNetwork.h"

namespace testsupport {

// Network namespaces of the test's own for discovery that multicasts: the
// process leaves the machine's namespace for a private one
// (enterOwnNetwork), and a ModuleNetwork joins it by a veth pair to a
// second namespace where the simulated modules live:
//
//   this process:   "tnh0" 10.78.0.1/24   <- veth ->   "tnm0" with the
//                                                      modules' addresses
//
// The modules' namespace belongs to a thread of the ModuleNetwork; sockets
// and threads made by code run through inModules() live there. Everything
// goes with the namespaces when the process ends.
class ModuleNetwork {
 public:
  static constexpr const char* kHostAddress = "10.78.0.1";

  // moduleAddresses: the addresses the modules' end carries, in 10.78.0.0/24.
  // Throws std::runtime_error when the link cannot be made.
  explicit ModuleNetwork(const std::vector<std::string>& moduleAddresses);
  ~ModuleNetwork();
  ModuleNetwork(const ModuleNetwork&) = delete;
  ModuleNetwork& operator=(const ModuleNetwork&) = delete;

  // Runs task on the thread of the modules' namespace and waits for it.
  void inModules(const std::function<void()>& task);

 private:
  void hold();
  std::string awaitTraffic(const std::string& moduleAddress);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;
  bool started_ = false;
  bool stop_ = false;
  std::string failure_;
  pid_t tid_ = 0;
  std::thread thread_;
};

}  // namespace testsupport

#endif
