// A module on TCP whose process dies and starts again at the same port: the
// link shows the module gone, idles meanwhile, and comes back by itself,
// with the stream subscription delivering again.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/objects/SystemClass.h"
#include "tests/Tessarine2/objects/StreamTestSupport.h"
#include "tests/sim/HeldPort.h"
#include "tests/sim/PortProbe.h"
#include "tests/sim/TempDir.h"

namespace {

using namespace objtest;
using Clock = std::chrono::steady_clock;
using Zeltrova::Tessarine::SystemClass;

// The counter the sim-module process streams.
constexpr uint8_t kCounterCommand = 0x30;
constexpr uint8_t kCounterOption = 1;
constexpr uint8_t kCounterIndex = 0;
constexpr const char* kRate = "1000";

// sim-module as a process of its own, streaming the counter and keeping
// its stream keys in a file over a restart, as a module does that keeps
// its streaming settings.
class ModuleProcess {
 public:
  explicit ModuleProcess(testsupport::TempDir& dir)
      : portFile_(dir.file("port")), keysFile_(dir.file("stream-keys")) {}
  ~ModuleProcess() { stop(SIGTERM); }

  // Starts it on port (0: any free one); the port it listens on, 0 when it
  // did not come up.
  uint16_t start(uint16_t port) {
    std::remove(portFile_.c_str());
    const std::string portText = std::to_string(port);
    const char* argv[] = {SIM_MODULE_PATH, "--tcp",         portText.c_str(), "--port-file", portFile_.c_str(),
                          "--stream",      kRate,           "--stream-keys",  keysFile_.c_str(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      // Only calls that are safe after a fork of a process with threads.
      // The module goes with the test, also when the test is killed.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, STDOUT_FILENO);
      execv(SIM_MODULE_PATH, const_cast<char**>(argv));
      _exit(127);
    }
    if (pid_ < 0) {
      pid_ = 0;
      return 0;
    }
    int listening = 0;
    eventually(
        [&] {
          std::ifstream(portFile_) >> listening;
          return listening != 0;
        },
        10000);
    return static_cast<uint16_t>(listening);
  }

  // Ends it at once, as a crash does: its sockets are closed by the system.
  void kill() { stop(SIGKILL); }

 private:
  void stop(int signal) {
    if (pid_ > 0) {
      ::kill(pid_, signal);
      waitpid(pid_, nullptr, 0);
      pid_ = 0;
    }
  }

  std::string portFile_;
  std::string keysFile_;
  pid_t pid_ = 0;
};

// The port kept from everybody else while the module is down, so that the
// link's reconnection never reaches a stranger (see HeldPort): a second
// socket bound to it that never listens. sim-module's listener allows that.
class PortHold {
 public:
  explicit PortHold(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in where = testsupport::loopbackAt(port);
    held_ = fd_ >= 0 && testsupport::allowPortHold(fd_) &&
            bind(fd_, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0;
  }
  ~PortHold() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

std::set<pid_t> threads() {
  std::set<pid_t> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        ids.insert(static_cast<pid_t>(std::stol(entry->d_name)));
      }
    }
    closedir(dir);
  }
  return ids;
}

// Processor time of some threads of this process, in milliseconds (the
// scheduler's own count, in nanoseconds).
double cpuMS(const std::set<pid_t>& ids) {
  double total = 0;
  for (pid_t id : ids) {
    std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/schedstat");
    double ns = 0;
    stat >> ns;
    total += ns / 1e6;
  }
  return total;
}

TEST(ModuleRestart, ATcpLinkComesBackByItselfAndItsSubscriptionDeliversAgain) {
  testsupport::TempDir dir;
  ModuleProcess process(dir);
  const uint16_t port = process.start(0);
  ASSERT_NE(port, 0);
  PortHold hold(port);
  ASSERT_TRUE(hold.held());

  // Made before the module, so that it outlives the module's callbacks.
  Recorder recorder;
  const std::set<pid_t> before = threads();
  auto module = connectedModule(tcpSpec(htonl(INADDR_LOOPBACK), port), kAddress);
  ASSERT_TRUE(module->isConnected());
  std::set<pid_t> linkThreads;
  for (pid_t id : threads()) {
    if (before.count(id) == 0) {
      linkThreads.insert(id);
    }
  }
  // The link's reader and writer (and a sanitizer's own thread, when its
  // runtime starts one meanwhile).
  ASSERT_GE(linkThreads.size(), 2u);

  Link* link = module->getLink();
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCounterCommand, kCounterOption, kCounterIndex, true,
                                         recorder.callback(), nullptr),
            aErrNone);
  ASSERT_TRUE(recorder.waitFor(20));
  SystemClass entity;
  ASSERT_EQ(entity.init(module.get(), 0), aErrNone);

  constexpr int kRestarts = 3;
  for (int restart = 1; restart <= kRestarts; ++restart) {
    SCOPED_TRACE(restart);
    process.kill();
    // The link says its module is gone, and a request says so at once.
    ASSERT_TRUE(eventually([&] { return !module->isConnected(); }, 5000));
    uint32_t serial = 0;
    EXPECT_EQ(entity.getSerialNumber(&serial), aErrConnection);
    if (restart == 1) {
      // With nobody at the far end the link's threads sleep: one
      // connection attempt a second, nothing between.
      const double start = cpuMS(linkThreads);
      std::this_thread::sleep_for(std::chrono::seconds(3));
      const double used = cpuMS(linkThreads) - start;
      std::printf("link threads with the module gone: %.2f ms of processor in 3 s\n", used);
      EXPECT_LT(used, 60.0);
      EXPECT_FALSE(module->isConnected());
    }

    ASSERT_EQ(process.start(port), port);
    const size_t delivered = recorder.size();
    const Clock::time_point back = Clock::now();
    // No reset, no reconnect: the same link finds the module again, and
    // the module, which kept its key, streams into the subscription.
    ASSERT_TRUE(eventually([&] { return module->isConnected(); }, 10000));
    ASSERT_TRUE(recorder.waitFor(delivered + 20, 10000));
    std::printf("restart %d: first delivery again after %lld ms\n", restart,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back).count()));
    EXPECT_EQ(entity.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, simmodule::ModuleIdentity().serial);
  }
}

}  // namespace
