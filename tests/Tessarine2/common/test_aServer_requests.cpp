// The module-sharing server's request path: a client link through a server
// to the simulated module, several clients at once, refused force-route,
// bad frames, replies of one data byte and of several packets, setUEIBytes
// transfers kept together, replies that come too late, and the server's
// teardown with its link.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <iostream>
#include <optional>
#include <thread>
#include <vector>

#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/common/packetfifo.h"
#include "tests/Tessarine2/common/test_aServer_support.h"

namespace {

using namespace servertest;
using linktest::PacketPtr;

// UEI commands the simulated module gets handlers for in these tests (none
// is one of the non-UEI commands).
constexpr uint8_t kOneByteReplyCommand = 0x31;
constexpr uint8_t kMultiReplyCommand = 0x32;
constexpr uint8_t kBytesCommand = 0x33;

// A byte-array packet of a setUEIBytes transfer: command, option (set),
// specifier, payload, then the sequence byte (bit 7: more follow).
Bytes bytesPacket(uint8_t sequence, bool more, size_t payload) {
  Bytes data{kBytesCommand, 0x80 | 0x20, 0x20};
  for (size_t i = 0; i < payload; ++i) {
    data.push_back(static_cast<uint8_t>(sequence * 32 + i));
  }
  data.push_back(static_cast<uint8_t>(sequence | (more ? 0x80 : 0)));
  return data;
}

// The module answers a transfer only after its last packet.
void answerTransfersOnTheirLastPacket(simmodule::ModuleEngine& engine) {
  engine.setHandler(kModule, kBytesCommand, [](const SimPacket& request) {
    if (request.data.size() >= 3 && (request.data.back() & 0x80) == 0) {
      return std::vector<SimPacket>{SimPacket{kModule, {kBytesCommand, 0xC0 | 0x20, 0x20, 0}}};
    }
    return std::vector<SimPacket>{};
  });
}

// One request through a client link and the next packet it receives.
PacketPtr exchange(linkID link, const Bytes& data, uint64_t timeoutMS = 1500) {
  if (linktest::send(link, kModule, data) != aErrNone) {
    return PacketPtr();
  }
  return PacketPtr(aLink_AwaitPacket(link, timeoutMS));
}

// Keeps a loopback port that a server has just given up: ZeroMQ clients of
// the gone server go on reconnecting to it, and must not reach whatever
// another process binds there next (they would inject their queued
// requests or take a share of its messages). The listener never answers,
// so they never get through. The server closes its port a moment after its
// destruction returns, hence the retries.
class PortKeeper {
 public:
  explicit PortKeeper(uint16_t port) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (fd_ < 0 && std::chrono::steady_clock::now() < end) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int on = 1;
      sockaddr_in where{};
      where.sin_family = AF_INET;
      where.sin_addr.s_addr = loopback();
      where.sin_port = htons(port);
      if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
          bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && listen(fd, 16) == 0) {
        fd_ = fd;
      } else {
        if (fd >= 0) {
          close(fd);
        }
        aTime_MSSleep(5);
      }
    }
  }
  ~PortKeeper() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  PortKeeper(const PortKeeper&) = delete;
  PortKeeper& operator=(const PortKeeper&) = delete;
  bool holds() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

TEST(ServerRequests, ACallerTalksToItsModuleThroughItsOwnServer) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  EXPECT_NE(shared.port, 0);
  EXPECT_EQ(shared.networkInterface, loopback()) << "a local-only server serves the loopback address";
  EXPECT_EQ(aLink_GetStatus(shared.client), kLinkStateRunning);

  // What the server asked while it was made: the address query and the
  // model query, through the caller's client link.
  EXPECT_GE(shared.module.engine.syncRequests(), 1u);
  EXPECT_EQ(countReceived(shared.module.engine, kModelQuery), 1u);

  PacketPtr reply = exchange(shared.client, {linktest::kEcho, 1, 2, 3});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->address, kModule);
  EXPECT_EQ(reply.data(), (Bytes{linktest::kEcho, 1, 2, 3}));

  // The USB link switched force-route on twice; the client link's own
  // force-route on was refused by the server.
  EXPECT_EQ(shared.module.engine.forceRoutes(), (std::vector<uint8_t>{1, 1}));
}

