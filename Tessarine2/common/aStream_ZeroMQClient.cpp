// The network client stream. Three threads use it, each with sockets of its
// own: the link's reader (incoming bound side, through the get and wait
// functions), the link's writer (outgoing bound side, through the write
// function) and the client broker (the server socket and both connected
// sides), which moves frames between the server and the two in-process
// pairs.
//
//   writer --> outgoing bound ==inproc==> outgoing connected --> broker --> server
//   reader <-- incoming bound <==inproc== incoming connected <-- broker <-- server
//
// The pairs are in-process: a hand-off between two threads of this process
// needs no trip through the loopback interface.

#include "Tessarine2/common/aStream_ZeroMQClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>

#include <cstdio>
#include <new>

#include "Tessarine2/common/aDebug.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/common/zJoinableActor.h"
#include "Tessarine2/common/zInprocEndpoint.h"
#include "Tessarine2/common/zSignals.h"

namespace {

// A frame that cannot be handed on inside the client is tried this many
// times, this far apart, then dropped.
constexpr int kSendAttempts = 100;
constexpr uint64_t kSendRetryPauseMS = 1;
// The broker's longest sleep.
constexpr int kBrokerWaitMS = 1000;
// "tcp://255.255.255.255:65535" and its NUL.
constexpr size_t kServerEndpointSize = 36;

struct ZeroMQClientStream {
  zsock_t* server = nullptr;
  zsock_t* outgoingBound = nullptr;
  zsock_t* outgoingConnected = nullptr;
  zsock_t* incomingBound = nullptr;
  zsock_t* incomingConnected = nullptr;
  zJoinableActor* broker = nullptr;
  zpoller_t* poller = nullptr;  // over the incoming bound side
  // The reader's frame, delivered byte by byte.
  zframe_t* current = nullptr;
  uint64_t offset = 0;
  uint64_t size = 0;
};

bool _aVALIDStream(const ZeroMQClientStream* record) { return record != nullptr && record->server != nullptr; }

// Sends without waiting, retrying while the pair cannot take it.
bool sSendRetrying(zsock_t* socket, zframe_t** frame, const char* failureTrace) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    const int rc = zframe_send(frame, socket, ZFRAME_DONTWAIT);
    if (rc == 0) {
      return true;
    }
    aTessarine_Trace(aDEBUG_CLIENT, failureTrace, rc);
    aTime_MSSleep(kSendRetryPauseMS);
  }
  zframe_destroy(frame);
  return false;
}

void _broker_task(zsock_t* pipe, void* argument) {
  ZeroMQClientStream* record = static_cast<ZeroMQClientStream*>(argument);
  zpoller_t* poller = zpoller_new(pipe, record->server, record->outgoingConnected, nullptr);
  zsock_signal(pipe, 0);
  while (poller != nullptr) {
    // A signal that interrupts the wait does not end the broker.
    void* which = zJoinableActor_Wait(poller, kBrokerWaitMS);
    if (which == record->server) {
      zframe_t* frame = zframe_recv(record->server);
      if (frame != nullptr) {
        sSendRetrying(record->incomingConnected, &frame, "Client send error Frontend->incomming: %d\n");
      }
    } else if (which == record->outgoingConnected) {
      zframe_t* frame = zframe_recv(record->outgoingConnected);
      const int rc = frame != nullptr ? zframe_send(&frame, record->server, ZFRAME_DONTWAIT) : 0;
      if (rc != 0) {
        // Lost; the requester's wait for a reply times out.
        aTessarine_Trace(aDEBUG_CLIENT, "Client send error Frontend->client: %d\n", rc);
        zframe_destroy(&frame);
      }
    } else if (which == pipe || zpoller_terminated(poller)) {
      break;
    }
  }
  zpoller_destroy(&poller);
  aTessarine_Trace(aDEBUG_CLIENT, "Client task exit\n");
}

void sDestroyRecord(ZeroMQClientStream* record) {
  zJoinableActor_Destroy(&record->broker);
  zpoller_destroy(&record->poller);
  zsock_destroy(&record->server);
  zsock_destroy(&record->incomingBound);
  zsock_destroy(&record->outgoingBound);
  zsock_destroy(&record->incomingConnected);
  zsock_destroy(&record->outgoingConnected);
  zframe_destroy(&record->current);
  delete record;
}

aErr _sZeroMQStreamGet(uint8_t* byte, void* reference) {
  ZeroMQClientStream* record = static_cast<ZeroMQClientStream*>(reference);
  if (!_aVALIDStream(record)) {
    return aErrParam;
  }
  if (record->current == nullptr) {
    zframe_t* frame = zframe_recv_nowait(record->incomingBound);
    if (frame == nullptr) {
      return zmq_errno() == EAGAIN ? aErrNotReady : aErrIO;
    }
    if (zframe_size(frame) == 0) {
      zframe_destroy(&frame);
      return aErrIndexRange;
    }
    record->current = frame;
    record->offset = 0;
    record->size = zframe_size(frame);
  }
  *byte = zframe_data(record->current)[record->offset++];
  if (record->offset >= record->size) {
    zframe_destroy(&record->current);
    record->offset = 0;
    record->size = 0;
  }
  return aErrNone;
}

