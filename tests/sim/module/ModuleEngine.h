#ifndef TESTS_SIM_MODULE_MODULEENGINE_H
#define TESTS_SIM_MODULE_MODULEENGINE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/sim/module/SimPacket.h"

namespace simmodule {

// A simulated module, independent of how bytes reach it: a front (TCP
// listener, pseudo-terminal, emulated USB device) hands it what the host
// wrote (hostWrote) and gives it a way to queue bytes for the host
// (attach). It frames the host's bytes into packets and acts on them:
//
//   [0xAD][0]        answered with [A][0] from the module's address A
//   [0xAF][1][v]     force-route on/off, recorded
//   [A][2][0][n+2]   the host's answer to a heartbeat [A][2][0][n], checked
//   [A][..][cmd..]   the handler for (A, cmd), when there is one
//
// Every packet and byte the host writes is recorded. Heartbeats go out on
// request or periodically. Faults: raw bytes (odd or zero address, length
// 29, garbage), silence, a reply delay, and a disconnect that the front
// carries out.
//
// The handler table is keyed by node address and command, so that entities,
// the upgrade command and modules behind a router can be added as handlers
// of further nodes.
class ModuleEngine {
 public:
  using Output = std::function<void(const uint8_t* bytes, size_t length)>;
  using Disconnect = std::function<void()>;
  using Handler = std::function<std::vector<SimPacket>(const SimPacket& request)>;

  // Debug echo: a request [23, d...] comes back as [23, d...].
  static constexpr uint8_t kCommandEcho = 23;

  explicit ModuleEngine(uint8_t address = 0x06);
  ~ModuleEngine();
  ModuleEngine(const ModuleEngine&) = delete;
  ModuleEngine& operator=(const ModuleEngine&) = delete;

  uint8_t address() const { return address_; }

  // --- front side
  // Output must not call back into the engine. Until a front attaches,
  // output is dropped.
  void attach(Output output, Disconnect disconnect);
  void detach();
  // A new host connection: framing starts afresh; records are tagged with
  // the connection's number (1, 2, ...).
  void hostConnected();
  void hostWrote(const uint8_t* bytes, size_t length);

  // --- behaviour
  void addNode(uint8_t address);  // a further module answering on this address
  void setHandler(uint8_t address, uint8_t command, Handler handler);
  void removeHandler(uint8_t address, uint8_t command);

  void sendHeartbeat(uint8_t n);
  void startHeartbeats(uint32_t periodMS, uint8_t n = 0);
  void stopHeartbeats();

  // --- faults
  // Silent: records everything, answers nothing, sends no heartbeats.
  void setSilent(bool silent);
  // Every answer leaves this long after the request that caused it.
  void setReplyDelay(uint32_t ms);
  // Sees every answer before it leaves: may change it, hold it back longer
  // (*delayMS; later answers overtake it) or drop it (returns false). Runs
  // on the thread that answers; must not call back into the engine.
  using AnswerHook = std::function<bool(SimPacket* packet, uint32_t* delayMS)>;
  void setAnswerHook(AnswerHook hook);
  // Synchronisation answers wait until this many requests have come, then
  // all go out together (a module that takes a burst in before it answers).
  // 0 or 1 answers each request at once.
  void holdSyncAnswers(size_t count);
  void injectBytes(const std::vector<uint8_t>& bytes);
  void injectPacket(const SimPacket& packet);
  void injectOddAddress();   // 0x07, 0x00
  void injectZeroAddress();  // 0x00
  void injectBadLength();    // [A][29]
  void injectGarbage(size_t count, uint32_t seed = 1);
  // The front ends the connection (a TCP front with a reset; a terminal
  // front hangs up).
  void disconnect();

  // --- records
  struct HostPacket {
    uint32_t connection;
    SimPacket packet;
  };
  struct Heartbeats {
    size_t sent = 0;
    size_t answered = 0;  // with the right value, in order
    size_t wrong = 0;     // a heartbeat answer with another value
  };
  std::vector<HostPacket> received() const;
  std::vector<uint8_t> rawReceived() const;
  // Packets to addresses that are neither control addresses nor nodes, and
  // packets to nodes without a handler.
  std::vector<SimPacket> unhandled() const;
  size_t syncRequests() const;
  std::vector<uint8_t> forceRoutes() const;
  Heartbeats heartbeats() const;
  size_t framingErrors() const;
  uint32_t connections() const;
  void clearRecords();

  // Waits until the condition holds, re-testing it whenever a record
  // changes. The condition may call the record getters.
  bool waitUntil(const std::function<bool()>& condition, int timeoutMS) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };

  void takePacket(const SimPacket& packet);
  void answer(const std::vector<SimPacket>& packets);
  void emit(const std::vector<uint8_t>& bytes, uint32_t delayMS);
  void emitHeartbeat(uint8_t n);
  void changed();
  void workerLoop();

  const uint8_t address_;

  // Records, framing, behaviour.
  mutable std::mutex mutex_;
  mutable std::condition_variable changedCv_;
  uint64_t generation_ = 0;
  HostFramer framer_;
  std::map<uint8_t, std::map<uint8_t, Handler>> nodes_;
  bool silent_ = false;
  uint32_t replyDelayMS_ = 0;
  AnswerHook answerHook_;
  size_t syncHold_ = 0;
  size_t syncHeld_ = 0;
  uint32_t connection_ = 0;
  std::vector<HostPacket> received_;
  std::vector<uint8_t> raw_;
  std::vector<SimPacket> unhandled_;
  size_t syncRequests_ = 0;
  std::vector<uint8_t> forceRoutes_;
  Heartbeats heartbeats_;
  std::deque<uint8_t> expectedAnswers_;
  size_t framingErrors_ = 0;

  // Output, in order: delayed bytes and periodic heartbeats go through the
  // worker thread.
  std::mutex outMutex_;
  std::condition_variable outCv_;
  Output output_;
  Disconnect disconnect_;
  std::deque<Pending> pending_;
  uint32_t heartbeatPeriodMS_ = 0;
  uint8_t heartbeatValue_ = 0;
  Clock::time_point nextHeartbeat_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace simmodule

#endif