TEST(ServerRequests, AServedModuleGetsNoSecondServerAndNoDirectLink) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  EXPECT_EQ(aLink_CreateServer(shared.module.serial, &port, &networkInterface, true), 0);
  EXPECT_EQ(aLink_CreateUSB(shared.module.serial), 0);
  EXPECT_TRUE(linktest::echo(shared.client, {9}));
}

TEST(ServerRequests, CreateServerFailsCleanlyWhenTheModuleDoesNotTellItsModel) {
  UsbModule module;
  module.engine.removeHandler(kModule, 3);
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_CreateServer(module.serial, &port, &networkInterface, true), 0);
  EXPECT_LT(msSince(start), 12000) << "five tries of about 1 s each";
  // Everything was torn down: the USB link said force-route off (the module
  // reads it a moment later), and the module can be opened directly now.
  EXPECT_TRUE(module.engine.waitUntil(
      [&] { return !module.engine.forceRoutes().empty() && module.engine.forceRoutes().back() == 0; }, 2000));
  linkID direct = aLink_CreateUSB(module.serial);
  EXPECT_NE(direct, 0);
  aLink_Destroy(&direct);

  EXPECT_EQ(aLink_CreateServer(module.serial, nullptr, &networkInterface, true), 0);
  EXPECT_EQ(aLink_CreateServer(module.serial, &port, nullptr, true), 0);
}

TEST(ServerRequests, SeveralClientsEachGetTheirOwnRepliesInOrder) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  // Slow replies, so that requests of different clients queue up.
  shared.module.engine.setReplyDelay(2);

  std::vector<linkID> links{shared.client};
  for (int i = 0; i < 3; ++i) {
    linkID client = aLink_CreateClient(shared.networkInterface, shared.port, 0);
    ASSERT_NE(client, 0);
    for (linkID other : links) {
      EXPECT_NE(client, other) << "every client link is a connection of its own";
    }
    links.push_back(client);
  }

  constexpr int kRounds = 25;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (size_t c = 0; c < links.size(); ++c) {
    threads.emplace_back([&, c] {
      for (int n = 0; n < kRounds; ++n) {
        const Bytes request{linktest::kEcho, static_cast<uint8_t>(c), static_cast<uint8_t>(n)};
        PacketPtr reply = exchange(links[c], request);
        if (!reply || reply.data() != request) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  for (size_t c = 1; c < links.size(); ++c) {
    aLink_Destroy(&links[c]);
  }
}

TEST(ServerRequests, ClientLinksToOneServerAreNeverSharedButAnExistingLinkIs) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  linkID a = aLink_CreateClient(shared.networkInterface, shared.port, 0);
  linkID b = aLink_CreateClient(shared.networkInterface, shared.port, 0);
  ASSERT_NE(a, 0);
  ASSERT_NE(b, 0);
  EXPECT_NE(a, b);

  linkID again = aLink_CreateClient(0, 0, a);
  EXPECT_EQ(again, a);
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(aLink_GetStatus(a), kLinkStateRunning) << "the second use kept it";
  EXPECT_TRUE(linktest::echo(a, {1}));
  EXPECT_EQ(aLink_CreateClient(0, 0, 9999), 0) << "an id not in the table";

  aLink_Destroy(&a);
  aLink_Destroy(&b);
  EXPECT_TRUE(linktest::echo(shared.client, {2})) << "other clients' links do not touch the server";
}

TEST(ServerRequests, ForceRouteFromAClientIsRefusedOtherControlPacketsPass) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient raw(shared.port);
  const std::vector<uint8_t> routesBefore = shared.module.engine.forceRoutes();

  raw.send({0xAF, 1, 1});
  raw.send({0xAF, 1, 0});
  raw.send(echoRequest({5}));
  EXPECT_EQ(raw.receive(1500), echoRequest({5})) << "a refused packet leaves no waiting client behind";
  EXPECT_EQ(shared.module.engine.forceRoutes(), routesBefore) << "the module never saw them";

  // Two data bytes are no force-route command: the packet reaches the
  // module and nobody waits for an answer to it.
  raw.send({0xAF, 2, 1, 1});
  auto start = std::chrono::steady_clock::now();
  raw.send(echoRequest({6}));
  EXPECT_EQ(raw.receive(1500), echoRequest({6}));
  EXPECT_LT(msSince(start), 1000);
  EXPECT_TRUE(shared.module.engine.waitUntil(
      [&] {
        for (const SimPacket& packet : shared.module.engine.unhandled()) {
          if (packet == SimPacket{0xAF, {1, 1}}) return true;
        }
        return false;
      },
      1000));
}

struct BadFrame {
  const char* name;
  std::vector<Bytes> frames;
};

void PrintTo(const BadFrame& c, std::ostream* os) { *os << c.name; }

class ServerBadFrames : public ::testing::TestWithParam<BadFrame> {};

TEST_P(ServerBadFrames, AreDroppedWithoutAnswerAndWithoutAWaitingClient) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient raw(shared.port);
  const size_t before = shared.module.engine.received().size();
  raw.sendMessage(GetParam().frames);
  raw.send(echoRequest({7}));
  EXPECT_EQ(raw.receive(1500), echoRequest({7}));
  EXPECT_EQ(raw.receive(200), std::nullopt);
  EXPECT_EQ(shared.module.engine.received().size(), before + 1) << "only the echo reached the module";
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ServerBadFrames,
    ::testing::Values(BadFrame{"empty frame", {{}}}, BadFrame{"one byte", {{kModule}}},
                      BadFrame{"length 28 in a frame of 4", {{kModule, 28, 1, 2}}},
                      BadFrame{"length above what the frame holds", {{kModule, 3, 23}}},
                      BadFrame{"length 29", {Bytes(31, 29)}},
                      BadFrame{"longer than any packet", {Bytes(31, kModule)}}),
    [](const ::testing::TestParamInfo<BadFrame>& info) {
      std::string name;
      for (const char* c = info.param.name; *c != '\0'; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST(ServerRequests, AnOversizedFrameCostsItsSenderNotTheServer) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient flood(shared.port);
  RawClient other(shared.port);
  const size_t before = shared.module.engine.received().size();
  flood.send(Bytes(100000, kModule));
  other.send(echoRequest({9}));
  EXPECT_EQ(other.receive(1500), echoRequest({9}));
  EXPECT_EQ(shared.module.engine.received().size(), before + 1);
}

TEST(ServerRequests, BytesBeyondAFramesLengthAreIgnored) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient raw(shared.port);
  raw.send({kModule, 2, linktest::kEcho, 4, 0xEE, 0xEE});
  EXPECT_EQ(raw.receive(1500), echoRequest({4}));
}

TEST(ServerRequests, AReplyOfOneDataByteReachesItsClientAndNothingShifts) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  shared.module.engine.setHandler(kModule, kOneByteReplyCommand, [](const SimPacket&) {
    return std::vector<SimPacket>{SimPacket{kModule, {kOneByteReplyCommand}}};
  });
  RawClient a(shared.port);
  RawClient b(shared.port);
  for (int round = 0; round < 3; ++round) {
    a.sendPacket(kModule, {kOneByteReplyCommand, 0x41, 0x20});
    EXPECT_EQ(a.receive(1500), wire(kModule, {kOneByteReplyCommand}));
    b.send(echoRequest({static_cast<uint8_t>(round)}));
    EXPECT_EQ(b.receive(1500), echoRequest({static_cast<uint8_t>(round)}));
  }
  EXPECT_EQ(a.receive(200), std::nullopt);
}

