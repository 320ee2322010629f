// The broker's client table on its own: turns between clients, the bounds
// per client and in all, requests that waited too long, answers that do not
// come in time, and connections that close, are refused, or whose
// descriptor number comes back for another connection.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tessarine2/common/aServer_ZeroMQClients.h"

namespace {

using zmqserver::ClientTable;
using zmqserver::Dispatch;
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

// A connection accepted on fd and its number as its messages find it.
uint64_t open(ClientTable& table, int fd) {
  if (!table.accept(fd, nullptr)) {
    return 0;
  }
  return table.connectionOf(fd, table.lastConnection());
}

uint8_t tagOf(const Dispatch& dispatch) { return dispatch.request.packets().front()->data[1]; }

// The tags of the requests in turn, each answered before the next.
std::vector<int> drain(ClientTable& table, uint64_t now, size_t* stale = nullptr) {
  std::vector<int> tags;
  size_t skipped = 0;
  size_t overdue = 0;
  Dispatch next;
  while (table.next(now, &next, &skipped, &overdue)) {
    tags.push_back(tagOf(next));
    std::string identity;
    table.finish(next.tag, &identity);
  }
  if (stale != nullptr) {
    *stale = skipped;
  }
  return tags;
}

TEST(ServerClientTable, ClientsTakeTurnsOneRequestEach) {
  ClientTable table(8);
  const uint64_t a = open(table, 10);
  const uint64_t b = open(table, 11);
  for (uint8_t tag = 1; tag <= 4; ++tag) {
    ASSERT_EQ(table.enqueue(a, "A", request(tag)), Admission::kQueued);
  }
  ASSERT_EQ(table.enqueue(b, "B", request(50)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(b, "B", request(51)), Admission::kQueued);
  EXPECT_EQ(drain(table, 0), (std::vector<int>{1, 50, 2, 51, 3, 4}));
}

TEST(ServerClientTable, OneAwaitedRequestAtATimeButUnansweredPacketsGoOn) {
  ClientTable table(8);
  const uint64_t a = open(table, 10);
  ASSERT_EQ(table.enqueue(a, "A", request(1, 0, false)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(a, "A", request(2)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(a, "A", request(3)), Admission::kQueued);
  Dispatch next;
  size_t stale = 0;
  size_t overdue = 0;
  ASSERT_TRUE(table.next(0, &next, &stale, &overdue));
  EXPECT_EQ(next.tag, 0u) << "a packet without an answer holds nothing up";
  ASSERT_TRUE(table.next(0, &next, &stale, &overdue));
  EXPECT_EQ(next.identity, "A");
  EXPECT_NE(next.tag, 0u);
  EXPECT_FALSE(table.next(0, &next, &stale, &overdue)) << "the next waits for the answer";
  std::string identity;
  EXPECT_TRUE(table.finish(next.tag, &identity));
  EXPECT_EQ(identity, "A");
  EXPECT_TRUE(table.next(0, &next, &stale, &overdue));
  EXPECT_EQ(tagOf(next), 3);
}

TEST(ServerClientTable, AClientsOutstandingRequestsAreBoundedTheOneAtTheModuleIncluded) {
  ClientTable table(8);
  const uint64_t a = open(table, 10);
  const uint64_t b = open(table, 11);
  for (size_t i = 0; i < kMaxRequestsPerClient; ++i) {
    ASSERT_EQ(table.enqueue(a, "A", request(static_cast<uint8_t>(i))), Admission::kQueued);
  }
  EXPECT_EQ(table.enqueue(a, "A", request(99)), Admission::kClientFull);
  EXPECT_EQ(table.enqueue(b, "B", request(98)), Admission::kQueued) << "another client is not held up";

  Dispatch next;
  size_t stale = 0;
  size_t overdue = 0;
  ASSERT_TRUE(table.next(0, &next, &stale, &overdue));
  EXPECT_EQ(table.enqueue(a, "A", request(97)), Admission::kClientFull) << "its request at the module counts";
  std::string identity;
  table.finish(next.tag, &identity);
  EXPECT_EQ(table.enqueue(a, "A", request(96)), Admission::kQueued);
}

TEST(ServerClientTable, PacketsQueuedInAllAreBounded) {
  const size_t clients = kMaxQueuedPackets / (kMaxRequestsPerClient * 4) + 1;
  ClientTable table(clients + 1);
  size_t queued = 0;
  Admission last = Admission::kQueued;
  for (size_t c = 0; c < clients && last == Admission::kQueued; ++c) {
    const uint64_t connection = open(table, static_cast<int>(100 + c));
    ASSERT_NE(connection, 0u);
    for (size_t i = 0; i < kMaxRequestsPerClient && last == Admission::kQueued; ++i) {
      // Four-packet transfers count four.
      last = table.enqueue(connection, "c" + std::to_string(c), request(1, 0, true, 4));
      queued += last == Admission::kQueued ? 4 : 0;
    }
  }
  EXPECT_EQ(last, Admission::kServerFull);
  EXPECT_EQ(queued, kMaxQueuedPackets);
  EXPECT_EQ(table.queuedPackets(), kMaxQueuedPackets);
}

TEST(ServerClientTable, RequestsThatWaitedLongerThanTheirClientsAreDropped) {
  ClientTable table(8);
  const uint64_t a = open(table, 10);
  const uint64_t b = open(table, 11);
  ASSERT_EQ(table.enqueue(a, "A", request(1, 100)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(a, "A", request(2, 100 + kClientPatienceMS)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(b, "B", request(3, 100)), Admission::kQueued);
  size_t stale = 0;
  EXPECT_EQ(drain(table, 101 + kClientPatienceMS, &stale), (std::vector<int>{2}));
  EXPECT_EQ(stale, 2u);
  EXPECT_EQ(table.queuedPackets(), 0u);
}

TEST(ServerClientTable, AnAnswerThatDoesNotComeInTimeIsGivenUpAndALateOneReachesNobody) {
  ClientTable table(8);
  const uint64_t a = open(table, 10);
  const uint64_t b = open(table, 11);
  ASSERT_EQ(table.enqueue(a, "A", request(1, 0)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(b, "B", request(2, kClientPatienceMS - 1)), Admission::kQueued);
  Dispatch first;
  Dispatch second;
  size_t stale = 0;
  size_t overdue = 0;
  ASSERT_TRUE(table.next(0, &first, &stale, &overdue));
  EXPECT_EQ(table.msUntilOverdue(1000), static_cast<int64_t>(kClientPatienceMS - 1000));
  EXPECT_FALSE(table.next(kClientPatienceMS - 1, &second, &stale, &overdue)) << "still awaited";
  ASSERT_TRUE(table.next(kClientPatienceMS, &second, &stale, &overdue)) << "given up: the next one goes";
  EXPECT_EQ(overdue, 1u);
  EXPECT_EQ(second.identity, "B");
  std::string identity = "unchanged";
  EXPECT_FALSE(table.finish(first.tag, &identity)) << "the late answer is nobody's";
  EXPECT_EQ(identity, "unchanged");
  ASSERT_TRUE(table.finish(second.tag, &identity));
  EXPECT_EQ(identity, "B");
  EXPECT_EQ(table.msUntilOverdue(kClientPatienceMS), -1);
  EXPECT_EQ(table.enqueue(a, "A", request(3, kClientPatienceMS)), Admission::kQueued) << "A is served again";
  EXPECT_EQ(drain(table, kClientPatienceMS), std::vector<int>{3});
}

TEST(ServerClientTable, AFlushedAnswerStillFreesTheModuleButGoesToNobody) {
  ClientTable table(8);
  const uint64_t a = open(table, 10);
  ASSERT_EQ(table.enqueue(a, "A", request(1)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(a, "A", request(2)), Admission::kQueued);
  Dispatch next;
  size_t stale = 0;
  size_t overdue = 0;
  ASSERT_TRUE(table.next(0, &next, &stale, &overdue));
  table.flush();
  std::string identity = "unchanged";
  ASSERT_TRUE(table.finish(next.tag, &identity));
  EXPECT_EQ(identity, "");
  ASSERT_TRUE(table.next(0, &next, &stale, &overdue));
  ASSERT_TRUE(table.finish(next.tag, &identity));
  EXPECT_EQ(identity, "A") << "a later request is answered to its client";
}

TEST(ServerClientTable, ConnectionsBeyondTheLimitAreRefusedAndDeparturesFreeTheirPlaces) {
  ClientTable table(2);
  EXPECT_NE(open(table, 10), 0u);
  const uint64_t b = open(table, 11);
  EXPECT_NE(b, 0u);
  EXPECT_FALSE(table.accept(12, nullptr));
  EXPECT_EQ(table.connectionOf(12, table.lastConnection()), 0u) << "what a refused connection sends is not served";

  ASSERT_EQ(table.enqueue(b, "B", request(2)), Admission::kQueued);
  GoneClient gone;
  EXPECT_TRUE(table.close(11, &gone));
  EXPECT_EQ(gone.identity, "B");
  EXPECT_EQ(drain(table, 0), std::vector<int>{}) << "a departed client's requests are not served";
  EXPECT_TRUE(table.close(12, &gone)) << "the refused connection closes too";
  EXPECT_NE(open(table, 12), 0u);
  EXPECT_EQ(table.connections(), 2u);
}

// A message names its connection by the descriptor it came on and by the
// latest connection number at its handshake.
TEST(ServerClientTable, AReusedDescriptorNumberNeverMakesANewConnectionTheOldOne) {
  ClientTable table(4);
  const uint64_t a = open(table, 10);
  const uint64_t handshakeOfA = table.lastConnection();
  ASSERT_EQ(table.enqueue(a, "A", request(1)), Admission::kQueued);
  GoneClient gone;
  ASSERT_TRUE(table.close(10, &gone));
  EXPECT_EQ(gone.identity, "A");

  // B gets descriptor 10, and subscribes and sends before A's last
  // messages, still in libzmq's queue, are read.
  ASSERT_TRUE(table.accept(10, nullptr));
  const uint64_t b = table.connectionOf(10, table.lastConnection());
  ASSERT_NE(b, 0u);
  EXPECT_NE(b, a);
  ASSERT_EQ(table.enqueue(b, "B", request(2)), Admission::kQueued);
  EXPECT_EQ(table.connectionOf(10, handshakeOfA), 0u) << "A's leftovers are nobody's";
  EXPECT_EQ(table.connectionOf(10, table.lastConnection()), b) << "B's own are B's";
  EXPECT_EQ(drain(table, 0), std::vector<int>{2});

  // A close that was never reported: the descriptor's next accept drops
  // the connection that had it.
  std::vector<GoneClient> departed;
  ASSERT_TRUE(table.accept(10, &departed));
  ASSERT_EQ(departed.size(), 1u);
  EXPECT_EQ(departed[0].identity, "B");
  EXPECT_EQ(table.connections(), 1u);
}

TEST(ServerClientTable, AnAnswerToAClientThatLeftStillFreesTheModule) {
  ClientTable table(4);
  const uint64_t a = open(table, 10);
  const uint64_t b = open(table, 11);
  ASSERT_EQ(table.enqueue(a, "A", request(1)), Admission::kQueued);
  ASSERT_EQ(table.enqueue(b, "B", request(2)), Admission::kQueued);
  Dispatch next;
  size_t stale = 0;
  size_t overdue = 0;
  ASSERT_TRUE(table.next(0, &next, &stale, &overdue));
  EXPECT_EQ(next.identity, "A");
  GoneClient gone;
  ASSERT_TRUE(table.close(10, &gone));
  Dispatch blocked;
  EXPECT_FALSE(table.next(0, &blocked, &stale, &overdue)) << "A's request is at the module";
  std::string identity = "unchanged";
  EXPECT_TRUE(table.finish(next.tag, &identity));
  EXPECT_EQ(identity, "") << "its answer goes to nobody";
  EXPECT_EQ(drain(table, 0), (std::vector<int>{2}));
}

}  // namespace
