// The module-sharing server against clients that do it harm: a backlog of
// requests the module never answers, clients that leave with requests
// queued, requests that wait longer than any client does, more requests
// than a client may have outstanding, and (from a process of their own,
// sim-hostile-client) connections of random bytes, a client that sends
// fast and never reads, and more silent connections than the server takes.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aServer_ZeroMQClients.h"
#include "Tessarine2/common/aTime.h"
#include "tests/Tessarine2/common/test_aServer_hostilerun.h"
#include "tests/Tessarine2/common/test_aServer_support.h"

namespace {

using namespace servertest;

// A command the simulated module has no handler for: it stays silent, and
// the server gives each such request its whole 2000 ms.
constexpr uint8_t kSilentCommand = 0x40;
constexpr long long kModuleSilenceMS = 2000;

Bytes silentRequest(uint8_t client, uint8_t n) { return wire(kModule, {kSilentCommand, client, n}); }

size_t countSilentFrom(const simmodule::ModuleEngine& engine, uint8_t client) {
  size_t count = 0;
  for (const auto& packet : engine.received()) {
    const Bytes& data = packet.packet.data;
    if (data.size() == 3 && data[0] == kSilentCommand && data[1] == client) {
      ++count;
    }
  }
  return count;
}

// One echo from a raw client and how long its answer took; -1 for none
// within the wait.
long long timedEcho(RawClient& client, uint8_t tag, int waitMS) {
  const auto start = std::chrono::steady_clock::now();
  client.send(echoRequest({tag}));
  for (;;) {
    const long long left = waitMS - msSince(start);
    if (left <= 0) {
      return -1;
    }
    auto reply = client.receive(static_cast<int>(left));
    if (!reply) {
      return -1;
    }
    if (*reply == echoRequest({tag})) {
      return msSince(start);
    }
  }
}

struct Backlog {
  const char* name;
  int greedyClients;
  bool silent;             // the greedy requests go unanswered (else echoes, slowed)
  uint32_t replyDelayMS;   // of the module, for every answer
  long long requestCostMS; // what one greedy request holds the module
};

void PrintTo(const Backlog& c, std::ostream* os) { *os << c.name; }

class ServerBacklogs : public ::testing::TestWithParam<Backlog> {};

// Greedy clients keep the most requests outstanding that they may; a
// well-behaved client's request waits for the one at the module and one of
// each greedy client, never for their backlogs.
TEST_P(ServerBacklogs, DelayAnotherClientByOneRequestOfEachAtMost) {
  const Backlog& c = GetParam();
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  shared.module.engine.setReplyDelay(c.replyDelayMS);
  std::vector<std::unique_ptr<RawClient>> greedy;
  auto greedyRequest = [&](int client, uint8_t n) {
    return c.silent ? silentRequest(static_cast<uint8_t>(client), n)
                    : echoRequest({0xE0, static_cast<uint8_t>(client), n});
  };
  for (int client = 0; client < c.greedyClients; ++client) {
    greedy.push_back(std::make_unique<RawClient>(shared.port));
    for (uint8_t n = 0; n < 50; ++n) {
      greedy.back()->send(greedyRequest(client, n));
    }
  }
  aTime_MSSleep(200);

  RawClient good(shared.port);
  const long long bound = c.requestCostMS * c.greedyClients + c.replyDelayMS + 1000;
  for (uint8_t round = 0; round < 3; ++round) {
    // Fresh greedy requests, so that the backlogs do not just age out.
    for (int client = 0; client < c.greedyClients; ++client) {
      for (uint8_t n = 0; n < 8; ++n) {
        greedy[client]->send(greedyRequest(client, static_cast<uint8_t>(100 + round * 8 + n)));
      }
    }
    const long long took = timedEcho(good, round, static_cast<int>(bound + 5000));
    EXPECT_GE(took, 0) << "round " << int(round);
    EXPECT_LT(took, bound) << "round " << int(round);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Clients, ServerBacklogs,
    ::testing::Values(Backlog{"one_client_the_module_never_answers", 1, true, 0, kModuleSilenceMS},
                      Backlog{"three_clients_of_slow_answers", 3, false, 300, 300}),
    [](const ::testing::TestParamInfo<Backlog>& info) { return std::string(info.param.name); });

TEST(ServerHostile, RequestsOfAClientThatLeftAreNotServed) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  auto leaving = std::make_unique<RawClient>(shared.port);
  for (uint8_t n = 0; n < 5; ++n) {
    leaving->send(silentRequest(7, n));
  }
  ASSERT_TRUE(shared.module.engine.waitUntil([&] { return countSilentFrom(shared.module.engine, 7) == 1; }, 3000));
  leaving.reset();

  // Its first request holds the module for its 2000 ms; the second would go
  // next (it has waited less than any client waits) but its client is gone.
  RawClient good(shared.port);
  const long long took = timedEcho(good, 1, 4000);
  EXPECT_GE(took, 0);
  EXPECT_LT(took, kModuleSilenceMS + 1000);
  aTime_MSSleep(300);
  EXPECT_EQ(countSilentFrom(shared.module.engine, 7), 1u);
}

TEST(ServerHostile, ARequestThatWaitedLongerThanItsClientWaitsIsNotSent) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient client(shared.port);
  // Each silent request holds the module 2000 ms: the first goes at once,
  // the second after 2 s, the third and the echo after 4 s, longer than
  // any client of the library waits.
  static_assert(2 * kModuleSilenceMS > zmqserver::kClientPatienceMS, "the third request must be stale");
  static_assert(kModuleSilenceMS < zmqserver::kClientPatienceMS, "the second must not");
  for (uint8_t n = 0; n < 3; ++n) {
    client.send(silentRequest(3, n));
  }
  client.send(echoRequest({0x51}));
  EXPECT_EQ(client.receive(5500), std::nullopt);
  EXPECT_EQ(countSilentFrom(shared.module.engine, 3), 2u);
  EXPECT_EQ(countReceived(shared.module.engine, {linktest::kEcho, 0x51}), 0u);
  const long long took = timedEcho(client, 0x52, 2000);
  EXPECT_GE(took, 0) << "the client is served again";
}