TEST(ServerRequests, AMultiPacketReplyGoesWholeToItsClientBeforeTheNextRequest) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  // A byte array of three full continued packets and a short last one.
  std::vector<SimPacket> replies;
  for (uint8_t sequence = 0; sequence < 3; ++sequence) {
    Bytes data{kMultiReplyCommand, 0x01, 0x00};
    data.resize(27, sequence);
    data.push_back(0x80 | sequence);
    replies.push_back(SimPacket{kModule, data});
  }
  replies.push_back(SimPacket{kModule, {kMultiReplyCommand, 0x01, 0x00, 0xAA, 3}});
  shared.module.engine.setHandler(kModule, kMultiReplyCommand, [&](const SimPacket&) { return replies; });
  shared.module.engine.setReplyDelay(50);

  RawClient a(shared.port);
  RawClient b(shared.port);
  a.sendPacket(kModule, {kMultiReplyCommand, 0x41, 0x20});
  ASSERT_TRUE(shared.module.engine.waitUntil(
      [&] { return countReceived(shared.module.engine, {kMultiReplyCommand, 0x41, 0x20}) == 1; }, 1500));
  b.send(echoRequest({8}));
  for (const SimPacket& reply : replies) {
    EXPECT_EQ(a.receive(1500), reply.wire());
  }
  EXPECT_EQ(b.receive(1500), echoRequest({8}));
  EXPECT_EQ(a.receive(200), std::nullopt);
}

