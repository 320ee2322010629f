#ifndef TESSARINE2_COMMON_ASERVER_ZEROMQ_H
#define TESSARINE2_COMMON_ASERVER_ZEROMQ_H

#include <cstdint>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aLink.h"

// The module-sharing server: shares the module of one USB link with any
// number of network clients. It moves packets between that link's FIFOs and
// a ZeroMQ ROUTER socket (the frontend), on which every client message and
// every reply is one module packet in wire form ([address][length][data]).
// Requests go to the module one at a time and the module's replies go back
// to the client that asked; streamed values go in batches to the clients
// that subscribed; discovery requests are answered with the server's
// network record once the module's model is known.
//
// Anyone on the served network can connect, so what one client can cost
// the others is bounded: connections (well below the descriptor limit),
// outstanding requests per client and in all (a request beyond them gets
// no answer, like one the module does not answer), the time a request may
// wait for its turn, and which peers are served at all (those that
// complete ZeroMQ's current handshake). Clients take turns at the module,
// and the requests of a client that has gone are dropped.
//
// The server belongs to the link it serves: aLink_CreateServer attaches it,
// and the link's last release destroys it. Only the thread that created a
// server starts and destroys it.
struct aServer;

// A server on the link (not started); interface 0 means 127.0.0.1 (network
// order). NULL when the link is not in the link table or memory runs out.
aServer* aServer_Create(linkID link, uint32_t networkInterface, bool localOnly);

// Binds the frontend and the internal socket pairs, starts discovery, the
// broker and the sync-command threads and takes the link's incoming stream
// packets. aErrParam for NULL; aErrResource when something cannot be set up
// (what was made stays for aServer_Destroy).
aErr aServer_Start(aServer* server);

// Stops the threads, closes the sockets, frees the server and clears the
// caller's pointer. aErrParam for NULL.
aErr aServer_Destroy(aServer** server);

// The frontend's TCP port.
aErr aServer_GetPort(aServer* server, uint16_t* port);
// The interface served on (network order); chosen at start when the server
// was made for 0 or 127.0.0.1 and is not local only.
aErr aServer_GetInterface(aServer* server, uint32_t* networkInterface);

aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
// A model other than 0 lets the server answer discovery.
aErr aServer_SetModel(aServer* server, uint8_t model);

// Drops every client request that still waits for its reply: replies that
// arrive later are not routed to anyone.
aErr aServer_FlushFIFO(aServer* server);

#endif
