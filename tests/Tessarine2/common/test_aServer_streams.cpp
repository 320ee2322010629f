// Stream batches: values the module streams on its own reach the clients
// that subscribed, one message per module heartbeat (or per batch of more
// than 4065 bytes), and never reach the server's request path.

#include <gtest/gtest.h>

#include "tests/Tessarine2/common/test_aServer_support.h"

namespace {

using namespace servertest;
using linktest::PacketPtr;

constexpr uint8_t kStreamControl = 0x5D;
constexpr uint8_t kEnable = 0x81;
constexpr uint8_t kDisable = 0x82;

Bytes streamControl(uint8_t option) { return {kStreamControl, option, 0x20, 0, 0, 0, 0}; }

// A streamed value as the module sends it on its own: a UEI packet whose
// option has no request bit and whose specifier has bit 6 set.
SimPacket streamed(uint8_t tag, size_t length = 8) {
  Bytes data{0x0C, 0x01, 0x40, 1, tag};
  data.resize(length, tag);
  return SimPacket{kModule, data};
}

Bytes concat(const std::vector<SimPacket>& packets) {
  Bytes bytes;
  for (const SimPacket& packet : packets) {
    const Bytes w = packet.wire();
    bytes.insert(bytes.end(), w.begin(), w.end());
  }
  return bytes;
}

struct StreamingModule : SharedModule {
  StreamingModule() {
    module.engine.setHandler(kModule, kStreamControl, [](const SimPacket& request) {
      return std::vector<SimPacket>{SimPacket{kModule, {kStreamControl, static_cast<uint8_t>(request.data[1] & 0x3F)}}};
    });
  }
  void subscribe(RawClient& client, uint8_t option = kEnable) {
    client.sendPacket(kModule, streamControl(option));
    EXPECT_EQ(client.receive(1500), wire(kModule, {kStreamControl, static_cast<uint8_t>(option & 0x3F)}));
  }
  void stream(const std::vector<SimPacket>& packets) {
    for (const SimPacket& packet : packets) {
      module.engine.injectPacket(packet);
    }
  }
};

TEST(ServerStreams, SubscribersGetOneBatchPerHeartbeatOthersNone) {
  StreamingModule shared;
  ASSERT_TRUE(shared.open());
  RawClient subscriber(shared.port);
  RawClient other(shared.port);
  shared.subscribe(subscriber);
  other.send(echoRequest({1}));
  ASSERT_EQ(other.receive(1500), echoRequest({1}));

  const std::vector<SimPacket> values{streamed(1), streamed(2, 28)};
  shared.stream(values);
  EXPECT_EQ(subscriber.receive(300), std::nullopt) << "held until the module's next heartbeat";
  shared.module.engine.sendHeartbeat(0);
  EXPECT_EQ(subscriber.receive(1500), concat(values));
  EXPECT_EQ(subscriber.receive(200), std::nullopt);
  EXPECT_EQ(other.receive(200), std::nullopt) << "never subscribed";
  EXPECT_TRUE(shared.module.engine.waitUntil([&] { return shared.module.engine.heartbeats().answered == 1; }, 1500))
      << "the USB link still answers heartbeats";

  shared.module.engine.sendHeartbeat(0);
  EXPECT_EQ(subscriber.receive(300), std::nullopt) << "an empty batch is not sent";

  // Subscribing twice still gives one copy; a disable request reaches the
  // module and leaves the subscription as it is.
  shared.subscribe(subscriber);
  shared.subscribe(subscriber, kDisable);
  shared.stream({streamed(3)});
  shared.module.engine.sendHeartbeat(1);
  EXPECT_EQ(subscriber.receive(1500), streamed(3).wire());
  EXPECT_EQ(subscriber.receive(200), std::nullopt);
}

TEST(ServerStreams, ABatchGoesOutOnceItHoldsMoreThan4065Bytes) {
  StreamingModule shared;
  ASSERT_TRUE(shared.open());
  RawClient subscriber(shared.port);
  shared.subscribe(subscriber);

  // Wire forms of 30 bytes: the 136th makes 4080 bytes.
  std::vector<SimPacket> values;
  for (int i = 0; i < 137; ++i) {
    values.push_back(streamed(static_cast<uint8_t>(i), 28));
  }
  shared.stream(values);
  const std::optional<Bytes> first = subscriber.receive(2000);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->size(), 4080u);
  EXPECT_EQ(*first, concat(std::vector<SimPacket>(values.begin(), values.begin() + 136)));
  EXPECT_EQ(subscriber.receive(200), std::nullopt);
  shared.module.engine.sendHeartbeat(0);
  EXPECT_EQ(subscriber.receive(1500), values[136].wire());
}

bool isStreamed(const aPacket* packet, const void*) { return packet->dataSize > 2 && (packet->data[2] & 0x40) != 0; }

TEST(ServerStreams, AClientLinkReadsABatchAsPacketsAndRequestsAreUndisturbed) {
  StreamingModule shared;
  ASSERT_TRUE(shared.open());
  ASSERT_EQ(linktest::send(shared.client, kModule, streamControl(kEnable)), aErrNone);
  PacketPtr ack(aLink_AwaitPacket(shared.client, 1500));
  ASSERT_TRUE(ack);

  // Values streamed while a request is outstanding stay out of its reply.
  shared.module.engine.setReplyDelay(100);
  ASSERT_EQ(linktest::send(shared.client, kModule, {linktest::kEcho, 5}), aErrNone);
  shared.stream({streamed(1), streamed(2)});
  PacketPtr reply(aLink_AwaitPacket(shared.client, 1500));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply.data(), (Bytes{linktest::kEcho, 5}));

  shared.module.engine.sendHeartbeat(0);
  for (uint8_t tag = 1; tag <= 2; ++tag) {
    PacketPtr value(aLink_AwaitFirst(shared.client, isStreamed, nullptr, 1500));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->address, kModule);
    EXPECT_EQ(value.data(), streamed(tag).data);
  }
}

}  // namespace
