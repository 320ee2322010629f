// The broker's client table on its own: turns between clients, the bounds
// per client and in all, requests that waited too long, and connections
// that close or whose descriptor comes back for another connection.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tessarine2/common/aServer_ZeroMQClients.h"

namespace {

using zmqserver::ClientTable;
using zmqserver::GoneClient;
using zmqserver::kClientPatienceMS;
using zmqserver::kMaxQueuedPackets;
using zmqserver::kMaxRequestsPerClient;
using zmqserver::QueuedRequest;
using Admission = ClientTable::Admission;

// A request of `packets` packets to address 6 tagged by its first data byte.
QueuedRequest request(uint8_t tag, uint64_t at = 0, bool needsReply = true, size_t packets = 1) {
  QueuedRequest r;
  for (size_t i = 0; i < packets; ++i) {
    const uint8_t data[] = {23, tag};
    r.add(aPacket_CreateWithData(6, sizeof data, data));
  }
  r.needsReply = needsReply;
  r.queuedAt = at;
  return r;
}

// The tags of the requests in turn, each answered before the next.
std::vector<int> drain(ClientTable& table, uint64_t now, size_t* stale = nullptr) {
  std::vector<int> tags;
  size_t skipped = 0;
  QueuedRequest next;
  std::string identity;
  while (table.next(now, &next, &identity, &skipped)) {
    tags.push_back(next.packets().front()->data[1]);
    table.finish();
  }
  if (stale != nullptr) {
    *stale = skipped;
  }
  return tags;
}

TEST(ServerClientTable, ClientsTakeTurnsOneRequestEach) {
  ClientTable table(8);
  ASSERT_TRUE(table.admit(10, nullptr));
  ASSERT_TRUE(table.admit(11, nullptr));
  for (uint8_t tag = 1; tag <= 4; ++tag) {
    ASSERT_EQ(table.enqueue(10, "A", request(tag), nullptr), Admission::kQueued);
  }
  ASSERT_EQ(table.enqueue(11, "B", request(50), nullptr), Admission::kQueued);
  ASSERT_EQ(table.enqueue(11, "B", request(51), nullptr), Admission::kQueued);
  EXPECT_EQ(drain(table, 0), (std::vector<int>{1, 50, 2, 51, 3, 4}));
}

TEST(ServerClientTable, OneAwaitedRequestAtATimeButUnansweredPacketsGoOn) {
  ClientTable table(8);
  ASSERT_TRUE(table.admit(10, nullptr));
  ASSERT_EQ(table.enqueue(10, "A", request(1, 0, false), nullptr), Admission::kQueued);
  ASSERT_EQ(table.enqueue(10, "A", request(2), nullptr), Admission::kQueued);
  ASSERT_EQ(table.enqueue(10, "A", request(3), nullptr), Admission::kQueued);
  QueuedRequest next;
  std::string identity;
  size_t stale = 0;
  ASSERT_TRUE(table.next(0, &next, &identity, &stale));
  EXPECT_FALSE(table.busy()) << "a packet without an answer holds nothing up";
  ASSERT_TRUE(table.next(0, &next, &identity, &stale));
  EXPECT_EQ(identity, "A");
  EXPECT_TRUE(table.busy());
  EXPECT_FALSE(table.next(0, &next, &identity, &stale)) << "the next waits for the answer";
  table.finish();
  EXPECT_TRUE(table.next(0, &next, &identity, &stale));
  EXPECT_EQ(next.packets().front()->data[1], 3);
}

TEST(ServerClientTable, AClientsOutstandingRequestsAreBoundedTheOneAtTheModuleIncluded) {
  ClientTable table(8);
  ASSERT_TRUE(table.admit(10, nullptr));
  ASSERT_TRUE(table.admit(11, nullptr));
  for (size_t i = 0; i < kMaxRequestsPerClient; ++i) {
    ASSERT_EQ(table.enqueue(10, "A", request(static_cast<uint8_t>(i)), nullptr), Admission::kQueued);
  }
  EXPECT_EQ(table.enqueue(10, "A", request(99), nullptr), Admission::kClientFull);
  EXPECT_EQ(table.enqueue(11, "B", request(98), nullptr), Admission::kQueued) << "another client is not held up";

  QueuedRequest next;
  std::string identity;
  size_t stale = 0;
  ASSERT_TRUE(table.next(0, &next, &identity, &stale));
  EXPECT_EQ(table.enqueue(10, "A", request(97), nullptr), Admission::kClientFull) << "its request at the module counts";
  table.finish();
  EXPECT_EQ(table.enqueue(10, "A", request(96), nullptr), Admission::kQueued);
}

TEST(ServerClientTable, PacketsQueuedInAllAreBounded) {
  const size_t clients = kMaxQueuedPackets / (kMaxRequestsPerClient * 4) + 1;
  ClientTable table(clients + 1);
  size_t queued = 0;
  Admission last = Admission::kQueued;
  for (size_t c = 0; c < clients && last == Admission::kQueued; ++c) {
    ASSERT_TRUE(table.admit(static_cast<int>(100 + c), nullptr));
    for (size_t i = 0; i < kMaxRequestsPerClient && last == Admission::kQueued; ++i) {
      // Four-packet transfers count four.
      last = table.enqueue(static_cast<int>(100 + c), "c" + std::to_string(c), request(1, 0, true, 4), nullptr);
      queued += last == Admission::kQueued ? 4 : 0;
    }
  }
  EXPECT_EQ(last, Admission::kServerFull);
  EXPECT_EQ(queued, kMaxQueuedPackets);
  EXPECT_EQ(table.queuedPackets(), kMaxQueuedPackets);
}

TEST(ServerClientTable, RequestsThatWaitedLongerThanTheirClientsAreDropped) {
  ClientTable table(8);
  ASSERT_TRUE(table.admit(10, nullptr));
  ASSERT_TRUE(table.admit(11, nullptr));
  ASSERT_EQ(table.enqueue(10, "A", request(1, 100), nullptr), Admission::kQueued);
  ASSERT_EQ(table.enqueue(10, "A", request(2, 100 + kClientPatienceMS), nullptr), Admission::kQueued);
  ASSERT_EQ(table.enqueue(11, "B", request(3, 100), nullptr), Admission::kQueued);
  size_t stale = 0;
  EXPECT_EQ(drain(table, 101 + kClientPatienceMS, &stale), (std::vector<int>{2}));
  EXPECT_EQ(stale, 2u);
  EXPECT_EQ(table.queuedPackets(), 0u);
}

TEST(ServerClientTable, ConnectionsBeyondTheLimitAreRefusedAndDeparturesFreeTheirPlaces) {
  ClientTable table(2);
  EXPECT_TRUE(table.admit(10, nullptr));
  EXPECT_TRUE(table.admit(11, nullptr));
  EXPECT_FALSE(table.admit(12, nullptr));
  EXPECT_FALSE(table.isAdmitted(12));
  EXPECT_EQ(table.enqueue(12, "C", request(1), nullptr), Admission::kNotConnected);

  ASSERT_EQ(table.enqueue(11, "B", request(2), nullptr), Admission::kQueued);
  GoneClient gone;
  EXPECT_TRUE(table.close(11, &gone));
  EXPECT_EQ(gone.identity, "B");
  EXPECT_FALSE(table.close(12, &gone)) << "a refused connection was never counted";
  EXPECT_EQ(drain(table, 0), std::vector<int>{}) << "a departed client's requests are not served";
  EXPECT_TRUE(table.admit(12, nullptr));
  EXPECT_EQ(table.connections(), 2u);
}

TEST(ServerClientTable, AReusedDescriptorOrANewIdentityOnItDropsTheOldClient) {
  ClientTable table(4);
  ASSERT_TRUE(table.admit(10, nullptr));
  ASSERT_EQ(table.enqueue(10, "A", request(1), nullptr), Admission::kQueued);
  std::vector<GoneClient> gone;
  // The close of A's connection was not seen before the descriptor came
  // back for another connection.
  ASSERT_TRUE(table.admit(10, &gone));
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].identity, "A");
  EXPECT_EQ(table.connections(), 1u);

  ASSERT_EQ(table.enqueue(10, "B", request(2), nullptr), Admission::kQueued);
  gone.clear();
  ASSERT_EQ(table.enqueue(10, "C", request(3), &gone), Admission::kQueued);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].identity, "B");
  EXPECT_EQ(drain(table, 0), (std::vector<int>{3}));
}

TEST(ServerClientTable, AnAnswerToAClientThatLeftStillFreesTheModule) {
  ClientTable table(4);
  ASSERT_TRUE(table.admit(10, nullptr));
  ASSERT_TRUE(table.admit(11, nullptr));
  ASSERT_EQ(table.enqueue(10, "A", request(1), nullptr), Admission::kQueued);
  ASSERT_EQ(table.enqueue(11, "B", request(2), nullptr), Admission::kQueued);
  QueuedRequest next;
  std::string identity;
  size_t stale = 0;
  ASSERT_TRUE(table.next(0, &next, &identity, &stale));
  EXPECT_EQ(identity, "A");
  GoneClient gone;
  ASSERT_TRUE(table.close(10, &gone));
  EXPECT_TRUE(table.busy()) << "A's request is at the module";
  table.finish();
  EXPECT_EQ(drain(table, 0), (std::vector<int>{2}));
}

}  // namespace