aErr _sZeroMQStreamWait(uint32_t timeoutMS, void* reference) {
  ZeroMQClientStream* record = static_cast<ZeroMQClientStream*>(reference);
  if (!_aVALIDStream(record) || record->current != nullptr) {
    return aErrNone;
  }
  void* which = zpoller_wait(record->poller, static_cast<int>(timeoutMS));
  if (which == nullptr && zpoller_expired(record->poller)) {
    return aErrTimeout;
  }
  // A frame, or an interrupted poller: the read tells which.
  return aErrNone;
}

aErr _sZeroMQStreamPut(uint8_t, void*) { return aErrUnimplemented; }

aErr _sZeroMQStreamWrite(const uint8_t* data, size_t length, void* reference) {
  ZeroMQClientStream* record = static_cast<ZeroMQClientStream*>(reference);
  if (!_aVALIDStream(record)) {
    return aErrParam;
  }
  zframe_t* frame = zframe_new(data, length);
  if (frame == nullptr) {
    return aErrMemory;
  }
  return sSendRetrying(record->outgoingBound, &frame, "--Client send error outgoing->frontend: %d\n") ? aErrNone
                                                                                                   : aErrWrite;
}

aErr _sZeroMQStreamDelete(void* reference) {
  aTessarine_Trace(aDEBUG_CLIENT, "Client delete: start\n");
  ZeroMQClientStream* record = static_cast<ZeroMQClientStream*>(reference);
  if (!_aVALIDStream(record)) {
    return aErrIO;
  }
  sDestroyRecord(record);
  aTessarine_Trace(aDEBUG_CLIENT, "Client delete: end\n");
  return aErrNone;
}

// A bound side under a name of its own and its connected partner.
aErr sMakePair(zsock_t** bound, zsock_t** connected, const char* name) {
  *bound = zsock_new(ZMQ_DEALER);
  *connected = zsock_new(ZMQ_DEALER);
  if (*bound == nullptr || *connected == nullptr) {
    return aErrMemory;
  }
  char endpoint[64];
  char kind[32];
  snprintf(kind, sizeof kind, "client-%s", name);
  zInproc_UniqueEndpoint(endpoint, sizeof endpoint, kind);
  if (zsock_bind(*bound, "%s", endpoint) != 0) {
    return aErrConnection;
  }
  if (zsock_connect(*connected, "%s", endpoint) != 0) {
    aTessarine_Trace(aDEBUG_CLIENT, "client: %s connecting fail\n", name);
    return aErrConnection;
  }
  aTessarine_Trace(aDEBUG_CLIENT, "%s connected to %s\n", name, endpoint);
  return aErrNone;
}

aErr sConnectServer(ZeroMQClientStream* record, uint32_t address, uint16_t port) {
  record->server = zsock_new(ZMQ_DEALER);
  if (record->server == nullptr) {
    return aErrMemory;
  }
  char dotted[INET_ADDRSTRLEN];
  in_addr in{};
  in.s_addr = address;
  if (inet_ntop(AF_INET, &in, dotted, sizeof dotted) == nullptr) {
    return aErrConnection;
  }
  aTessarine_Trace(aDEBUG_CLIENT, "aStream_CreateClient address: %s\n", dotted);
  char endpoint[kServerEndpointSize];
  snprintf(endpoint, sizeof endpoint, "tcp://%s:%d", dotted, static_cast<int>(port));
  const int rc = zsock_connect(record->server, "%s", endpoint);
  if (rc != 0) {
    aTessarine_Trace(aDEBUG_CLIENT, "Error connecting to socket: %d(rc)\n", rc);
    return aErrConnection;
  }
  aTessarine_Trace(aDEBUG_CLIENT, "Client connected to port: %d - rc: %d\n", static_cast<int>(port), rc);
  return aErrNone;
}

aErr sBuild(ZeroMQClientStream* record, uint32_t address, uint16_t port) {
  aErr err = sMakePair(&record->outgoingBound, &record->outgoingConnected, "outgoing");
  if (err == aErrNone) {
    err = sMakePair(&record->incomingBound, &record->incomingConnected, "incoming");
  }
  if (err == aErrNone) {
    err = sConnectServer(record, address, port);
  }
  if (err == aErrNone) {
    record->poller = zpoller_new(record->incomingBound, nullptr);
    if (record->poller == nullptr) {
      err = aErrMemory;
    }
  }
  if (err == aErrNone) {
    record->broker = zJoinableActor_New(_broker_task, record);
    if (record->broker == nullptr) {
      err = aErrResource;
    }
  }
  return err;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** result) {
  if (result == nullptr) {
    return aErrParam;
  }
  *result = nullptr;
  zSignals_LeaveToHost();
  ZeroMQClientStream* record = new (std::nothrow) ZeroMQClientStream();
  if (record == nullptr) {
    return aErrMemory;
  }
  aErr err = sBuild(record, address, port);
  if (err != aErrNone) {
    sDestroyRecord(record);
    return err;
  }
  aStream* stream =
      aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite, _sZeroMQStreamDelete, record);
  if (stream == nullptr) {
    sDestroyRecord(record);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, _sZeroMQStreamWait);
  *result = stream;
  return aErrNone;
}
