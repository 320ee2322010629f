#ifndef TESTS_TESSARINE2_COMMON_TEST_ASERVER_SUPPORT_H
#define TESTS_TESSARINE2_COMMON_TEST_ASERVER_SUPPORT_H

// Shared pieces of the module-sharing server tests: a simulated module on
// "USB" (the module kernel driver's node, a pseudo-terminal), a server on
// it, and a raw network client that speaks the server's frames directly.

#include <arpa/inet.h>
#include <czmq.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "tests/Tessarine2/common/test_aLink_support.h"

namespace servertest {

using linktest::kModule;
using simmodule::SimPacket;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kModel = 0x13;
// The system entity's model query and its answer, as a module speaks them.
const Bytes kModelQuery{3, 0x48, 0x20};

// Serial numbers of this process's own, so that tests running side by side
// never meet at the same driver node.
inline uint32_t ownSerial(uint32_t index = 0) {
  return 0x5A000000u | ((static_cast<uint32_t>(getpid()) & 0xFFFFFu) << 4) | (index & 0xFu);
}

inline std::string nodePath(uint32_t serial) {
  char path[64];
  snprintf(path, sizeof path, "/dev/tessarine.%08X", serial);
  return path;
}

inline uint32_t loopback() {
  in_addr address{};
  inet_pton(AF_INET, "127.0.0.1", &address);
  return address.s_addr;
}

inline Bytes wire(uint8_t address, const Bytes& data) {
  Bytes bytes(2 + data.size());
  bytes[0] = address;
  bytes[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), bytes.begin() + 2);
  return bytes;
}

// A module on USB as the host sees it through the driver node, answering
// the model query.
struct UsbModule {
  explicit UsbModule(uint32_t index = 0, uint8_t model = kModel) : serial(ownSerial(index)) {
    engine.setHandler(kModule, 3, [model](const SimPacket& request) {
      if (request.data == kModelQuery) {
        return std::vector<SimPacket>{SimPacket{kModule, {3, 8, 0, model}}};
      }
      return std::vector<SimPacket>{};
    });
    front.publishAs(nodePath(serial));
  }
  simmodule::ModuleEngine engine{kModule};
  simmodule::PtyFront front{engine};
  const uint32_t serial;
};

// A module shared through aLink_CreateServer; client is the caller's link.
struct SharedModule {
  explicit SharedModule(uint32_t index = 0) : module(index) {}
  ~SharedModule() {
    if (client != 0) {
      aLink_Destroy(&client);
    }
  }
  bool open(bool localOnly = true, uint32_t wanted = 0) {
    networkInterface = wanted;
    client = aLink_CreateServer(module.serial, &port, &networkInterface, localOnly);
    return client != 0;
  }
  UsbModule module;
  linkID client = 0;
  uint16_t port = 0;
  uint32_t networkInterface = 0;
};

// A network client written from the server's frame rules: every message it
// sends is one frame holding one packet's wire bytes (or anything else a
// test wants to try), every frame it gets is one packet or a stream batch.
class RawClient {
 public:
  explicit RawClient(uint16_t port, uint32_t address = loopback()) {
    char dotted[INET_ADDRSTRLEN] = "";
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, dotted, sizeof dotted);
    socket_ = zsock_new(ZMQ_DEALER);
    if (socket_ != nullptr) {
      zsock_connect(socket_, "tcp://%s:%d", dotted, static_cast<int>(port));
    }
  }
  ~RawClient() { zsock_destroy(&socket_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool valid() const { return socket_ != nullptr; }

  void send(const Bytes& frame) {
    zframe_t* f = zframe_new(frame.data(), frame.size());
    zframe_send(&f, socket_, 0);
  }
  void sendMessage(const std::vector<Bytes>& frames) {
    for (size_t i = 0; i < frames.size(); ++i) {
      zframe_t* f = zframe_new(frames[i].data(), frames[i].size());
      zframe_send(&f, socket_, i + 1 < frames.size() ? ZFRAME_MORE : 0);
    }
  }
  void sendPacket(uint8_t address, const Bytes& data) { send(wire(address, data)); }

  // The next frame within the time, or nothing.
  std::optional<Bytes> receive(int timeoutMS) {
    zsock_set_rcvtimeo(socket_, timeoutMS);
    zframe_t* frame = zframe_recv(socket_);
    if (frame == nullptr) {
      return std::nullopt;
    }
    Bytes bytes(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
    zframe_destroy(&frame);
    return bytes;
  }

 private:
  zsock_t* socket_ = nullptr;
};

// An echo request [23, payload...] to the module and its reply frame.
inline Bytes echoRequest(const Bytes& payload) {
  Bytes data(1 + payload.size());
  data[0] = linktest::kEcho;
  std::copy(payload.begin(), payload.end(), data.begin() + 1);
  return wire(kModule, data);
}

// How many times the module received exactly this request.
inline size_t countReceived(const simmodule::ModuleEngine& engine, const Bytes& data) {
  size_t count = 0;
  for (const auto& packet : engine.received()) {
    if (packet.packet.address == kModule && packet.packet.data == data) {
      ++count;
    }
  }
  return count;
}

inline long long msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace servertest

#endif
