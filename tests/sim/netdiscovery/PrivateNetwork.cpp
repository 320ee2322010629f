#include "tests/sim/netdiscovery/PrivateNetwork.h"

#include <arpa/inet.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

extern char** environ;

namespace netsim {

namespace {

struct NamespaceId {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const NamespaceId& other) const {
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

NamespaceId gStartNamespace;
bool gEntered = false;

int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// Runs "ip" with the arguments in this (already private) namespace.
std::string runIp(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "ip");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  int error = posix_spawnp(&child, "ip", nullptr, nullptr, argv.data(), environ);
  std::string command;
  for (const std::string& argument : arguments) command += argument + " ";
  if (error != 0) return command + ": " + std::strerror(error);
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return command + "failed";
  }
  return "";
}

std::string setUp() {
  if (threadCount() != 1) return "the process has more than one thread; the namespace would not cover them all";
  gStartNamespace = namespaceOf("/proc/self/ns/net");
  if (!gStartNamespace.known) return "cannot read /proc/self/ns/net";
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  gEntered = true;
  if (!PrivateNetwork::isPrivate()) return "still in the machine's namespace after unshare";

  return runIp({"link", "set", "lo", "up"});
}

bool gEthernet = false;

}  // namespace

std::string PrivateNetwork::enter() {
  static std::once_flag once;
  static std::string result;
  std::call_once(once, [] { result = setUp(); });
  return result;
}

std::string PrivateNetwork::useLinks(Links links) {
  if (!isPrivate()) return "not in a private network namespace";
  bool wanted = links == Links::WithEthernet;
  if (wanted == gEthernet) return "";
  std::vector<std::vector<std::string>> steps;
  if (wanted) {
    steps = {
        {"link", "add", "tnv0", "type", "veth", "peer", "name", "tnv1"},
        {"addr", "add", "10.77.0.1/24", "brd", "+", "dev", "tnv0"},
        {"link", "set", "tnv0", "up"},
        {"link", "set", "tnv1", "up"},
    };
  } else {
    steps = {{"link", "del", "tnv0"}};  // takes its peer with it
  }
  for (const std::vector<std::string>& step : steps) {
    std::string failure = runIp(step);
    if (!failure.empty()) return failure;
  }
  gEthernet = wanted;
  return "";
}

bool PrivateNetwork::isPrivate() {
  if (!gEntered) return false;
  NamespaceId current = namespaceOf("/proc/self/ns/net");
  if (!current.known || current == gStartNamespace) return false;
  // Process 1's namespace is the machine's own; it may not be readable here,
  // in which case the namespace this process started in stands for it.
  NamespaceId machine = namespaceOf("/proc/1/ns/net");
  return !(current == machine);
}

uint32_t PrivateNetwork::ethernetAddress() {
  in_addr address{};
  inet_pton(AF_INET, ethernetAddressText(), &address);
  return address.s_addr;
}

}  // namespace netsim
