#ifndef TESSARINE2_COMMON_ASTREAM_ZEROMQCLIENT_H
#define TESSARINE2_COMMON_ASTREAM_ZEROMQCLIENT_H

#include <cstdint>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aStream.h"

// A network client stream: the bytes of a link to a module-sharing server.
// Each block written (one packet in wire form, as the link's writer writes
// it) goes to the server as one ZeroMQ frame; each frame from the server
// (one reply packet or one stream batch) is read back byte by byte. There is
// no handshake: the first frame is already a module packet.
//
// Reads answer at once (aErrNotReady when no byte is there); the stream's
// wait function blocks until a frame arrives. Single bytes cannot be put:
// aStream_Write of one byte gives aErrUnimplemented.
//
// address: the server's IPv4 address in network order; port in host order.
// Connecting does not wait for the server, so an unreachable server shows
// up only as missing replies. aErrParam for a NULL result; aErrMemory when
// a socket or the poller cannot be made; aErrConnection when a connect
// fails; aErrResource when the aStream cannot be made. On error the result
// is NULL and nothing is left behind.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** result);

#endif
