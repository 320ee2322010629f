#ifndef TESTS_SIM_HOSTILECLIENT_HOSTILEMODES_H
#define TESTS_SIM_HOSTILECLIENT_HOSTILEMODES_H

// The trials of sim-hostile-client that time connections against each
// other, so that the server's descriptor numbers come back for new
// connections while it still handles the old ones.

#include <cstddef>
#include <cstdint>

namespace hostile {

// Per trial: client A sends `left` echo requests and closes at once; client
// B connects straight after, subscribes to the module's stream ([93, 0x81,
// 0x20, address, 0xFF, 0xFF, 0xFF]) and sends one echo. B must get the
// subscription's acknowledgement, its echo and stream data within 3 s, and
// never one of A's answers. Prints "served N", "no-ack N", "no-answer N",
// "no-stream N", "misrouted N".
int runDepart(uint16_t port, size_t trials, size_t left, uint8_t address);

// Fills the server to its connection limit (until a connection goes
// unanswered), prints "limit N", then per trial: a connection beyond the
// limit that leaves as soon as the server has accepted it, the newest
// holder leaving, and a new connection, which the server must serve since
// a place was free when it came (both departures were seen closed by the
// server first). Prints "unserved N" (new connections not answered) and
// "dead N" (connections no longer answered at the end).
int runRefusals(uint16_t port, size_t trials, uint8_t address);

}  // namespace hostile

#endif
