#include "tests/sim/legacydiscovery/ModuleNetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

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

ModuleNetwork::ModuleNetwork(const std::vector<std::string>& moduleAddresses) {
  if (!inOwnNetwork()) {
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
