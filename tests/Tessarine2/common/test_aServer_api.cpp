// The server's own interface on a link made by the test (any link of the
// table serves), its packet rules, the network record, and the network client
// stream against a bare ROUTER peer.

#include <gtest/gtest.h>

#include <cstring>

#include "Tessarine2/common/aServer_ZeroMQ.h"
#include "Tessarine2/common/aServer_ZeroMQInternal.h"
#include "Tessarine2/common/aStream_ZeroMQClient.h"
#include "tests/Tessarine2/common/test_aServer_support.h"

namespace {

using namespace servertest;

// A server on a TCP link to the simulated module, made and destroyed by
// the test itself.
struct ServedTcpModule {
  ServedTcpModule() {
    link = module.open();
    if (link != 0) {
      server = aServer_Create(link, 0, true);
    }
  }
  ~ServedTcpModule() {
    if (server != nullptr) {
      aServer_Destroy(&server);
    }
    if (link != 0) {
      aLink_Destroy(&link);
    }
  }
  uint16_t port() {
    uint16_t value = 0;
    aServer_GetPort(server, &value);
    return value;
  }
  linktest::TcpModule module;
  linkID link = 0;
  aServer* server = nullptr;
};

TEST(ServerApi, ArgumentsAndAStartedServer) {
  EXPECT_EQ(aServer_Create(4242, 0, true), nullptr) << "not in the link table";
  EXPECT_EQ(aServer_Start(nullptr), aErrParam);
  aServer* none = nullptr;
  EXPECT_EQ(aServer_Destroy(&none), aErrParam);
  EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
  EXPECT_EQ(aServer_SetModel(nullptr, 1), aErrParam);
  EXPECT_EQ(aServer_SetModuleAddress(nullptr, 6), aErrParam);

  ServedTcpModule served;
  ASSERT_NE(served.server, nullptr);
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  EXPECT_EQ(aServer_GetPort(served.server, nullptr), aErrParam);
  EXPECT_EQ(aServer_GetInterface(served.server, nullptr), aErrParam);
  ASSERT_EQ(aServer_Start(served.server), aErrNone);
  EXPECT_EQ(aServer_Start(served.server), aErrBusy) << "a server is started once";
  EXPECT_EQ(aServer_GetPort(served.server, &port), aErrNone);
  EXPECT_NE(port, 0);
  EXPECT_EQ(aServer_GetInterface(served.server, &networkInterface), aErrNone);
  EXPECT_EQ(networkInterface, loopback());

  {
    // Gone before the server: a ZeroMQ client that outlives its server
    // reconnects to the freed port, whoever binds it next.
    RawClient raw(port);
    raw.send(echoRequest({1}));
    EXPECT_EQ(raw.receive(1500), echoRequest({1}));
  }

  EXPECT_EQ(aServer_Destroy(&served.server), aErrNone);
  EXPECT_EQ(served.server, nullptr);
  EXPECT_TRUE(linktest::echo(served.link, {2})) << "the link runs on without its server";
}

// Servers and client streams made one after another land on the records
// their predecessors freed; their internal endpoints must not clash with
// names libzmq has not yet released.
TEST(ServerApi, ServersAndClientStreamsCanBeMadeAgainAndAgain) {
  linktest::TcpModule module;
  linkID link = module.open();
  ASSERT_NE(link, 0);
  for (int round = 0; round < 20; ++round) {
    aServer* server = aServer_Create(link, 0, true);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(aServer_Start(server), aErrNone) << "round " << round;
    aStream* stream = nullptr;
    uint16_t port = 0;
    aServer_GetPort(server, &port);
    EXPECT_EQ(aStream_CreateClient(loopback(), port, &stream), aErrNone) << "round " << round;
    if (stream != nullptr) {
      aStream_Destroy(&stream);
    }
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
  }
  aLink_Destroy(&link);
}

TEST(ServerApi, ALocalOnlyServerServesLoopbackWhateverInterfaceItWasGiven) {
  linktest::TcpModule module;
  linkID link = module.open();
  ASSERT_NE(link, 0);
  in_addr other{};
  inet_pton(AF_INET, "10.1.2.3", &other);
  aServer* server = aServer_Create(link, other.s_addr, true);
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(aServer_Start(server), aErrNone);
  uint32_t networkInterface = 0;
  aServer_GetInterface(server, &networkInterface);
  EXPECT_EQ(networkInterface, loopback());
  uint16_t port = 0;
  aServer_GetPort(server, &port);
  RawClient raw(port, networkInterface);
  raw.send(echoRequest({3}));
  EXPECT_EQ(raw.receive(1500), echoRequest({3}));
  aServer_Destroy(&server);
  aLink_Destroy(&link);
}

TEST(ServerApi, FlushedRequestsAreAnsweredToNobodyAndLaterRequestsToTheirClients) {
  ServedTcpModule served;
  ASSERT_EQ(aServer_Start(served.server), aErrNone);
  served.module.engine.setReplyDelay(400);
  RawClient a(served.port());
  RawClient b(served.port());
  a.send(echoRequest({1}));
  ASSERT_TRUE(served.module.engine.waitUntil(
      [&] {
        for (const auto& packet : served.module.engine.received()) {
          if (packet.packet.data == Bytes{linktest::kEcho, 1}) return true;
        }
        return false;
      },
      1500));
  EXPECT_EQ(aServer_FlushFIFO(served.server), aErrNone);
  b.send(echoRequest({2}));
  EXPECT_EQ(b.receive(2500), echoRequest({2})) << "the flushed reply must not take b's place";
  EXPECT_EQ(a.receive(300), std::nullopt);
  a.send(echoRequest({3}));
  EXPECT_EQ(a.receive(2500), echoRequest({3}));
}

// --- packet rules

aPacket* packetOf(const Bytes& wireBytes) {
  return aPacket_CreateWithData(wireBytes[0], static_cast<uint8_t>(wireBytes.size() - 2), wireBytes.data() + 2);
}

struct FrameCase {
  const char* name;
  Bytes frame;
  bool valid;
  Bytes packet;  // wire form of the packet made, when valid
};

TEST(ServerPackets, FramesBecomePacketsOnlyWhenTheyHoldOne) {
  const FrameCase cases[] = {
      {"empty packet", {6, 0}, true, {6, 0}},
      {"whole packet", {6, 3, 1, 2, 3}, true, {6, 3, 1, 2, 3}},
      {"bytes beyond the length", {6, 1, 9, 8, 7}, true, {6, 1, 9}},
      {"28 data bytes", wire(6, Bytes(28, 1)), true, wire(6, Bytes(28, 1))},
      {"too short", {6}, false, {}},
      {"length 28 in 4 bytes", {6, 28, 1, 2}, false, {}},
      {"length 29", {6, 29, 1}, false, {}},
      {"31 bytes", Bytes(31, 2), false, {}},
  };
  for (const FrameCase& c : cases) {
    zframe_t* frame = zframe_new(c.frame.data(), c.frame.size());
    aPacket* packet = zmqserver::_zFrame_To_aPacket(frame);
    EXPECT_EQ(packet != nullptr, c.valid) << c.name;
    if (packet != nullptr) {
      EXPECT_EQ(Bytes(aPacket_WireBytes(packet), aPacket_WireBytes(packet) + aPacket_WireLength(packet)), c.packet)
          << c.name;
      zframe_t* back = zmqserver::_aPacket_To_zFrame(packet);
      EXPECT_EQ(Bytes(zframe_data(back), zframe_data(back) + zframe_size(back)), c.packet) << c.name;
      zframe_destroy(&back);
      aPacket_Destroy(&packet);
    }
    zframe_destroy(&frame);
  }
}

struct RuleCase {
  const char* name;
  Bytes packet;
  bool blacklisted;
  bool responseRequired;
  bool continues;
};

TEST(ServerPackets, WhichPacketsAreRefusedAwaitAnAnswerOrAnnounceMore) {
  Bytes full(28, 0);
  full[0] = 0x33;
  full[27] = 0x81;
  Bytes fullLast = full;
  fullLast[27] = 0x01;
  Bytes fullI2C = full;
  fullI2C[0] = 8;  // no UEI payload
  const RuleCase cases[] = {
      {"force-route on", {0xAF, 1, 1}, true, false, false},
      {"force-route with two bytes", {0xAF, 2, 1, 1}, false, false, false},
      {"address query", {0xAD, 0}, false, true, false},
      {"echo", {6, 2, 23, 1}, false, true, false},
      {"intermediate transfer packet", wire(6, full), false, false, true},
      {"27-byte intermediate", wire(6, Bytes(full.begin(), full.end() - 1)), false, true, false},
      {"last transfer packet", wire(6, fullLast), false, true, false},
      {"full non-UEI packet", wire(6, fullI2C), false, true, false},
  };
  for (const RuleCase& c : cases) {
    aPacket* packet = packetOf(c.packet);
    ASSERT_NE(packet, nullptr) << c.name;
    EXPECT_EQ(zmqserver::_isBlacklistedPacket(packet), c.blacklisted) << c.name;
    EXPECT_EQ(zmqserver::_isResponseRequired(packet), c.responseRequired) << c.name;
    EXPECT_EQ(zmqserver::_doesPacketContinue(packet), c.continues) << c.name;
    aPacket_Destroy(&packet);
  }
  EXPECT_FALSE(zmqserver::_isResponseRequired(nullptr));
}

TEST(ServerPackets, TheNetworkSpecHasTheLinkSpecLayout) {
  aLinkEntry entry{};
  entry.identifier = 0x12345678;
  aServer server{};
  server.entry = &entry;
  server.model.store(5);
  server.advertisedAddress = loopback();
  server.port = 50000;
  const linkSpec spec = zmqserver::_createNetworkSpec(&server);
  Bytes expected{4, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
  expected.resize(20, 0);
  const Bytes tail{5, 0, 0, 0, 0x7F, 0, 0, 1, 0x50, 0xC3, 0, 0};
  expected.insert(expected.end(), tail.begin(), tail.end());
  expected.resize(128, 0);
  Bytes bytes(sizeof spec);
  memcpy(bytes.data(), &spec, sizeof spec);
  EXPECT_EQ(bytes, expected);
  EXPECT_TRUE(zmqserver::_isDiscoveryConfigured(&server));
  server.model.store(0);
  EXPECT_FALSE(zmqserver::_isDiscoveryConfigured(&server));
}

// --- the client stream against a bare ROUTER, written from the server's
// frame rules

struct RouterPeer {
  RouterPeer() {
    socket = zsock_new(ZMQ_ROUTER);
    port = static_cast<uint16_t>(zsock_bind(socket, "tcp://127.0.0.1:*"));
    zsock_set_rcvtimeo(socket, 2000);
  }
  ~RouterPeer() {
    zframe_destroy(&identity);
    zsock_destroy(&socket);
  }
  // [identity][content] from a client; the identity is kept for replies.
  std::optional<Bytes> receive() {
    zmsg_t* message = zmsg_recv(socket);
    if (message == nullptr) return std::nullopt;
    zframe_destroy(&identity);
    identity = zmsg_pop(message);
    zframe_t* content = zmsg_pop(message);
    Bytes bytes(zframe_data(content), zframe_data(content) + zframe_size(content));
    zframe_destroy(&content);
    zmsg_destroy(&message);
    return bytes;
  }
  void reply(const Bytes& content) {
    zframe_send(&identity, socket, ZFRAME_MORE | ZFRAME_REUSE);
    zframe_t* frame = zframe_new(content.data(), content.size());
    zframe_send(&frame, socket, 0);
  }
  zsock_t* socket = nullptr;
  zframe_t* identity = nullptr;
  uint16_t port = 0;
};

TEST(ClientStream, RefusesANullResultAndNeedsNoRunningServer) {
  EXPECT_EQ(aStream_CreateClient(loopback(), 1, nullptr), aErrParam);
  aStream* stream = nullptr;
  // Port 1 on loopback: nothing listens; connecting does not wait.
  ASSERT_EQ(aStream_CreateClient(loopback(), 1, &stream), aErrNone);
  ASSERT_NE(stream, nullptr);
  const uint8_t packet[] = {6, 1, 23};
  EXPECT_EQ(aStream_Write(stream, packet, sizeof packet), aErrNone) << "queued until a server appears";
  EXPECT_EQ(aStream_Write(stream, packet, 1), aErrUnimplemented) << "single bytes cannot be put";
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(ClientStream, BlocksTravelAsFramesAndFramesComeBackByteByByte) {
  RouterPeer peer;
  ASSERT_NE(peer.port, 0);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateClient(loopback(), peer.port, &stream), aErrNone);
  const uint8_t packet[] = {6, 2, 23, 9};
  ASSERT_EQ(aStream_Write(stream, packet, sizeof packet), aErrNone);
  EXPECT_EQ(peer.receive(), Bytes(packet, packet + sizeof packet));

  peer.reply({1, 2, 3, 4, 5});
  ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
  for (uint8_t expected = 1; expected <= 5; ++expected) {
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, expected);
  }
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << "the sixth byte waits for the next frame";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_WaitReadable(stream, 200), aErrTimeout);
  EXPECT_GE(msSince(start), 150);

  peer.reply({});
  ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIndexRange) << "an empty frame";
  peer.reply({7});
  ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 7);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
