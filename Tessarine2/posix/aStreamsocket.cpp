// TCP socket stream. The reader thread reads it byte by byte and the writer
// thread writes whole blocks; either may find the connection reset and
// reconnect in place.
//
// The descriptor number is fixed from the first connection to the delete:
// a reconnection swaps the socket behind it (dup3), so a wait polling the
// number without the lock never meets a number that was closed and handed to
// someone else. Every other use of the descriptor, and every change of the
// connection, happens under the record's mutex; the generation counts the
// connections, so a writer can tell that its block went out on a
// connection that is gone.

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>

#include "Tessarine2/common/aStream.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/posix/unix_streampoll.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kSocketFlagConnected = 0x1;
// Pause after closing a connection, before the next one is made.
constexpr uint64_t kCloseSettleMS = 10;
// The send length is handed on as a 32-bit signed count.
constexpr size_t kMaxWriteLength = 0x7FFFFFFF;

struct SocketStream {
  uint16_t port = 0;  // host order
  sockaddr_in address{};
  int descriptor = -1;
  uint32_t flags = 0;
  uint16_t check = 0;
  std::mutex guard;
  uint64_t generation = 0;
};

bool aVALIDSOCKET(const SocketStream* record) { return record != nullptr && record->check == kSocketCheck; }

bool sIsConnected(const SocketStream* record) { return (record->flags & kSocketFlagConnected) != 0; }

bool sIsLostConnection(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

aErr sApplyOptions(int descriptor) {
  int on = 1;
  if (setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return aErrIO;
  }
  timeval none{};
  if (setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) != 0) {
    return aErrIO;
  }
  // Closing resets the connection instead of lingering over unsent bytes.
  linger reset{};
  reset.l_onoff = 1;
  reset.l_linger = 0;
  if (setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0) {
    return aErrIO;
  }
  int nonBlocking = 1;
  if (ioctl(descriptor, FIONBIO, &nonBlocking) != 0) {
    return aErrIO;
  }
  return aErrNone;
}

aErr sConnectError(int error) {
  if (error == ECONNREFUSED || error == ECONNRESET || error == ETIMEDOUT || error == EAGAIN ||
      error == EWOULDBLOCK || error == EINPROGRESS) {
    return aErrConnection;
  }
  return aErrIO;
}

