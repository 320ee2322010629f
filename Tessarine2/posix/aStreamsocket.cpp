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
//
// A connection gets a bounded time to come up, and a reconnection waits for
// it without the mutex: the other side meanwhile sees "not ready" (the
// reader) or "busy, try again" (the writer) instead of hanging behind it.
//
// A lost connection is looked for again in place: at once when the peer
// resets it (it may still be there) or a write finds the pipe broken, and
// from the reading side once every aSOCKET_RECONNECT_PAUSE_MS while there
// is none: after the peer closed its end (a module that restarts or whose
// process ended), or after a reconnection that failed. Meanwhile reads and
// writes answer aErrConnection, so a link shows its module gone; a module
// that is back is reached again without a reset, and a far end that stays
// away costs one connection attempt per pause.
//
// Reads take one byte at a time; each receive fetches what the kernel holds
// into a buffer that belongs to the reading side, so the link's reader
// makes one system call per burst rather than one per byte.

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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
// Longest wait for a connection to come up is aSOCKET_CONNECT_TIMEOUT_MS:
// the time a USB read waits for data, so a link's reader (and a stop
// waiting for it) is held no longer on TCP than on USB. Unanswered
// connection requests would otherwise hold it for the kernel's whole retry
// schedule (over two minutes).
constexpr int64_t kConnectTimeoutMS = aSOCKET_CONNECT_TIMEOUT_MS;
constexpr int64_t kReconnectPauseMS = aSOCKET_RECONNECT_PAUSE_MS;
// Bytes one receive may fetch for later reads.
constexpr size_t kReceiveBufferSize = 4096;

struct SocketStream {
  uint16_t port = 0;  // host order
  sockaddr_in address{};
  int descriptor = -1;
  uint32_t flags = 0;
  uint16_t check = 0;
  std::mutex guard;
  uint64_t generation = 0;
  // A reconnection is waiting for its connection, without the guard.
  bool reconnecting = false;
  // While unconnected: when the connection was lost or the last attempt to
  // make one failed (sNowMS).
  int64_t lostAtMS = 0;
  // Reading side only: received bytes not yet taken, [next, end).
  size_t next = 0;
  size_t end = 0;
  uint8_t received[kReceiveBufferSize];
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

int64_t sNowMS() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Connects a non-blocking socket to the address within kConnectTimeoutMS,
// then applies the stream's options. A connection that is not up by then
// counts as timed out (aErrConnection).
aErr sConnectWithin(int descriptor, const sockaddr_in& address) {
  if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // Interrupted, a non-blocking connect goes on by itself.
    if (errno != EINPROGRESS && errno != EINTR) {
      return sConnectError(errno);
    }
    const int64_t deadline = sNowMS() + kConnectTimeoutMS;
    for (;;) {
      const int64_t left = deadline - sNowMS();
      if (left <= 0) {
        return aErrConnection;
      }
      pollfd entry{};
      entry.fd = descriptor;
      entry.events = POLLOUT;
      const int ready = poll(&entry, 1, static_cast<int>(left));
      if (ready > 0) {
        break;
      }
      if (ready < 0 && errno != EINTR) {
        return aErrIO;
      }
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      return aErrIO;
    }
    if (error != 0) {
      return sConnectError(error);
    }
  }
  // Without its options (non-blocking above all) the connection is not
  // usable: a read could block the reader for good.
  return sApplyOptions(descriptor);
}

// The first connection, before the record is shared.
aErr sConnectFirst(SocketStream* record) {
  int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fresh < 0) {
    return aErrIO;
  }
  record->descriptor = fresh;
  aErr err = sConnectWithin(fresh, record->address);
  if (err != aErrNone) {
    return err;
  }
  record->flags |= kSocketFlagConnected;
  return aErrNone;
}

