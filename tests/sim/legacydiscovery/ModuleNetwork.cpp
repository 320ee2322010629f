#include "tests/sim/legacydiscovery/ModuleNetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

// A UDP socket bound to address:0 in the calling thread's namespace, or -1.
int boundProbe(const std::string& address, sockaddr_in* where) {
  *where = sockaddr_in{};
  where->sin_family = AF_INET;
  socklen_t length = sizeof *where;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || inet_pton(AF_INET, address.c_str(), &where->sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(where), sizeof *where) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(where), &length) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  return fd;
}

// Sends a datagram from one socket to the other's address every 20 ms until
// one arrives; false when none did within the time.
bool carries(int from, int to, const sockaddr_in& toAddress, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    const char probe = 'p';
    sendto(from, &probe, 1, 0, reinterpret_cast<const sockaddr*>(&toAddress), sizeof toAddress);
    pollfd entry{to, POLLIN, 0};
    if (poll(&entry, 1, 20) > 0) {
      char got = 0;
      if (recv(to, &got, 1, MSG_DONTWAIT) == 1) {
        return true;
      }
    }
  }
  return false;
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
  if (failure.empty()) {
    failure = awaitTraffic(moduleAddresses.empty() ? std::string() : moduleAddresses.front());
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

// A veth pair just raised drops what is sent through it until the kernel
// has attached its transmit queues, which it does a little later and, on a
// loaded machine, much later; a discovery request lost that way looks like
// a module that never answered. So datagrams go each way until one
// arrives, which also settles the neighbour entries of both ends.
std::string ModuleNetwork::awaitTraffic(const std::string& moduleAddress) {
  if (moduleAddress.empty()) {
    return "";
  }
  constexpr std::chrono::seconds kLimit(10);
  sockaddr_in hostEnd{};
  sockaddr_in moduleEnd{};
  int host = boundProbe(kHostAddress, &hostEnd);
  int module = -1;
  inModules([&] { module = boundProbe(moduleAddress, &moduleEnd); });
  std::string failure;
  if (host < 0 || module < 0) {
    failure = "cannot open the probes of the link";
  } else if (!carries(host, module, moduleEnd, kLimit)) {
    failure = "the link carries nothing towards the modules";
  } else if (!carries(module, host, hostEnd, kLimit)) {
    failure = "the link carries nothing from the modules";
  }
  for (int fd : {host, module}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  return failure;
}

ModuleNetwork::~ModuleNetwork() {
  // The veth pair would go with the modules' namespace, but the kernel tears
  // a namespace down in the background; deleting it now lets another
  // network be made at once in this process.
  runIp({"link", "del", "tnh0"});
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
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
