// The sim-module program as later command-line tests start it: it serves a
// module on a loopback port named in a file and stops on SIGTERM.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/sim/TempDir.h"

extern char** environ;

namespace {

std::string exchange(int socket, const std::string& request, size_t replyLength) {
  if (send(socket, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    return "";
  }
  std::string reply;
  while (reply.size() < replyLength) {
    pollfd entry{socket, POLLIN, 0};
    if (poll(&entry, 1, 2000) <= 0) {
      break;
    }
    char buffer[64];
    ssize_t n = recv(socket, buffer, sizeof buffer, 0);
    if (n <= 0) {
      break;
    }
    reply.append(buffer, static_cast<size_t>(n));
  }
  return reply;
}

// Ends and reaps the child on every way out of the test, a failed
// assertion included: a sim-module runs until it is told to stop.
struct ChildGuard {
  pid_t pid = 0;
  ~ChildGuard() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(SimModuleProgram, ServesAModuleOnTcpUntilTerminated) {
  testsupport::TempDir dir;
  const std::string portFile = dir.file("port");
  const char* argv[] = {SIM_MODULE_PATH, "--tcp", "0", "--port-file", portFile.c_str(), "--address", "0x08", nullptr};
  pid_t child = 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawn(&child, SIM_MODULE_PATH, &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(spawned, 0);
  ChildGuard guard{child};

  int port = 0;
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::ifstream(portFile) >> port;
    if (port == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_GT(port, 0);
  int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(socket, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);

  EXPECT_EQ(exchange(socket, std::string("\xAD\x00", 2), 2), std::string("\x08\x00", 2));
  EXPECT_EQ(exchange(socket, std::string("\x08\x02\x17\x05", 4), 4), std::string("\x08\x02\x17\x05", 4));
  close(socket);

  guard.pid = 0;
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