// Replaces the connection that was found lost while `seen` was the
// generation. The old connection is ended (reset, by the linger option) and
// a fresh socket takes its number under the guard; the connect waits
// without it. 0 with a new connection, also when another caller made one
// since `seen`; aErrNotReady while another caller is making one; else the
// reason no connection could be made, after which the stream stays
// unconnected until the reading side tries again.
aErr sReconnect(SocketStream* record, uint64_t seen) {
  {
    std::lock_guard<std::mutex> hold(record->guard);
    if (record->reconnecting) {
      return aErrNotReady;
    }
    if (record->generation != seen) {
      return sIsConnected(record) ? aErrNone : aErrConnection;
    }
    record->flags &= ~kSocketFlagConnected;
    ++record->generation;
    int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fresh < 0 || dup3(fresh, record->descriptor, O_CLOEXEC) < 0) {
      if (fresh >= 0) {
        close(fresh);
      }
      // No socket to put in its place: end the connection, keep the number.
      shutdown(record->descriptor, SHUT_RDWR);
      record->lostAtMS = sNowMS();
      return aErrIO;
    }
    close(fresh);
    record->reconnecting = true;
  }
  aTime_MSSleep(kCloseSettleMS);
  // The number is fixed and nobody but the waits touches the socket while
  // `reconnecting` is set.
  aErr err = sConnectWithin(record->descriptor, record->address);
  std::lock_guard<std::mutex> hold(record->guard);
  record->reconnecting = false;
  if (err != aErrNone) {
    // The failed socket stays behind the number; it carries no connection.
    shutdown(record->descriptor, SHUT_RDWR);
    record->lostAtMS = sNowMS();
    return err;
  }
  record->flags |= kSocketFlagConnected;
  ++record->generation;
  return aErrNone;
}

// One receive into the empty buffer.
aErr sFill(SocketStream* record) {
  uint64_t seen = 0;
  {
    std::lock_guard<std::mutex> hold(record->guard);
    if (record->reconnecting) {
      return aErrNotReady;
    }
    if (!sIsConnected(record)) {
      // Once a pause has passed since the loss or the last try, try again.
      if (sNowMS() - record->lostAtMS < kReconnectPauseMS) {
        return aErrConnection;
      }
      seen = record->generation;
    } else {
      ssize_t got = recv(record->descriptor, record->received, sizeof record->received, MSG_DONTWAIT);
      if (got > 0) {
        record->next = 0;
        record->end = static_cast<size_t>(got);
        return aErrNone;
      }
      if (got == 0) {
        // The peer closed its end: no byte will come on this connection.
        // It is over; the next one is tried after a pause, which leaves
        // the loss in sight of whoever watches the link.
        record->flags &= ~kSocketFlagConnected;
        shutdown(record->descriptor, SHUT_RDWR);
        record->lostAtMS = sNowMS();
        return aErrConnection;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return aErrNotReady;
      }
      if (!sIsLostConnection(errno)) {
        return aErrConnection;
      }
      seen = record->generation;
    }
  }
  aErr err = sReconnect(record, seen);
  // Nothing has come on the new connection yet; the next wait says when.
  return err == aErrNone ? aErrNotReady : err;
}

aErr sSocketGet(uint8_t* byte, void* reference) {
  SocketStream* record = static_cast<SocketStream*>(reference);
  if (!aVALIDSOCKET(record)) {
    return aErrParam;
  }
  // What arrived before a close or a reset is still delivered.
  if (record->next == record->end) {
    aErr err = sFill(record);
    if (err != aErrNone) {
      return err;
    }
  }
  *byte = record->received[record->next++];
  return aErrNone;
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
    if (!sIsConnected(record) && !record->reconnecting) {
      return aErrConnection;
    }
    generation = record->generation;
  }
  while (sent < length) {
    bool wouldBlock = false;
    bool lost = false;
    uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> hold(record->guard);
      if (record->reconnecting) {
        // The reader is bringing a new connection up: wait for it like for
        // a full send buffer.
        ++tries;
        wouldBlock = true;
      } else if (!sIsConnected(record)) {
        return aErrConnection;
      } else {
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
          lost = true;
          seen = record->generation;
        } else {
          return aErrIO;
        }
      }
    }
    if (lost) {
      aErr err = sReconnect(record, seen);
      if (err != aErrNone && err != aErrNotReady) {
        return err;
      }
      // The block starts over on the new connection (seen by the
      // generation), or waits for the one being made.
      wouldBlock = err == aErrNotReady;
      ++tries;
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
  if (record->next < record->end) {
    return aErrNone;
  }
  {
    std::lock_guard<std::mutex> hold(record->guard);
    // While a reconnection waits, the socket behind the number is the one
    // connecting: it turns readable once the new connection carries bytes.
    if (!sIsConnected(record) && !record->reconnecting) {
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
  if (sConnectFirst(record) != aErrNone) {
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
