#ifndef TESTS_SIM_HOSTILECLIENT_ZMTPWIRE_H
#define TESTS_SIM_HOSTILECLIENT_ZMTPWIRE_H

// The client side of ZeroMQ's wire protocol (ZMTP 3.0, NULL mechanism, as a
// DEALER), written from the protocol rather than with libzmq, for clients
// that break its rules or time their steps to the microsecond:
//
//   greeting   64 bytes: 0xFF, 8 padding, 0x7F, version 3.0, "NULL" padded
//              to 20, as-server 0, 31 filler
//   READY      command frame [0x04][size][5 "READY"][name length][name]
//              [value length, 4 bytes big-endian][value]...
//   frame      [flags][size][body]; flags bit 0 more, bit 1 long (size in 8
//              bytes big-endian instead of 1), bit 2 command

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace hostile {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// A TCP connection to 127.0.0.1:port; -1 when it cannot be made.
int connectTo(uint16_t port);
// Closes with a reset instead of an orderly close (SO_LINGER 0), so that the
// far side sees the end at once and keeps no time-wait state.
void closeWithReset(int fd);
// Ends our sending side and waits until the far side has closed too; false
// at the deadline.
bool closeAndAwaitPeer(int fd, Clock::time_point deadline);
// Whether the far side has closed the connection: end of stream or an error
// on reading (what it sent meanwhile is read and dropped).
bool closedByServer(int fd, int timeoutMS);

Bytes greeting();
Bytes readyCommand();
// One final (not more) message frame carrying body.
Bytes messageFrame(const Bytes& body);
// A packet's wire form: address, length, data.
Bytes packet(uint8_t address, const Bytes& data);

// Sends all bytes, waiting while the far side takes none, until the deadline.
bool sendUntil(int fd, const Bytes& bytes, Clock::time_point deadline);
// Reads exactly count bytes before the deadline.
bool receiveBytes(int fd, size_t count, Clock::time_point deadline, Bytes* into = nullptr);

// Greeting for greeting, then READY for READY, as libzmq's own peers take
// the handshake.
bool handshake(int fd, Clock::time_point deadline);

// The body of the next message frame; command frames (the peer's pings) are
// skipped. Nothing at the deadline or when the connection ends.
std::optional<Bytes> receiveMessage(int fd, Clock::time_point deadline);

}  // namespace hostile

#endif
