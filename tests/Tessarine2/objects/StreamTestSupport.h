#ifndef TESTS_TESSARINE2_OBJECTS_STREAMTESTSUPPORT_H
#define TESTS_TESSARINE2_OBJECTS_STREAMTESTSUPPORT_H

// A simulated module that streams, keeps store slots and factory data, on
// loopback TCP; a recorder of stream callbacks; and looks at the process's
// threads.

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/objects/Link.h"
#include "tests/Tessarine2/objects/ObjectsTestSupport.h"
#include "tests/sim/module/FactoryData.h"
#include "tests/sim/module/StoreSlots.h"
#include "tests/sim/module/StreamSource.h"

namespace objtest {

using simmodule::StreamSource;
using Zeltrova::Tessarine::Link;

// Front last: its thread runs every handler and stops first.
struct StreamingModule {
  explicit StreamingModule(const char* bind = "127.0.0.1", uint8_t address = kAddress)
      : engine(address),
        table(engine, address),
        source(engine, address),
        slots(engine, address),
        factory(engine, address),
        front(engine, 0, bind) {
    simmodule::addSystemEntity(table, simmodule::ModuleIdentity());
  }
  linkSpec spec() const { return tcpSpec(front.address(), front.port()); }
  // The link a Link connected to this module holds.
  linkID link() const {
    aLinkEntry* entry = sLookupEntryByIdentifier(front.address());
    return entry == nullptr ? 0 : entry->id;
  }

  ModuleEngine engine;
  simmodule::UeiTable table;
  StreamSource source;
  simmodule::StoreSlots slots;
  simmodule::FactoryData factory;
  simmodule::TcpFront front;
};

inline pid_t threadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Threads of this process right now.
inline int threadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        ++count;
      }
    }
    closedir(dir);
  }
  return count;
}

// Times a thread of this process has given up the processor of its own
// accord (each sleep or wait that blocked).
inline long voluntarySwitches(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  const std::string key = "voluntary_ctxt_switches:";
  while (std::getline(status, line)) {
    if (line.compare(0, key.size(), key) == 0) {
      return std::stol(line.substr(key.size()));
    }
  }
  return -1;
}

// What the stream callbacks saw: each call's sample value (or the packet's
// first payload byte for an array), the thread it ran on, and the packet.
struct Recorder {
  struct Call {
    uint32_t value;
    pid_t thread;
    std::vector<uint8_t> data;
    uint8_t address;
  };

  Zeltrova::Tessarine::streamCallback callback() {
    return [this](const aPacket* packet, void*) {
      uint32_t value = 0;
      Link::getStreamSample(packet, nullptr, &value, nullptr);
      std::lock_guard<std::mutex> hold(mutex);
      calls.push_back(Call{value, threadId(), std::vector<uint8_t>(packet->data, packet->data + packet->dataSize),
                           packet->address});
      changed.notify_all();
      return aErrNone;
    };
  }
  bool waitFor(size_t count, int timeoutMS = 3000) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMS), [&] { return calls.size() >= count; });
  }
  size_t size() {
    std::lock_guard<std::mutex> hold(mutex);
    return calls.size();
  }
  std::vector<Call> all() {
    std::lock_guard<std::mutex> hold(mutex);
    return calls;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Call> calls;
};

// A gate that callbacks wait at until the test opens it.
struct Gate {
  void wait() {
    std::unique_lock<std::mutex> hold(mutex);
    ++waiting;
    changed.notify_all();
    changed.wait(hold, [&] { return open; });
  }
  bool waitForWaiter(int timeoutMS = 3000) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMS), [&] { return waiting > 0; });
  }
  void release() {
    std::lock_guard<std::mutex> hold(mutex);
    open = true;
    changed.notify_all();
  }

  std::mutex mutex;
  std::condition_variable changed;
  int waiting = 0;
  bool open = false;
};

}  // namespace objtest

#endif