// A module that answers one request without end: full UEI packets each
// announcing another, each well inside the wait for the next.
TEST(ServerHostile, AnAnswerWithoutEndHoldsOtherClientsUpNoLongerThanAClientWaits) {
  constexpr uint8_t kEndlessCommand = 0x42;
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  std::atomic<bool> answering{false};
  std::atomic<bool> stop{false};
  shared.module.engine.setHandler(kModule, kEndlessCommand, [&](const SimPacket&) {
    answering.store(true);
    return std::vector<SimPacket>{};
  });
  std::thread module([&] {
    for (uint8_t n = 0; !stop.load(); ++n) {
      if (answering.load()) {
        Bytes data{kEndlessCommand, 0x80 | 0x20, 0x20};
        data.resize(27, n);
        data.push_back(static_cast<uint8_t>(0x80 | (n & 0x7F)));
        shared.module.engine.injectPacket(SimPacket{kModule, data});
      }
      aTime_MSSleep(200);
    }
  });
  RawClient hog(shared.port);
  hog.sendPacket(kModule, {kEndlessCommand, 0x20, 0x20});
  ASSERT_TRUE(shared.module.engine.waitUntil([&] { return answering.load(); }, 3000));

  // Echoes until one is answered (one may meet a packet of the endless
  // answer and take that instead).
  RawClient good(shared.port);
  const auto start = std::chrono::steady_clock::now();
  bool served = false;
  for (uint8_t tag = 0; !served && msSince(start) < 4 * static_cast<long long>(zmqserver::kClientPatienceMS); ++tag) {
    served = timedEcho(good, tag, 1000) >= 0;
  }
  const long long took = msSince(start);
  stop.store(true);
  module.join();
  EXPECT_TRUE(served) << "after " << took << " ms";
}

TEST(ServerHostile, RequestsBeyondAClientsBoundAreRefusedAtOnce) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  shared.module.engine.setReplyDelay(300);
  RawClient client(shared.port);
  RawClient other(shared.port);
  constexpr uint8_t kSent = 20;
  for (uint8_t n = 0; n < kSent; ++n) {
    client.send(echoRequest({n}));
  }
  other.send(echoRequest({0x77}));
  std::vector<Bytes> replies;
  while (auto reply = client.receive(1500)) {
    replies.push_back(*reply);
  }
  ASSERT_EQ(replies.size(), zmqserver::kMaxRequestsPerClient);
  for (size_t n = 0; n < replies.size(); ++n) {
    EXPECT_EQ(replies[n], echoRequest({static_cast<uint8_t>(n)})) << "the first ones, in order";
  }
  EXPECT_EQ(other.receive(0), echoRequest({0x77})) << "another client had its turn in between";
  size_t atModule = 0;
  for (uint8_t n = 0; n < kSent; ++n) {
    atModule += countReceived(shared.module.engine, {linktest::kEcho, n});
  }
  EXPECT_EQ(atModule, zmqserver::kMaxRequestsPerClient) << "refused requests never reach the module";
}

