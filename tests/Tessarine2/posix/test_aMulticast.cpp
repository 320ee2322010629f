#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "Tessarine2/common/aMulticast.h"
#include "Tessarine2/common/aNetworkDiscovery.h"
#include "tests/sim/netdiscovery/PrivateNetworkTest.h"

namespace {

using netsim::PrivateNetwork;
using MulticastSocket = netsim::InPrivateNetwork<PrivateNetwork::Links::LoopbackOnly>;

constexpr uint16_t kPort = 9850;

aMulticast* receiverOn(uint16_t port) {
  return aMulticast_Create(aDiscovery_Loopback(), aDiscovery_MulticastGroup(), port, aMULTICAST_RECEIVER);
}

TEST_F(MulticastSocket, DatagramTravelsThroughTheGroupOnLoopback) {
  aMulticast* receiver = receiverOn(kPort);
  // Interface 0 stands for the loopback interface.
  aMulticast* sender = aMulticast_Create(0, aDiscovery_MulticastGroup(), kPort, aMULTICAST_SENDER);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(sender, nullptr);

  const uint8_t request[4] = {0xBA, 0xDC, 0xCD, 0xAB};
  EXPECT_EQ(aMulticast_Send(sender, request, sizeof(request)), 4);
  uint8_t received[16] = {0};
  ASSERT_EQ(aMulticast_Receive(receiver, received, sizeof(received)), 4);
  EXPECT_EQ(std::memcmp(received, request, sizeof(request)), 0);

  // A datagram longer than the buffer is cut to the buffer.
  const uint8_t longer[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(aMulticast_Send(sender, longer, sizeof(longer)), 10);
  EXPECT_EQ(aMulticast_Receive(receiver, received, 4), 4);
  EXPECT_EQ(std::memcmp(received, longer, 4), 0);

  EXPECT_EQ(aMulticast_Destroy(&sender), 0);
  EXPECT_EQ(sender, nullptr);
  EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
  EXPECT_EQ(receiver, nullptr);
}

TEST_F(MulticastSocket, ReceiverHoldsItsPortAlone) {
  aMulticast* holder = receiverOn(kPort);
  ASSERT_NE(holder, nullptr);
  // This refusal is how a client sees that a server holds a slot.
  EXPECT_EQ(receiverOn(kPort), nullptr);
  // Senders bind nothing and are not affected.
  aMulticast* sender = aMulticast_Create(aDiscovery_Loopback(), aDiscovery_MulticastGroup(), kPort, aMULTICAST_SENDER);
  EXPECT_NE(sender, nullptr);
  aMulticast_Destroy(&sender);

  aMulticast_Destroy(&holder);
  aMulticast* next = receiverOn(kPort);
  EXPECT_NE(next, nullptr);
  aMulticast_Destroy(&next);
}

TEST_F(MulticastSocket, ReceiveGivesUpAfterOneSecond) {
  aMulticast* receiver = receiverOn(kPort);
  ASSERT_NE(receiver, nullptr);
  uint8_t buffer[8];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof(buffer)), aMULTICAST_FAILED);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  aMulticast_Destroy(&receiver);
}

TEST_F(MulticastSocket, MisuseIsRefused) {
  aMulticast* receiver = receiverOn(kPort);
  aMulticast* sender = aMulticast_Create(aDiscovery_Loopback(), aDiscovery_MulticastGroup(), kPort, aMULTICAST_SENDER);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(sender, nullptr);
  uint8_t buffer[4] = {0};

  struct Case {
    int64_t result;
    int64_t expected;
    const char* shows;
  } cases[] = {
      {aMulticast_Send(receiver, buffer, sizeof(buffer)), aMULTICAST_WRONG_MODE, "send on a receiver"},
      {aMulticast_Receive(sender, buffer, sizeof(buffer)), aMULTICAST_WRONG_MODE, "receive on a sender"},
      {aMulticast_Send(nullptr, buffer, sizeof(buffer)), aMULTICAST_NO_RECORD, "send without a record"},
      {aMulticast_Receive(nullptr, buffer, sizeof(buffer)), aMULTICAST_NO_RECORD, "receive without a record"},
      {aMulticast_Send(sender, nullptr, 4), aMULTICAST_FAILED, "send from no buffer"},
      {aMulticast_Receive(receiver, nullptr, 4), aMULTICAST_FAILED, "receive into no buffer"},
      {aMulticast_Destroy(nullptr), aMULTICAST_NO_RECORD, "destroy without a pointer"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.shows;

  EXPECT_EQ(aMulticast_Create(aDiscovery_Loopback(), aDiscovery_MulticastGroup(), kPort + 1, 2), nullptr)
      << "a mode that is neither receiver nor sender";

  aMulticast_Destroy(&sender);
  aMulticast_Destroy(&receiver);
  EXPECT_EQ(aMulticast_Destroy(&receiver), aMULTICAST_NO_RECORD) << "destroy twice";
}

}  // namespace
