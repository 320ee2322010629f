#include "tests/sim/legacydiscovery/ModuleNetwork.h"

#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace {

struct NamespaceId {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
  bool same(const NamespaceId& other) const {
    return known && other.known && device == other.device && inode == other.inode;
  }
};

NamespaceId namespaceOf(const char* path) {
  NamespaceId id;
  struct stat status {};
  if (stat(path, &status) == 0) {
    id.known = true;
    id.device = status.st_dev;
    id.inode = status.st_ino;
  }
  return id;
}

NamespaceId sStartNamespace;
bool sEntered = false;

int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) {
      return std::stoi(line.substr(8));
    }
  }
  return -1;
}

}  // namespace

std::string runIp(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "ip");
  std::vector<char*> argv;
  std::string command;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
    command += argument + " ";
  }
  argv.push_back(nullptr);
  // posix_spawn clones the calling thread: the child is in its namespace.
  pid_t child = 0;
  int error = posix_spawnp(&child, "ip", nullptr, nullptr, argv.data(), environ);
  if (error != 0) {
    return command + ": " + std::strerror(error);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return command + ": " + std::strerror(errno);
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : command + "failed";
}

std::string ModuleNetwork::enterPrivate() {
  static std::once_flag once;
  static std::string result;
  std::call_once(once, [] {
    if (threadCount() != 1) {
      result = "the process has more than one thread; the namespace would not cover them all";
      return;
    }
    sStartNamespace = namespaceOf("/proc/self/ns/net");
    if (!sStartNamespace.known) {
      result = "cannot read /proc/self/ns/net";
      return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
      result = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
      return;
    }
    sEntered = true;
    result = isPrivate() ? runIp({"link", "set", "lo", "up"}) : "still in the machine's namespace";
  });
  return result;
}

bool ModuleNetwork::isPrivate() {
  if (!sEntered) {
    return false;
  }
  NamespaceId current = namespaceOf("/proc/self/ns/net");
  if (!current.known || current.same(sStartNamespace)) {
    return false;
  }
  // Process 1's namespace is the machine's own (when it can be read).
  return !current.same(namespaceOf("/proc/1/ns/net"));
}

ModuleNetwork::ModuleNetwork(const std::vector<std::string>& moduleAddresses) {
  if (!isPrivate()) {
    throw std::runtime_error("refusing to make links outside a private network namespace");
  }
  thread_ = std::thread([this] { hold(); });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return started_; });
  std::string failure = failure_;
  lock.unlock();

  std::vector<std::vector<std::string>> hostSteps = {
      {"link", "add", "tnh0", "type", "veth", "peer", "name", "tnm0", "netns", std::to_string(tid_)},
      {"addr", "add", std::string(kHostAddress) + "/24", "brd", "+", "dev", "tnh0"},
      {"link", "set", "tnh0", "up"},
  };
  for (size_t i = 0; failure.empty() && i < hostSteps.size(); ++i) {
    failure = runIp(hostSteps[i]);
  }
  if (failure.empty()) {
    inModules([&] {
      std::vector<std::vector<std::string>> steps = {{"link", "set", "lo", "up"}};
      for (const std::string& address : moduleAddresses) {
        steps.push_back({"addr", "add", address + "/24", "brd", "+", "dev", "tnm0"});
      }
      steps.push_back({"link", "set", "tnm0", "up"});
      for (size_t i = 0; failure.empty() && i < steps.size(); ++i) {
        failure = runIp(steps[i]);
      }
    });
  }
  if (!failure.empty()) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    throw std::runtime_error(failure);
  }
}

ModuleNetwork::~ModuleNetwork() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
  // The veth pair goes with the modules' namespace, which goes with the
  // thread that held it.
}

void ModuleNetwork::inModules(const std::function<void()>& task) {
  bool done = false;
  std::unique_lock<std::mutex> lock(mutex_);
  tasks_.push_back([&] {
    task();
    std::lock_guard<std::mutex> hold(mutex_);
    done = true;
  });
  changed_.notify_all();
  changed_.wait(lock, [&] { return done; });
}

void ModuleNetwork::hold() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Only this thread moves: a thread's network namespace is its own.
  if (unshare(CLONE_NEWNET) != 0) {
    failure_ = std::string("unshare(CLONE_NEWNET) for the modules: ") + std::strerror(errno);
  }
  tid_ = static_cast<pid_t>(syscall(SYS_gettid));
  started_ = true;
  changed_.notify_all();
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
    if (tasks_.empty()) {
      return;
    }
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
    changed_.notify_all();
  }
}

}  // namespace testsupport
