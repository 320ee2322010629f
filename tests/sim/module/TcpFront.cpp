#include "tests/sim/module/TcpFront.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace simmodule {

namespace {

constexpr char kCommandReset = 'r';
constexpr char kCommandClose = 'c';
constexpr char kCommandQuit = 'q';
constexpr char kCommandStopListening = 's';
constexpr char kCommandListen = 'l';
constexpr int kBacklog = 16;

// The front whose loop runs on this thread. A caller on the loop's own
// thread (a handler that ends the connection) must not wait for the loop;
// comparing with thread_ instead would read it on the loop's thread while
// the constructor may still be writing it.
thread_local const TcpFront* tLoopOf = nullptr;

}  // namespace

TcpFront::TcpFront(ModuleEngine& engine, uint16_t port, const std::string& bindAddress) : engine_(engine) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, bindAddress.c_str(), &where.sin_addr) != 1) {
    throw std::runtime_error("bad bind address " + bindAddress);
  }
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t length = sizeof where;
  if (listener_ < 0 || !testsupport::allowPortHold(listener_) ||
      bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(listener_, kBacklog) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
    if (listener_ >= 0) {
      close(listener_);
    }
    throw std::runtime_error("the simulated module cannot listen");
  }
  port_ = ntohs(where.sin_port);
  address_ = where.sin_addr.s_addr;
  engine_.attach(
      [this](const uint8_t* bytes, size_t count) {
        std::lock_guard<std::mutex> hold(connectionMutex_);
        if (connection_ >= 0) {
          testsupport::writeAll(connection_, bytes, count, true);
        }
      },
      [this] { disconnect(true); });
  thread_ = std::thread([this] { loop(); });
}

TcpFront::~TcpFront() {
  engine_.detach();
  command(kCommandQuit);
  thread_.join();
  closeConnection(true);
  releaseFinished();
  closeListener();
}

// The port is held before the listener goes, so it is never free between.
void TcpFront::closeListener() {
  if (listener_ < 0) {
    return;
  }
  heldPort_.take(listener_);
  close(listener_);
  listener_ = -1;
}

// The held port lets only a socket with SO_REUSEPORT of this user bind it:
// the new listener, not a stranger.
bool TcpFront::openListener() {
  if (listener_ >= 0) {
    return true;
  }
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port_);
  where.sin_addr.s_addr = address_;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 || !testsupport::allowPortHold(fd) ||
      bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, kBacklog) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  listener_ = fd;
  return true;
}

void TcpFront::stopListening() {
  if (tLoopOf == this) {
    closeListener();
    return;
  }
  runCommand(kCommandStopListening);
}

bool TcpFront::listenAgain() {
  if (tLoopOf == this) {
    return openListener();
  }
  runCommand(kCommandListen);
  std::lock_guard<std::mutex> hold(doneMutex_);
  return listening_;
}

void TcpFront::command(char what) {
  {
    std::lock_guard<std::mutex> hold(doneMutex_);
    ++commandsSent_;
  }
  wake_.post(what);
}

void TcpFront::disconnect(bool reset) {
  if (tLoopOf == this) {
    closeConnection(reset);
    return;
  }
  runCommand(reset ? kCommandReset : kCommandClose);
}

void TcpFront::runCommand(char what) {
  uint64_t target = 0;
  {
    std::lock_guard<std::mutex> hold(doneMutex_);
    target = commandsSent_ + 1;
  }
  command(what);
  std::unique_lock<std::mutex> hold(doneMutex_);
  doneCv_.wait(hold, [&] { return commandsDone_ >= target; });
}

void TcpFront::closeConnection(bool reset) {
  std::lock_guard<std::mutex> hold(connectionMutex_);
  if (connection_ < 0) {
    return;
  }
  if (reset) {
    linger now{1, 0};
    setsockopt(connection_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(connection_);
  } else {
    // Closing a socket with unread bytes would send a reset after the FIN.
    shutdown(connection_, SHUT_WR);
    releaseFinished();
    finished_ = connection_;
  }
  connection_ = -1;
}

void TcpFront::releaseFinished() {
  if (finished_ >= 0) {
    close(finished_);
    finished_ = -1;
  }
}

void TcpFront::loop() {
  tLoopOf = this;
  for (;;) {
    int connection = -1;
    {
      std::lock_guard<std::mutex> hold(connectionMutex_);
      connection = connection_;
    }
    // A stopped listener (-1) is left out by poll.
    pollfd entries[3] = {{wake_.readEnd(), POLLIN, 0}, {listener_, POLLIN, 0}, {connection, POLLIN, 0}};
    const nfds_t count = connection >= 0 ? 3 : 2;
    if (poll(entries, count, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (entries[0].revents & POLLIN) {
      char what = 0;
      if (wake_.take(&what)) {
        if (what == kCommandQuit) {
          return;
        }
        bool listening = false;
        if (what == kCommandStopListening) {
          closeListener();
        } else if (what == kCommandListen) {
          listening = openListener();
        } else {
          closeConnection(what == kCommandReset);
        }
        {
          std::lock_guard<std::mutex> hold(doneMutex_);
          listening_ = listening;
          ++commandsDone_;
        }
        doneCv_.notify_all();
      }
      continue;
    }
    // The host's bytes before a new connection: a host that reconnects has
    // closed the old connection after its last write.
    if (count == 3 && entries[2].revents != 0) {
      uint8_t buffer[4096];
      ssize_t n = recv(connection, buffer, sizeof buffer, 0);
      if (n > 0) {
        engine_.hostWrote(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        closeConnection(false);
      }
      continue;
    }
    if (entries[1].revents & POLLIN) {
      int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted >= 0) {
        int on = 1;
        setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connection >= 0) {
          // Whatever the old host wrote last still counts for it.
          uint8_t buffer[4096];
          ssize_t n;
          while ((n = recv(connection, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            engine_.hostWrote(buffer, static_cast<size_t>(n));
          }
        }
        closeConnection(true);
        {
          std::lock_guard<std::mutex> hold(connectionMutex_);
          releaseFinished();
          connection_ = accepted;
        }
        engine_.hostConnected();
      }
    }
  }
}

}  // namespace simmodule
