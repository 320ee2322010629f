#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Tessarine2/common/aStream.h"
#include "tests/sim/TcpPeer.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Reads count bytes, waiting for them with the stream's own wait.
std::string readBytes(aStream* stream, size_t count, int timeoutMS, aErr* last = nullptr) {
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeoutMS);
  std::string got;
  aErr err = aErrNone;
  while (got.size() < count && clock_type::now() < deadline) {
    uint8_t byte = 0;
    err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      got.push_back(static_cast<char>(byte));
    } else if (err == aErrNotReady) {
      aStream_WaitReadable(stream, 50);
    } else {
      break;
    }
  }
  if (last != nullptr) {
    *last = err;
  }
  return got;
}

std::string block(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  }
  return data;
}

class SocketStream : public ::testing::Test {
 protected:
  void connect(testsupport::TcpPeer& to) {
    ASSERT_EQ(aStream_CreateSocket(testsupport::TcpPeer::address(), to.port(), &stream), aErrNone);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(to.accept(2000));
  }
  void TearDown() override { aStream_Destroy(&stream); }

  aStream* stream = nullptr;
};

TEST_F(SocketStream, CarriesBytesBothWays) {
  testsupport::TcpPeer peer;
  connect(peer);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  ASSERT_TRUE(peer.send("hello"));
  EXPECT_EQ(readBytes(stream, 5, 2000), "hello");
  EXPECT_EQ(aStream_Write(stream, "w", 1), aErrNone);
  EXPECT_EQ(aStream_Write(stream, "orld", 4), aErrNone);
  EXPECT_EQ(peer.receive(5, 2000), "world");
}

TEST_F(SocketStream, NothingListeningGivesResourceAndNoStream) {
  uint16_t port;
  {
    testsupport::TcpPeer gone;
    port = gone.port();
  }
  stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateSocket(testsupport::TcpPeer::address(), port, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(testsupport::TcpPeer::address(), port, nullptr), aErrResource);
}

// Reads until one answers something other than aErrConnection, as a
// link's reader does (a pause after each failed read); that answer.
aErr readWhileUnconnected(aStream* stream, int timeoutMS) {
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeoutMS);
  uint8_t byte = 0;
  aErr err = aErrConnection;
  while (err == aErrConnection && clock_type::now() < deadline) {
    err = aStream_Read(stream, &byte, 1);
    if (err == aErrConnection) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return err;
}

// A peer that goes away (a module restarting: it closes its end, or resets
// it) and refuses connections for a while: the stream says so at once,
// keeps looking for it once per pause, and carries bytes again, in place,
// once it listens.
TEST(SocketStreamPeerGone, TheStreamConnectsAgainInPlaceOncePerPauseUntilThePeerIsBack) {
  for (const bool orderly : {true, false}) {
    SCOPED_TRACE(orderly ? "orderly close" : "reset");
    testsupport::TcpPeer peer;
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(testsupport::TcpPeer::address(), peer.port(), &stream), aErrNone);
    ASSERT_TRUE(peer.accept(2000));
    peer.stopListening();
    if (orderly) {
      ASSERT_TRUE(peer.send("last"));
      peer.closeWithFin();
    } else {
      peer.closeWithReset();
    }
    const auto gone = clock_type::now();
    // What came before a close is still delivered.
    aErr last = aErrNone;
    EXPECT_EQ(readBytes(stream, 10, 2000, &last), orderly ? "last" : "");
    EXPECT_EQ(last, aErrConnection);
    EXPECT_EQ(aStream_Write(stream, "xy", 2), aErrConnection);
    // An unconnected stream does not make its reader wait.
    EXPECT_EQ(aStream_WaitReadable(stream, 5000), aErrNone);

    // Refused across more than two pauses: still unconnected.
    const auto refusing = std::chrono::milliseconds(aSOCKET_RECONNECT_PAUSE_MS * 5 / 2);
    EXPECT_EQ(readWhileUnconnected(stream, static_cast<int>(refusing.count())), aErrConnection);
    ASSERT_TRUE(peer.listenAgain());
    EXPECT_EQ(readWhileUnconnected(stream, 3 * static_cast<int>(aSOCKET_RECONNECT_PAUSE_MS)), aErrNotReady);
    ASSERT_TRUE(peer.accept(2000));
    EXPECT_GE(clock_type::now() - gone, refusing);
    EXPECT_EQ(peer.acceptedCount(), 2);
    ASSERT_TRUE(peer.send("again"));
    EXPECT_EQ(readBytes(stream, 5, 2000), "again");
    EXPECT_EQ(aStream_Write(stream, "back", 4), aErrNone);
    EXPECT_EQ(peer.receive(4, 2000), "back");
    aStream_Destroy(&stream);
  }
}

