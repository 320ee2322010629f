#ifndef TESSARINE2_COMMON_ALOOPBACKDATAGRAM_H
#define TESSARINE2_COMMON_ALOOPBACKDATAGRAM_H

#include <cstddef>
#include <cstdint>

// One UDP datagram to 127.0.0.1 and the port (host order), from a socket
// made for it and closed again. Wakes a local receiver that blocks on that
// port. false when it could not be sent.
bool aLoopbackDatagram_Send(uint16_t port, const void* data, size_t length);

#endif
