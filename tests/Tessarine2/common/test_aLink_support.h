#ifndef TESTS_TESSARINE2_COMMON_TEST_ALINK_SUPPORT_H
#define TESTS_TESSARINE2_COMMON_TEST_ALINK_SUPPORT_H

// Shared pieces of the link tests: a simulated module behind a front, and
// small packet helpers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aPacket.h"
#include "tests/sim/PortProbe.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/PtyFront.h"
#include "tests/sim/module/TcpFront.h"

namespace linktest {

constexpr uint8_t kModule = 0x06;
constexpr uint8_t kEcho = simmodule::ModuleEngine::kCommandEcho;

// A packet the caller owns.
struct PacketPtr {
  aPacket* p = nullptr;
  explicit PacketPtr(aPacket* packet = nullptr) : p(packet) {}
  ~PacketPtr() {
    if (p != nullptr) {
      aPacket_Destroy(&p);
    }
  }
  PacketPtr(const PacketPtr&) = delete;
  PacketPtr& operator=(const PacketPtr&) = delete;
  aPacket* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  std::vector<uint8_t> data() const { return std::vector<uint8_t>(p->data, p->data + p->dataSize); }
};

inline aErr send(linkID link, uint8_t address, std::vector<uint8_t> data) {
  PacketPtr packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
  return aLink_PutPacket(link, packet.p);
}

// Accepts a packet whose data begins with the bytes of a std::vector.
inline bool startsWith(const aPacket* packet, const void* reference) {
  const auto* prefix = static_cast<const std::vector<uint8_t>*>(reference);
  if (packet->dataSize < prefix->size()) {
    return false;
  }
  for (size_t i = 0; i < prefix->size(); ++i) {
    if (packet->data[i] != (*prefix)[i]) {
      return false;
    }
  }
  return true;
}

// One debug-echo request and its reply; true when the reply came back.
inline bool echo(linkID link, std::vector<uint8_t> payload, uint64_t timeoutMS = 1000) {
  std::vector<uint8_t> request(payload.size() + 1, kEcho);
  for (size_t i = 0; i < payload.size(); ++i) {
    request[i + 1] = payload[i];
  }
  if (send(link, kModule, request) != aErrNone) {
    return false;
  }
  PacketPtr reply(aLink_AwaitFirst(link, startsWith, &request, timeoutMS));
  return reply && reply.data() == request;
}

// For conditions on the host side, which the module's records cannot
// signal: tested every 2 ms until they hold or the time is up.
template <typename Condition>
bool eventually(Condition condition, int timeoutMS) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (condition()) {
      return true;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 > timeoutMS) {
      return condition();
    }
    const timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
  }
}

using Clock = std::chrono::steady_clock;

inline int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// CPU time of the whole process, in milliseconds.
inline double processCpuMS() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A module on loopback TCP.
struct TcpModule {
  explicit TcpModule(const char* bindAddress = "127.0.0.1") : front(engine, 0, bindAddress) {}
  linkID open() { return aLink_CreateTCPIP(front.address(), front.port()); }
  simmodule::ModuleEngine engine{kModule};
  simmodule::TcpFront front;
};

// A module on a pseudo-terminal: a serial port, or the USB driver node.
struct PtyModule {
  simmodule::ModuleEngine engine{kModule};
  simmodule::PtyFront front{engine};
};

// A listener on 127.0.0.1 whose queue of connections nobody takes: once
// full (fill), the kernel drops further connection requests unanswered, as
// a module that is reset and cannot take a new connection does.
class FullBacklogListener {
 public:
  FullBacklogListener() {
    // A backlog of 0 holds a single connection.
    listener_ = testsupport::listenOnLoopback(0, &port_);
    if (listener_ < 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
  }
  ~FullBacklogListener() {
    for (int filler : fillers_) {
      close(filler);
    }
    closeAccepted(false);
    close(listener_);
  }
  FullBacklogListener(const FullBacklogListener&) = delete;
  FullBacklogListener& operator=(const FullBacklogListener&) = delete;

  uint32_t address() const { return htonl(INADDR_LOOPBACK); }
  uint16_t port() const { return port_; }

  // Takes the one connection waiting (the link's), waiting up to timeoutMS.
  bool acceptOne(int timeoutMS) {
    pollfd entry{listener_, POLLIN, 0};
    if (poll(&entry, 1, timeoutMS) <= 0) {
      return false;
    }
    accepted_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return accepted_ >= 0;
  }
  // Connects until a connection no longer comes up: the queue is full.
  bool fill() {
    for (int i = 0; i < 8; ++i) {
      int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in where{};
      where.sin_family = AF_INET;
      where.sin_addr.s_addr = address();
      where.sin_port = htons(port_);
      connect(filler, reinterpret_cast<sockaddr*>(&where), sizeof where);
      fillers_.push_back(filler);
      pollfd entry{filler, POLLOUT, 0};
      if (poll(&entry, 1, 300) == 0) {
        return true;
      }
    }
    return false;
  }
  // Ends the accepted connection with a reset.
  void resetAccepted() { closeAccepted(true); }

  // Connection requests to the listener that wait for an answer (SYN_SENT
  // in the kernel's table): the fillers beyond the full queue, and a
  // client's reconnection.
  size_t connectsWaiting() const {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    size_t waiting = 0;
    char remote[16];
    unsigned remotePort = 0;
    unsigned state = 0;
    while (std::getline(table, line)) {
      // "  sl  local_address rem_address   st ...": addresses as HEX:PORT.
      if (std::sscanf(line.c_str(), "%*s %*s %15[0-9A-Fa-f]:%x %x", remote, &remotePort, &state) == 3 &&
          remotePort == port_ && state == kSynSent) {
        ++waiting;
      }
    }
    return waiting;
  }

 private:
  void closeAccepted(bool reset) {
    if (accepted_ >= 0) {
      if (reset) {
        linger now{1, 0};
        setsockopt(accepted_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
      }
      close(accepted_);
      accepted_ = -1;
    }
  }

  static constexpr unsigned kSynSent = 2;

  int listener_ = -1;
  int accepted_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace linktest

#endif