// Reads are served from what one receive fetched: bursts larger than that
// buffer, a packet that arrives in pieces with pauses between them, and the
// bytes before a peer's close all come out whole and in order.
TEST_F(SocketStream, BufferedReadsKeepEveryByteInOrderAcrossBurstsPausesAndAClose) {
  testsupport::TcpPeer peer;
  connect(peer);
  const std::string burst = block(20000);
  ASSERT_TRUE(peer.send(burst));
  EXPECT_TRUE(readBytes(stream, burst.size(), 5000) == burst);

  // A packet split across three sends: the reads between the pieces find
  // the buffer empty and report "not ready", never a stale byte.
  const std::string pieces[] = {"\x06", "\x04\x17", "\x01\x55\xAA"};
  std::string packet;
  for (const std::string& piece : pieces) {
    ASSERT_TRUE(peer.send(piece));
    EXPECT_EQ(readBytes(stream, piece.size(), 2000), piece);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(stream, 20), aErrTimeout);
    packet += piece;
  }
  EXPECT_EQ(packet.size(), 6u);

  // A multi-byte read that outruns the buffer gives its bytes back whole.
  ASSERT_TRUE(peer.send("ab"));
  ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
  char four[4];
  aErr err = aErrNone;
  for (int i = 0; i < 100 && (err = aStream_Read(stream, four, 4)) == aErrNotReady; ++i) {
    if (i == 0) {
      ASSERT_TRUE(peer.send("cd"));
    }
    aStream_WaitReadable(stream, 50);
  }
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(std::string(four, 4), "abcd");

  // More than one buffer's worth, then the close: all of it, then the end.
  const std::string tail = block(9000);
  ASSERT_TRUE(peer.send(tail));
  peer.closeWithFin();
  aErr last = aErrNone;
  EXPECT_TRUE(readBytes(stream, tail.size() + 1, 5000, &last) == tail);
  EXPECT_EQ(last, aErrConnection);
}

TEST_F(SocketStream, ResetSeenByTheReaderReconnects) {
  testsupport::TcpPeer peer;
  connect(peer);
  peer.closeWithReset();
  ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  ASSERT_TRUE(peer.accept(2000));
  EXPECT_EQ(peer.acceptedCount(), 2);
  ASSERT_TRUE(peer.send("again"));
  EXPECT_EQ(readBytes(stream, 5, 2000), "again");
}

TEST_F(SocketStream, BlockCutByAResetArrivesWholeOnTheNewConnection) {
  // Bigger than what the sender's buffer and the stalled peer's window take,
  // so the write is caught half done when the reset comes.
  testsupport::TcpPeer peer(4096);
  connect(peer);
  const std::string data = block(8 << 20);
  aErr written = aErrUnknown;
  std::thread writer([&] { written = aStream_Write(stream, data.data(), data.size()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  peer.closeWithReset();
  bool second = peer.accept(3000);
  std::string got = second ? peer.receive(data.size(), 20000) : std::string();
  writer.join();
  ASSERT_TRUE(second);
  EXPECT_EQ(written, aErrNone);
  EXPECT_EQ(peer.acceptedCount(), 2);
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "the block must start over from its first byte";
}

TEST_F(SocketStream, PeerThatStopsReadingGivesBusyAfterTheRetries) {
  testsupport::TcpPeer peer(4096);
  connect(peer);
  const std::string data = block(8 << 20);
  auto start = clock_type::now();
  EXPECT_EQ(aStream_Write(stream, data.data(), data.size()), aErrBusy);
  double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  EXPECT_GE(seconds, 0.4);
  EXPECT_LE(seconds, 2.0);
}

TEST_F(SocketStream, WriteOfTwoGigabytesOrMoreIsRefused) {
  testsupport::TcpPeer peer;
  connect(peer);
  char byte = 0;
  // Refused before a byte is touched.
  EXPECT_EQ(aStream_Write(stream, &byte, size_t{1} << 31), aErrParam);
  EXPECT_EQ(aStream_Write(stream, "ok", 2), aErrNone);
  EXPECT_EQ(peer.receive(2, 2000), "ok");
}

// Reader and writer threads as a link runs them, with a reset in between:
// one reconnection, packets whole on the new connection, no race.
TEST_F(SocketStream, ReaderAndWriterThreadsAcrossAReset) {
  testsupport::TcpPeer peer;
  connect(peer);
  std::atomic<bool> running{true};
  std::string received;
  std::thread reader([&] {
    while (running) {
      uint8_t byte;
      aErr err = aStream_Read(stream, &byte, 1);
      if (err == aErrNone) {
        received.push_back(static_cast<char>(byte));
      } else if (err == aErrNotReady) {
        aStream_WaitReadable(stream, 20);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  });
  std::atomic<int> packets{0};
  std::thread writer([&] {
    while (running) {
      // Packet-sized blocks: a 5-byte record that must arrive whole.
      char packet[6];
      snprintf(packet, sizeof packet, "P%04u", static_cast<unsigned>(packets.load()) % 10000u);
      if (aStream_Write(stream, packet, 5) == aErrNone) {
        ++packets;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  peer.closeWithReset();
  bool second = peer.accept(3000);
  std::string after;
  if (second) {
    peer.send("after");
    after = peer.receive(200, 3000);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  running = false;
  reader.join();
  writer.join();

  ASSERT_TRUE(second);
  EXPECT_FALSE(peer.accept(200)) << "reader and writer must not both reconnect";
  EXPECT_EQ(peer.acceptedCount(), 2);
  EXPECT_NE(received.find("after"), std::string::npos);
  ASSERT_GE(after.size(), 5u);
  for (size_t i = 0; i + 5 <= after.size(); i += 5) {
    EXPECT_EQ(after[i], 'P') << "packet cut at " << i << ": " << after;
  }
}

}  // namespace
