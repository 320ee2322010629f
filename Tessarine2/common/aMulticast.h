#ifndef TESSARINE2_COMMON_AMULTICAST_H
#define TESSARINE2_COMMON_AMULTICAST_H

#include <cstddef>
#include <cstdint>

// A UDP socket on one IPv4 multicast group and port, bound to one interface
// for joining and sending. Used by local multicast discovery and by the
// servers' multicast responder.
//
// A receiver binds any local address with the port and turns address reuse
// off, so a second receiver on the same port cannot be made: that failure is
// how a client sees that a server holds a port. A sender binds nothing and
// sends to the group and port. Both join the group on the interface, send
// through it with time-to-live 1 and multicast loopback on, and give up a
// receive after 1 s.
struct aMulticast;

constexpr uint8_t aMULTICAST_RECEIVER = 0;
constexpr uint8_t aMULTICAST_SENDER = 1;

// Results of Send and Receive besides a byte count.
constexpr int64_t aMULTICAST_FAILED = -1;      // the socket call failed or timed out
constexpr int64_t aMULTICAST_NO_RECORD = -2;   // NULL record
constexpr int64_t aMULTICAST_WRONG_MODE = -3;  // a send on a receiver or a receive on a sender

// interface and group are IPv4 addresses in network order; an interface of
// 0 or 127.0.0.1 means the loopback interface. NULL for any other mode than
// aMULTICAST_RECEIVER or aMULTICAST_SENDER and when any step fails.
aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port, uint8_t mode);

// One datagram to the group and port: the bytes sent.
int64_t aMulticast_Send(aMulticast* multicast, const void* data, size_t length);

// One datagram, at most size bytes of it (a longer one is cut): the bytes
// received; aMULTICAST_FAILED also when nothing came within 1 s.
int64_t aMulticast_Receive(aMulticast* multicast, void* buffer, size_t size);

// Closes the socket, frees the record and clears the caller's pointer: 0;
// aMULTICAST_NO_RECORD when there is no record.
int64_t aMulticast_Destroy(aMulticast** multicast);

#endif