TEST(ServerRequests, ASetBytesTransferReachesTheModuleWholeAndIsAnsweredOnce) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  answerTransfersOnTheirLastPacket(shared.module.engine);
  RawClient a(shared.port);
  RawClient b(shared.port);
  const std::vector<Bytes> transfer{bytesPacket(0, true, 24), bytesPacket(1, true, 24), bytesPacket(2, false, 5)};

  // The other client's requests are answered while the transfer is held.
  a.sendPacket(kModule, transfer[0]);
  b.send(echoRequest({1}));
  EXPECT_EQ(b.receive(1500), echoRequest({1}));
  a.sendPacket(kModule, transfer[1]);
  b.send(echoRequest({2}));
  EXPECT_EQ(b.receive(1500), echoRequest({2}));
  a.sendPacket(kModule, transfer[2]);

  EXPECT_EQ(a.receive(1500), wire(kModule, {kBytesCommand, 0xE0, 0x20, 0}));
  EXPECT_EQ(a.receive(200), std::nullopt) << "one answer for the whole transfer";

  // At the module: both echoes, then the three packets in a row.
  std::vector<Bytes> seen;
  for (const auto& packet : shared.module.engine.received()) {
    if (packet.packet.address == kModule && !packet.packet.data.empty() &&
        (packet.packet.data[0] == kBytesCommand || packet.packet.data[0] == linktest::kEcho)) {
      seen.push_back(packet.packet.data);
    }
  }
  const std::vector<Bytes> expected{{linktest::kEcho, 1}, {linktest::kEcho, 2}, transfer[0], transfer[1], transfer[2]};
  EXPECT_EQ(seen, expected);
}

TEST(ServerRequests, AnOutOfOrderTransferIsDroppedAndItsPoolAgesOut) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  answerTransfersOnTheirLastPacket(shared.module.engine);
  RawClient a(shared.port);
  RawClient b(shared.port);
  const Bytes get{kBytesCommand, 0x41, 0x20};

  a.sendPacket(kModule, bytesPacket(0, true, 24));
  a.sendPacket(kModule, bytesPacket(2, false, 3));
  // While A's broken transfer is pooled, A's UEI requests are dropped.
  a.sendPacket(kModule, get);
  EXPECT_EQ(a.receive(700), std::nullopt);
  EXPECT_EQ(countReceived(shared.module.engine, bytesPacket(0, true, 24)), 0u);

  // 2000 further UEI packets from anyone age the pool out. These are lone
  // continued packets of 27 bytes: they open no pool and need no answer.
  for (int i = 0; i < 2000; ++i) {
    b.sendPacket(kModule, bytesPacket(0, true, 23));
  }
  b.send(echoRequest({3}));
  EXPECT_EQ(b.receive(5000), echoRequest({3})) << "no filler left a waiting client behind";
  a.sendPacket(kModule, get);
  EXPECT_EQ(a.receive(1500), wire(kModule, {kBytesCommand, 0xE0, 0x20, 0}));
}

TEST(ServerRequests, ALoneContinuedPacketDoesNotTakeAnotherClientsReply) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  answerTransfersOnTheirLastPacket(shared.module.engine);
  RawClient a(shared.port);
  RawClient b(shared.port);
  a.sendPacket(kModule, bytesPacket(0, true, 23));  // 27 data bytes, more to follow: no pool, no answer
  ASSERT_TRUE(shared.module.engine.waitUntil(
      [&] { return countReceived(shared.module.engine, bytesPacket(0, true, 23)) == 1; }, 1500));
  b.send(echoRequest({4}));
  EXPECT_EQ(b.receive(1500), echoRequest({4}));
  EXPECT_EQ(a.receive(200), std::nullopt);
}

TEST(ServerRequests, ARequestWithoutReplyIsDroppedAfterTwoSecondsAndTheNextOneWorks) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient raw(shared.port);
  raw.sendPacket(kModule, {0x40, 0x41, 0x20});  // no handler: the module stays silent
  raw.send(echoRequest({5}));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(raw.receive(4000), echoRequest({5}));
  const long long waited = msSince(start);
  EXPECT_GE(waited, 1800) << "the echo waited behind the unanswered request";
  EXPECT_LT(waited, 3500);
}