// Connects a fresh socket in the record's descriptor. Called with the guard
// held (or before the record is shared). The old connection, if any, is
// closed first (reset, by the linger option) and given time to go.
aErr sReset(SocketStream* record) {
  if (!aVALIDSOCKET(record)) {
    return aErrInitialization;
  }
  record->flags &= ~kSocketFlagConnected;
  ++record->generation;
  int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (record->descriptor >= 0) {
    if (fresh < 0) {
      // No socket to put in its place: end the connection, keep the number.
      shutdown(record->descriptor, SHUT_RDWR);
      return aErrIO;
    }
    if (dup3(fresh, record->descriptor, O_CLOEXEC) < 0) {
      close(fresh);
      shutdown(record->descriptor, SHUT_RDWR);
      return aErrIO;
    }
    close(fresh);
    aTime_MSSleep(kCloseSettleMS);
  } else {
    if (fresh < 0) {
      return aErrIO;
    }
    record->descriptor = fresh;
  }
  int result;
  do {
    result = connect(record->descriptor, reinterpret_cast<const sockaddr*>(&record->address), sizeof record->address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    aErr err = sConnectError(errno);
    // The failed socket stays behind the number; it carries no connection.
    aTime_MSSleep(kCloseSettleMS);
    return err;
  }
  aErr err = sApplyOptions(record->descriptor);
  if (err != aErrNone) {
    // Without its options (non-blocking above all) the connection is not
    // usable: a read could block the reader for good.
    shutdown(record->descriptor, SHUT_RDWR);
    return err;
  }
  record->flags |= kSocketFlagConnected;
  return aErrNone;
}

aErr sSocketGet(uint8_t* byte, void* reference) {
  SocketStream* record = static_cast<SocketStream*>(reference);
  if (!aVALIDSOCKET(record)) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(record->guard);
  if (!sIsConnected(record)) {
    return aErrConnection;
  }
  ssize_t got = recv(record->descriptor, byte, 1, MSG_DONTWAIT);
  if (got < 0 && sIsLostConnection(errno)) {
    aErr err = sReset(record);
    if (err != aErrNone) {
      return err;
    }
    got = recv(record->descriptor, byte, 1, MSG_DONTWAIT);
    if (got < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK || sIsLostConnection(errno) ? aErrNotReady : aErrIO;
    }
  }
  if (got == 1) {
    return aErrNone;
  }
  if (got == 0) {
    // The peer closed its side in order: this connection is over and no
    // byte will come. Reported once here and on every later call.
    record->flags &= ~kSocketFlagConnected;
    shutdown(record->descriptor, SHUT_RDWR);
    return aErrConnection;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return aErrNotReady;
  }
  return aErrConnection;
}

aErr sSocketWrite(const uint8_t* data, size_t length, void* reference) {
  SocketStream* record = static_cast<SocketStream*>(reference);
  if (!aVALIDSOCKET(record) || data == nullptr) {
    return aErrParam;
  }
  if (length > kMaxWriteLength) {
    return aErrParam;
  }
  size_t sent = 0;
  int tries = 0;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> hold(record->guard);
    if (!sIsConnected(record)) {
      return aErrConnection;
    }
    generation = record->generation;
  }
  while (sent < length) {
    bool wouldBlock = false;
    {
      std::lock_guard<std::mutex> hold(record->guard);
      if (!sIsConnected(record)) {
        return aErrConnection;
      }
      if (record->generation != generation) {
        // Reconnected by the reader: the part already sent went to a
        // connection that is gone, so the block starts over.
        generation = record->generation;
        sent = 0;
      }
      ssize_t n = send(record->descriptor, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        sent += static_cast<size_t>(n);
        if (sent < length) {
          tries = 1;
        }
      } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        ++tries;
        wouldBlock = true;
      } else if (sIsLostConnection(errno)) {
        aErr err = sReset(record);
        if (err != aErrNone) {
          return err;
        }
        generation = record->generation;
        sent = 0;
        ++tries;
      } else {
        return aErrIO;
      }
    }
    if (sent == length) {
      break;
    }
    if (tries >= aSOCKET_MAX_SEND_RETRY) {
      return aErrBusy;
    }
    if (wouldBlock) {
      // Up to the retry delay, ending as soon as the socket takes more. The
      // number stays valid without the guard (see the top of the file).
      pollfd entry{};
      entry.fd = record->descriptor;
      entry.events = POLLOUT;
      poll(&entry, 1, static_cast<int>(aSOCKET_RETRY_DELAY_MS));
    }
  }
  return aErrNone;
}

aErr sSocketPut(uint8_t byte, void* reference) { return sSocketWrite(&byte, 1, reference); }

aErr sSocketWait(uint32_t timeoutMS, void* reference) {
  SocketStream* record = static_cast<SocketStream*>(reference);
  if (!aVALIDSOCKET(record)) {
    return aErrParam;
  }
  {
    std::lock_guard<std::mutex> hold(record->guard);
    if (!sIsConnected(record)) {
      return aErrNone;
    }
  }
  return aStream_PollDescriptor(record->descriptor, timeoutMS);
}

aErr sSocketDelete(void* reference) {
  SocketStream* record = static_cast<SocketStream*>(reference);
  if (!aVALIDSOCKET(record)) {
    return aErrIO;
  }
  if (record->descriptor >= 0) {
    record->flags &= ~kSocketFlagConnected;
    close(record->descriptor);
    record->descriptor = -1;
    aTime_MSSleep(kCloseSettleMS);
  }
  record->check = 0;
  delete record;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** result) {
  if (result == nullptr) {
    return aErrResource;
  }
  *result = nullptr;
  SocketStream* record = new (std::nothrow) SocketStream();
  if (record == nullptr) {
    return aErrResource;
  }
  record->port = port;
  record->address.sin_family = AF_INET;
  record->address.sin_port = htons(port);
  record->address.sin_addr.s_addr = address;
  record->check = kSocketCheck;
  if (sReset(record) != aErrNone) {
    sSocketDelete(record);
    return aErrResource;
  }
  aStream* stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, record);
  if (stream == nullptr) {
    sSocketDelete(record);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, sSocketWait);
  *result = stream;
  return aErrNone;
}
