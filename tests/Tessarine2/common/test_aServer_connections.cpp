// Connections as the server tells them apart: a client that leaves with
// requests queued while the next connection gets its descriptor number,
// refusals beyond the connection bound while other connections come and
// go (and, on bare sockets, against a number given to another connection),
// and what a stopped server leaves open. The clients are written from the
// wire protocol and run in a process of their own (sim-hostile-client), so
// that their timing and descriptors are theirs.

#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <string>
#include <thread>

#include "Tessarine2/common/aServer_ZeroMQ.h"
#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "tests/Tessarine2/common/test_aServer_hostilerun.h"
#include "tests/Tessarine2/common/test_aServer_support.h"
#include "tests/sim/PortProbe.h"
#include "tests/sim/module/StreamSource.h"

namespace {

using namespace servertest;
using simmodule::StreamSource;

// A shared module streaming one value at 1 kHz, batches going out at its
// heartbeats every 20 ms.
struct StreamingSharedModule : SharedModule {
  StreamingSharedModule() : source(module.engine, kModule) { source.addValue(0x0C, 1, 0, StreamSource::U16); }
  ~StreamingSharedModule() {
    source.stop();
    module.engine.stopHeartbeats();
  }
  bool start() {
    if (!open()) {
      return false;
    }
    source.start(1000);
    module.engine.startHeartbeats(20);
    return true;
  }
  StreamSource source;
};

TEST(ServerConnections, AClientLeavingRequestsBehindCostsTheNextConnectionNothing) {
  StreamingSharedModule shared;
  ASSERT_TRUE(shared.start());
  // Client A leaves 300 requests and closes; B connects at once and is
  // likely to get A's descriptor number on the server while A's requests
  // are still being read.
  constexpr int kTrials = 200;
  HostileRun depart({"depart", std::to_string(shared.port), std::to_string(kTrials), "300", std::to_string(kModule)});
  ASSERT_EQ(depart.wait(), 0) << depart.errors();
  EXPECT_EQ(depart.value("served "), std::to_string(kTrials))
      << "without acknowledgement " << depart.value("no-ack ") << ", answer " << depart.value("no-answer ")
      << ", stream " << depart.value("no-stream ");
  EXPECT_EQ(depart.value("misrouted "), "0") << "answers to A that reached B";
  EXPECT_TRUE(linktest::echo(shared.client, {1, 2, 3}, 1500)) << "the server's own client is served throughout";
}

TEST(ServerConnections, RefusingAConnectionBeyondTheBoundNeverClosesAnother) {
  // The bound is a quarter of the descriptor limit: 32, one of them the
  // server's own client link.
  DescriptorLimit limit(128);
  ASSERT_TRUE(limit.lowered());
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  constexpr int kTrials = 300;
  HostileRun refuse({"refuse", std::to_string(shared.port), std::to_string(kTrials), std::to_string(kModule)});
  ASSERT_EQ(refuse.wait(), 0) << refuse.errors();
  EXPECT_EQ(refuse.value("limit "), std::to_string(128 / 4 - 1));
  EXPECT_EQ(refuse.value("unserved "), "0") << "connections that came when a place was free";
  EXPECT_EQ(refuse.value("dead "), "0") << "served connections closed later";
  EXPECT_TRUE(linktest::echo(shared.client, {4, 5}, 1500));
}

// --- a refusal against a descriptor number libzmq has given to another
// connection, with real sockets and the events as libzmq reports them

// A loopback listener and connections to it: the far (client) end and the
// accepted end, as the frontend's are.
class Loopback {
 public:
  Loopback() { listener_ = testsupport::listenOnLoopback(8, &port_); }
  ~Loopback() {
    for (int fd : open_) {
      close(fd);
    }
    close(listener_);
  }
  uint16_t port() const { return port_; }
  // A new connection: its far end and its accepted end.
  std::pair<int, int> connect() {
    const int far = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in where = testsupport::loopbackAt(port_);
    ::connect(far, reinterpret_cast<const sockaddr*>(&where), sizeof where);
    const int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    open_.push_back(far);
    open_.push_back(accepted);
    return {far, accepted};
  }
  // What libzmq does with a connection that ends: reports it, then closes
  // its descriptor.
  void end(int accepted, std::deque<zmqserver::ConnectionEvent>* events) {
    events->push_back({ZMQ_EVENT_DISCONNECTED, accepted});
    close(accepted);
    open_.erase(std::find(open_.begin(), open_.end(), accepted));
  }
  // Moves an accepted end to a freed number, as when the kernel hands the
  // number out again.
  void renumber(int accepted, int at) {
    dup2(accepted, at);
    close(accepted);
    *std::find(open_.begin(), open_.end(), accepted) = at;
  }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<int> open_;
};

// Whether the far end sees the connection end within a second.
bool endedAt(int far) {
  pollfd item{far, POLLIN, 0};
  char byte = 0;
  return poll(&item, 1, 1000) == 1 && recv(far, &byte, 1, MSG_DONTWAIT) == 0;
}

// Whether a byte still crosses from the far end to the accepted end, and
// nothing ended the far end.
bool stillConnected(int far, int accepted) {
  const char sent = 'x';
  char got = 0;
  pollfd item{accepted, POLLIN, 0};
  pollfd farItem{far, POLLIN, 0};
  return send(far, &sent, 1, MSG_NOSIGNAL) == 1 && poll(&item, 1, 1000) == 1 && recv(accepted, &got, 1, 0) == 1 &&
         got == sent && poll(&farItem, 1, 0) == 0;
}

struct RefusalCase {
  const char* name;
  // When the refused connection ends and its number goes to another:
  // never, before the refusal reads the events, or while it refuses.
  enum When { kNever, kBefore, kWhileRefusing } when;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class ServerRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ServerRefusal, ShutsDownTheRefusedConnectionAndNeverTheOneThatHasItsNumberNow) {
  const RefusalCase& c = GetParam();
  Loopback net;
  ASSERT_NE(net.port(), 0);
  const auto [refusedFar, number] = net.connect();
  int otherFar = -1;
  auto handOn = [&](std::deque<zmqserver::ConnectionEvent>* events) {
    const auto [far, accepted] = net.connect();
    net.end(number, events);
    net.renumber(accepted, number);
    otherFar = far;
  };
  std::deque<zmqserver::ConnectionEvent> events;
  if (c.when == RefusalCase::kBefore) {
    handOn(&events);
  }
  const bool refused = zmqserver::_refuseAccepted(number, net.port(), &events, [&](auto* more) {
    if (c.when == RefusalCase::kWhileRefusing) {
      handOn(more);
    }
  });
  if (c.when == RefusalCase::kNever) {
    EXPECT_TRUE(refused);
    EXPECT_TRUE(endedAt(refusedFar));
  } else {
    EXPECT_FALSE(refused) << "the refused connection has ended by itself";
    ASSERT_GE(otherFar, 0);
    EXPECT_TRUE(stillConnected(otherFar, number)) << "the connection that has the number now";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerRefusal,
    ::testing::Values(RefusalCase{"connection_still_open", RefusalCase::kNever},
                      RefusalCase{"number_taken_before_the_refusal", RefusalCase::kBefore},
                      RefusalCase{"number_taken_while_refusing", RefusalCase::kWhileRefusing}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// --- what a stopped server leaves open

// The descriptors of this process, each with what it refers to.
std::map<int, std::string> openDescriptors() {
  std::map<int, std::string> open;
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) {
    return open;
  }
  const int own = dirfd(directory);
  while (dirent* entry = readdir(directory)) {
    const int fd = atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == own) {
      continue;
    }
    char target[256] = "";
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    open[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  }
  closedir(directory);
  return open;
}

std::string difference(const std::map<int, std::string>& before, const std::map<int, std::string>& after) {
  std::string text;
  for (const auto& [fd, target] : after) {
    if (before.count(fd) == 0) {
      text += " " + std::to_string(fd) + "=" + target;
    }
  }
  return text;
}

// libzmq closes a closed socket's own descriptors from its reaper thread,
// a moment after the close returns: the count is read once it has been
// still for a while (bounded).
std::map<int, std::string> settledDescriptors() {
  using Clock = std::chrono::steady_clock;
  std::map<int, std::string> open = openDescriptors();
  const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(3);
  Clock::time_point stillSince = Clock::now();
  while (Clock::now() - stillSince < std::chrono::milliseconds(200) && Clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::map<int, std::string> now = openDescriptors();
    if (now.size() != open.size()) {
      open = std::move(now);
      stillSince = Clock::now();
    }
  }
  return open;
}

TEST(ServerConnections, AStoppedServerHoldsNoDescriptorAlthoughClientsWereConnected) {
  linktest::TcpModule module;
  linkID link = module.open();
  ASSERT_NE(link, 0);
  // The messaging library's shared context lives as long as the process
  // once made: a first server brings it up.
  aServer* first = aServer_Create(link, 0, true);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(aServer_Start(first), aErrNone);
  aServer_Destroy(&first);
  const std::map<int, std::string> before = settledDescriptors();

  aServer* server = aServer_Create(link, 0, true);
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(aServer_Start(server), aErrNone);
  uint16_t port = 0;
  aServer_GetPort(server, &port);
  // Clients of a process of their own, so that only the server's
  // descriptors are counted here: one still connected when the server
  // stops, others closed by the server.
  HostileRun flood({"flood", std::to_string(port), "50", "3000", std::to_string(kModule)});
  ASSERT_TRUE(flood.waitForLine("sent ", 10000)) << flood.errors();
  HostileRun garbage({"garbage", std::to_string(port), "6", "99"});
  ASSERT_EQ(garbage.wait(), 0) << garbage.errors();
  ASSERT_TRUE(module.engine.waitUntil([&] { return countReceived(module.engine, {linktest::kEcho, 0, 0, 0}) == 1; },
                                      3000))
      << "the flood's first request was served";
  EXPECT_EQ(aServer_Destroy(&server), aErrNone);

  std::map<int, std::string> after;
  linktest::eventually(
      [&] {
        after = openDescriptors();
        return after.size() <= before.size();
      },
      3000);
  EXPECT_EQ(after.size(), before.size()) << "left open:" << difference(before, after);
  aLink_Destroy(&link);
}

}  // namespace
