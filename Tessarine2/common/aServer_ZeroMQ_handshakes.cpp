// The frontend's handshake handler. libzmq asks it about every peer that
// has sent its greeting and READY (ZAP, RFC 27) and lets the peer in only
// on its answer; the answer's user id then rides on every message the
// connection delivers (the "User-Id" property). The handler lets every peer
// in and gives it as user id the number of the latest connection accepted
// so far.
//
// That number tells the broker which connection a message came on. The
// asking connection was accepted before it could ask, so its accept event
// was sent before the request; the handler reads the pending events first,
// so the connection's number is at most the one it gives. The connection
// open on the message's descriptor with a number no greater is then the
// message's own: another connection that had that descriptor number and
// was accepted by then would have had to close before the answer was
// given, and a connection closed before its answer delivers nothing.
//
// Request: [version "1.0"][request id][domain][address][routing id]
// [mechanism][credentials...]. Answer: [version][request id][status code]
// [status text][user id][metadata].

#include <zmq.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "Tessarine2/common/aServer_ZeroMQInternal.h"

namespace zmqserver {

namespace {

constexpr char kVersion[] = "1.0";
constexpr size_t kRequestIdFrame = 1;
constexpr size_t kLongestNumber = 20;  // digits of a 64-bit number

bool sSend(void* socket, const void* bytes, size_t size, bool more) {
  return zmq_send(socket, bytes, size, more ? ZMQ_SNDMORE : 0) == static_cast<int>(size);
}

}  // namespace

void _serverWorker_broker_handshakes(aServer* server, ClientTable* clients, std::vector<GoneClient>* gone) {
  std::string requestId;
  bool received = false;
  bool more = true;
  for (size_t index = 0; more; ++index) {
    zmq_msg_t part;
    zmq_msg_init(&part);
    if (zmq_msg_recv(&part, server->handshakes, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&part);
      break;
    }
    received = true;
    more = zmq_msg_more(&part) != 0;
    if (index == kRequestIdFrame) {
      requestId.assign(static_cast<const char*>(zmq_msg_data(&part)), zmq_msg_size(&part));
    }
    zmq_msg_close(&part);
  }
  if (!received) {
    return;
  }
  // The asking connection's accept, and any that came before it.
  _serverWorker_broker_connections(server, clients, gone);
  const std::string number = std::to_string(clients->lastConnection());
  aTessarine_Trace(aDEBUG_SERVER, "Handshake: connections up to %s\n", number.c_str());
  if (!sSend(server->handshakes, kVersion, strlen(kVersion), true) ||
      !sSend(server->handshakes, requestId.data(), requestId.size(), true) ||
      !sSend(server->handshakes, "200", 3, true) || !sSend(server->handshakes, "OK", 2, true) ||
      !sSend(server->handshakes, number.data(), number.size(), true) || !sSend(server->handshakes, "", 0, false)) {
    // The peer's handshake then runs out of time.
    aTessarine_Trace(aDEBUG_SERVER, "Handshake answer failed\n");
  }
}

bool _handshakeNumber(const char* userId, uint64_t* number) {
  if (userId == nullptr) {
    return false;
  }
  const size_t length = strlen(userId);
  if (length == 0 || length > kLongestNumber || strspn(userId, "0123456789") != length) {
    return false;
  }
  char* end = nullptr;
  *number = strtoull(userId, &end, 10);
  return end == userId + length;
}

}  // namespace zmqserver
