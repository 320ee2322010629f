#include "tests/sim/OwnNetwork.h"

#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>

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

std::string enter() {
  if (threadCount() != 1) {
    return "the process has more than one thread; the namespace would not cover them all";
  }
  sStartNamespace = namespaceOf("/proc/self/ns/net");
  if (!sStartNamespace.known) {
    return "cannot read /proc/self/ns/net";
  }
  if (unshare(CLONE_NEWNET) != 0) {
    return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  }
  sEntered = true;
  if (!inOwnNetwork()) {
    return "still in the machine's namespace after unshare";
  }
  return runIp({"link", "set", "lo", "up"});
}

}  // namespace

std::string enterOwnNetwork() {
  static std::once_flag once;
  static std::string result;
  std::call_once(once, [] { result = enter(); });
  return result;
}

bool inOwnNetwork() {
  if (!sEntered) {
    return false;
  }
  NamespaceId current = namespaceOf("/proc/self/ns/net");
  if (!current.known || current.same(sStartNamespace)) {
    return false;
  }
  // Process 1's namespace is the machine's own; where it cannot be read
  // (a sandbox hides it) the namespace this process started in stands for
  // it.
  return !current.same(namespaceOf("/proc/1/ns/net"));
}

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

}  // namespace testsupport