// Packets waiting in the in-FIFO of the USB link behind a caller's client
// link; SIZE_MAX when the links are gone.
size_t servedLinkBacklog(linkID client) {
  linkID usb = 0;
  {
    aLinkPin pin(client);
    if (pin.entry() == nullptr) {
      return SIZE_MAX;
    }
    usb = pin.entry()->companion;
  }
  aLinkPin pin(usb);
  return pin.link() == nullptr ? SIZE_MAX : aPacketFifo_GetLength(pin.link()->inFifo.load());
}

TEST(ServerRequests, AReplyTooLateForItsRequestNeverReachesTheNextClient) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  RawClient a(shared.port);
  RawClient b(shared.port);

  // A's answer leaves the module well after the server's 2 s wait for it.
  shared.module.engine.setReplyDelay(2600);
  a.send(echoRequest({0xA}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  while (servedLinkBacklog(shared.client) == 0 && std::chrono::steady_clock::now() < deadline) {
    aTime_MSSleep(10);
  }
  ASSERT_EQ(servedLinkBacklog(shared.client), 1u) << "A's late answer came in after the server gave up on it";
  EXPECT_EQ(a.receive(100), std::nullopt) << "a request given up is not answered";

  shared.module.engine.setReplyDelay(0);
  b.send(echoRequest({0xB}));
  EXPECT_EQ(b.receive(1500), echoRequest({0xB}));
  EXPECT_EQ(b.receive(300), std::nullopt) << "A's answer never reaches B";
  EXPECT_EQ(a.receive(0), std::nullopt);
  EXPECT_EQ(countReceived(shared.module.engine, {linktest::kEcho, 0xA}), 1u);
  EXPECT_EQ(countReceived(shared.module.engine, {linktest::kEcho, 0xB}), 1u);
}

TEST(ServerRequests, TheServerGoesWithTheLastUseOfTheCallersLink) {
  UsbModule module;
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  linkID client = aLink_CreateServer(module.serial, &port, &networkInterface, true);
  ASSERT_NE(client, 0);
  linkID other = aLink_CreateClient(networkInterface, port, 0);
  ASSERT_NE(other, 0);
  // Outlives the clients below (declared first, destroyed last).
  std::optional<PortKeeper> keeper;
  std::optional<RawClient> raw(std::in_place, port);
  raw->send(echoRequest({1}));
  ASSERT_EQ(raw->receive(1500), echoRequest({1}));

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Destroy(&client), aErrNone);
  EXPECT_LT(msSince(start), 3000);
  EXPECT_EQ(client, 0);
  keeper.emplace(port);
  // The USB link's last word is written before its stop returns; the module
  // reads it a moment later.
  EXPECT_TRUE(module.engine.waitUntil([&] { return module.engine.forceRoutes().size() >= 3; }, 2000));
  EXPECT_EQ(module.engine.forceRoutes(), (std::vector<uint8_t>{1, 1, 0})) << "the USB link stopped";

  if (keeper->holds()) {
    // Nothing reaches the module any more.
    raw->send(echoRequest({2}));
    linktest::send(other, kModule, {linktest::kEcho, 3});
    EXPECT_FALSE(module.engine.waitUntil(
        [&] {
          return countReceived(module.engine, {linktest::kEcho, 2}) +
                     countReceived(module.engine, {linktest::kEcho, 3}) >
                 0;
        },
        500));
  } else {
    // Another socket has the port already (rare): the clients go at once
    // instead of reaching it, and the check cannot be made.
    std::cout << "port " << port << " was taken at once; nothing sent after the teardown\n";
  }
  raw.reset();
  EXPECT_EQ(aLink_Destroy(&other), aErrNone);

  // The module is free again.
  linkID direct = aLink_CreateUSB(module.serial);
  EXPECT_NE(direct, 0);
  EXPECT_TRUE(linktest::echo(direct, {4}));
  aLink_Destroy(&direct);
}

TEST(ServerRequests, AClientLinkResetRebuildsItsStream) {
  SharedModule shared;
  ASSERT_TRUE(shared.open());
  ASSERT_TRUE(linktest::echo(shared.client, {1}));
  EXPECT_EQ(aLink_Reset(shared.client), aErrNone);
  EXPECT_EQ(aLink_GetStatus(shared.client), kLinkStateRunning);
  EXPECT_TRUE(linktest::echo(shared.client, {2}));
}

}  // namespace