TEST(ServerHostile, ConnectionsOfRandomBytesReachNothingAndAreClosed) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  const size_t before = shared.module.engine.received().size();
  constexpr int kConnections = 60;
  HostileRun garbage({"garbage", std::to_string(shared.port), std::to_string(kConnections), "12345"});
  ASSERT_EQ(garbage.wait(), 0) << garbage.errors();
  EXPECT_EQ(garbage.value("closed "), std::to_string(kConnections)) << "the server closed every one of them";
  EXPECT_EQ(shared.module.engine.received().size(), before) << "nothing of theirs reached the module";
  RawClient good(shared.port);
  EXPECT_GE(timedEcho(good, 9, 1500), 0);
}

long residentBytes() {
  long pages = 0;
  long resident = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm == nullptr) {
    return -1;
  }
  const int read = fscanf(statm, "%ld %ld", &pages, &resident);
  fclose(statm);
  return read == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMeasuresMemory = false;  // the sanitizers' own bookkeeping grows with every allocation
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMeasuresMemory = false;
#else
constexpr bool kMeasuresMemory = true;
#endif
#else
constexpr bool kMeasuresMemory = true;
#endif

TEST(ServerHostile, AClientThatSendsFastAndNeverReadsCostsTheServerLittleMemory) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient good(shared.port);
  ASSERT_GE(timedEcho(good, 1, 1500), 0);
  const long idle = residentBytes();
  ASSERT_GT(idle, 0);

  constexpr int kRequests = 200000;
  HostileRun flood({"flood", std::to_string(shared.port), std::to_string(kRequests), "1000", std::to_string(kModule)});
  std::atomic<bool> done{false};
  long peak = idle;
  std::thread sampler([&] {
    while (!done.load()) {
      peak = std::max(peak, residentBytes());
      aTime_MSSleep(50);
    }
  });
  ASSERT_TRUE(flood.waitForLine("sent ", 65000));
  // The good client is served while the flood's requests still arrive.
  const long long took = timedEcho(good, 2, 3000);
  ASSERT_EQ(flood.wait(), 0) << flood.errors();
  done.store(true);
  sampler.join();
  peak = std::max(peak, residentBytes());

  EXPECT_EQ(flood.value("sent "), std::to_string(kRequests)) << flood.errors();
  EXPECT_GE(took, 0);
  EXPECT_LT(took, 1500);
  EXPECT_GE(timedEcho(good, 3, 1500), 0) << "and after it";
  const long growth = peak - idle;
  std::cout << "resident: idle " << idle / 1024 << " KiB, peak " << peak / 1024 << " KiB\n";
  if (kMeasuresMemory) {
    EXPECT_LT(growth, 8L * 1024 * 1024);
  }
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

size_t openDescriptors() {
  size_t count = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  }
  return count;
}

TEST(ServerHostile, MoreSilentConnectionsThanTheDescriptorLimitLeaveTheServerIdle) {
  // The server takes a quarter of the limit as its bound: 64 here, against
  // 400 connections, more than the whole limit.
  constexpr rlim_t kLimit = 256;
  constexpr int kConnections = 400;
  DescriptorLimit limit(kLimit);
  ASSERT_TRUE(limit.lowered());
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient good(shared.port);
  ASSERT_GE(timedEcho(good, 1, 1500), 0);

  HostileRun idle({"idle", std::to_string(shared.port), std::to_string(kConnections), "5000"});
  ASSERT_TRUE(idle.waitForLine("open ", 10000));
  EXPECT_EQ(idle.value("open "), std::to_string(kConnections));
  aTime_MSSleep(200);

  const double cpuBefore = cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  aTime_MSSleep(2000);
  const double busy = (cpuSeconds() - cpuBefore) / (msSince(start) / 1000.0);
  std::cout << "CPU while " << kConnections << " connections are held: " << busy * 100 << "% of a core\n";
  EXPECT_LT(busy, 0.25) << "share of one core used while the connections are held";
  EXPECT_LT(openDescriptors(), static_cast<size_t>(kLimit));
  // The client that was there first is served throughout.
  const long long took = timedEcho(good, 2, 1500);
  EXPECT_GE(took, 0);

  ASSERT_EQ(idle.wait(), 0) << idle.errors();
  // Those beyond the bound were closed at once, the others when they had
  // not begun ZeroMQ's handshake in time.
  EXPECT_EQ(idle.value("closed "), std::to_string(kConnections));
  RawClient late(shared.port);
  EXPECT_GE(timedEcho(late, 3, 3000), 0) << "a new client gets in again";
}

}  // namespace
