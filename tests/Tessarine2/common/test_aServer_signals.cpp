// The server and the client stream in a host process that gets signals:
// signals that interrupt their waits stop nothing, and SIGTERM does what
// the host says (by default, ends the process).

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Tessarine2/common/aStream_ZeroMQClient.h"
#include "Tessarine2/common/aTime.h"
#include "tests/Tessarine2/common/test_aServer_support.h"

namespace {

using namespace servertest;

std::atomic<int> delivered{0};

void countSignal(int) { delivered.fetch_add(1); }

// Whether the thread blocks the signal (libzmq's own threads block all).
bool blocks(pid_t thread, int signal) {
  std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (signal - 1)) & 1;
    }
  }
  return true;
}

// The threads of this process that take the signal.
std::vector<pid_t> threadsTaking(int signal) {
  std::vector<pid_t> ids;
  DIR* directory = opendir("/proc/self/task");
  if (directory == nullptr) {
    return ids;
  }
  while (dirent* entry = readdir(directory)) {
    const pid_t thread = static_cast<pid_t>(atoi(entry->d_name));
    if (entry->d_name[0] != '.' && !blocks(thread, signal)) {
      ids.push_back(thread);
    }
  }
  closedir(directory);
  return ids;
}

TEST(ServerSignals, SignalsThatInterruptTheServersWaitsStopNothing) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient client(shared.port);
  client.send(echoRequest({1}));
  ASSERT_EQ(client.receive(1500), echoRequest({1}));

  // A handler without SA_RESTART: every wait a signal meets ends early with
  // EINTR, in every thread, the server's and the client stream's included.
  struct sigaction action {};
  struct sigaction saved {};
  action.sa_handler = countSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  for (int round = 0; round < 3; ++round) {
    const int before = delivered.load();
    int sent = 0;
    for (pid_t thread : threadsTaking(SIGUSR1)) {
      sent += syscall(SYS_tgkill, getpid(), thread, SIGUSR1) == 0 ? 1 : 0;
    }
    ASSERT_TRUE(linktest::eventually([&] { return delivered.load() >= before + sent; }, 3000));
  }

  client.send(echoRequest({2}));
  EXPECT_EQ(client.receive(1500), echoRequest({2})) << "a client that was there";
  RawClient later(shared.port);
  later.send(echoRequest({3}));
  EXPECT_EQ(later.receive(3000), echoRequest({3})) << "a client that comes after";
  EXPECT_TRUE(linktest::echo(shared.client, {4}, 1500)) << "the server's own client link";
  sigaction(SIGUSR1, &saved, nullptr);
}

// What a host process makes before it gets SIGTERM.
struct Host {
  const char* name;
  bool server;  // a server with its client link, else a client stream alone
};

void PrintTo(const Host& h, std::ostream* os) { *os << h.name; }

class ServerSignalsDeathTest : public ::testing::TestWithParam<Host> {};

// Run in a child of its own (the threadsafe style starts this program
// afresh), with SIGTERM's default disposition.
TEST_P(ServerSignalsDeathTest, AHostProcessThatGetsSIGTERMEnds) {
  const Host& host = GetParam();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGTERM, SIG_DFL);
        SharedModule shared;
        aStream* stream = nullptr;
        if (host.server) {
          if (!shared.open() || !linktest::echo(shared.client, {1}, 1500)) {
            _exit(2);
          }
        } else if (aStream_CreateClient(loopback(), 1, &stream) != aErrNone) {
          _exit(2);
        }
        kill(getpid(), SIGTERM);
        // Still here: something else took the signal.
        for (int i = 0; i < 100; ++i) {
          aTime_MSSleep(50);
        }
        _exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

INSTANTIATE_TEST_SUITE_P(Hosts, ServerSignalsDeathTest,
                         ::testing::Values(Host{"server", true}, Host{"client_stream", false}),
                         [](const ::testing::TestParamInfo<Host>& info) { return std::string(info.param.name); });

}  // namespace
