#include "Tessarine2/common/packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "Tessarine2/common/aSpinWait.h"

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

using ownedPacket = std::unique_ptr<aPacket, aPacketDeleter>;

// One queue entry: the FIFO's own copy of a packet and the serial id it was
// put with. Ids rise by one per put, so the queue is sorted by id.
class SerialPacket {
 public:
  SerialPacket(int64_t id, ownedPacket packet) : id_(id), packet_(std::move(packet)) {}
  SerialPacket(SerialPacket&&) noexcept = default;
  SerialPacket& operator=(SerialPacket&&) noexcept = default;
  SerialPacket(const SerialPacket&) = delete;
  SerialPacket& operator=(const SerialPacket&) = delete;

  int64_t getId() const { return id_; }
  const aPacket* getPacket() const { return packet_.get(); }
  explicit operator ownedPacket() && { return std::move(packet_); }

 private:
  int64_t id_;
  ownedPacket packet_;
};

class packetFifo {
 public:
  using entries = std::deque<SerialPacket>;

  packetFifo() : alive(true), windowStart(0), nextId(0) {}
  ~packetFifo() = default;
  packetFifo(const packetFifo&) = delete;
  packetFifo& operator=(const packetFifo&) = delete;

  // Both keep windowStart on the oldest queued id (or on nextId when the
  // queue is empty): a filtered waiter starts its offering window there.
  void clearAndSyncWindow() {
    queue.clear();
    windowStart.store(nextId.load(kLocked), kLocked);
  }
  void eraseAndSyncWindow(entries::iterator entry) {
    queue.erase(entry);
    syncWindow();
  }
  void eraseAndSyncWindow(entries::iterator first, entries::iterator last) {
    queue.erase(first, last);
    syncWindow();
  }

  entries queue;
  std::condition_variable wake;
  std::mutex mutex;
  std::atomic<bool> alive;
  std::atomic<int64_t> windowStart;
  std::atomic<int64_t> nextId;
  // How close together the puts come; under the mutex.
  aSpinWait::Pace putPace;

  // windowStart and nextId are only written under the mutex, which already
  // orders them for readers that hold it; fenced accesses would cost a
  // locked instruction on every put for nothing. A waiter that spins
  // watches nextId without the mutex and takes the mutex before it looks
  // at the queue.
  static constexpr std::memory_order kLocked = std::memory_order_relaxed;

 private:
  void syncWindow() { windowStart.store(queue.empty() ? nextId.load(kLocked) : queue.front().getId(), kLocked); }
};

using fifoRef = std::shared_ptr<packetFifo>;
using fifoLock = std::unique_lock<std::mutex>;

// The table is a heap object that is never destroyed. Link threads, late
// detached threads and static destructors in other units may still create,
// use or destroy FIFOs while the process exits; a table torn down by exit
// would hand them a destroyed map and mutex. Building it on first use also
// makes it safe for static constructors elsewhere that run before ours.
struct packetFifoTable {
  std::mutex gpPacketFifoDictionaryMutex;
  std::map<aPacketFifoHandle, fifoRef> gpPacketFifoDictionary;
};

packetFifoTable& fifoTable() {
  static packetFifoTable* const table = new packetFifoTable;
  return *table;
}

// Builds the empty table during static initialisation, before main starts
// any thread.
[[maybe_unused]] packetFifoTable& gTableBuiltBeforeMain = fifoTable();

std::atomic<aPacketFifoHandle> gpSequentialId{1};

aPacketFifoHandle nextHandle() {
  aPacketFifoHandle handle = gpSequentialId++;
  while (handle == 0) {  // after wrap-around; 0 means "no FIFO"
    handle = gpSequentialId++;
  }
  return handle;
}

// The table mutex is held only for the lookup: the caller locks the FIFO's own
// mutex after this has returned.
fifoRef findFifo(aPacketFifoHandle handle) {
  packetFifoTable& table = fifoTable();
  std::lock_guard<std::mutex> tableLock(table.gpPacketFifoDictionaryMutex);
  auto found = table.gpPacketFifoDictionary.find(handle);
  return found == table.gpPacketFifoDictionary.end() ? nullptr : found->second;
}

fifoRef removeFifo(aPacketFifoHandle handle) {
  packetFifoTable& table = fifoTable();
  std::lock_guard<std::mutex> tableLock(table.gpPacketFifoDictionaryMutex);
  auto found = table.gpPacketFifoDictionary.find(handle);
  if (found == table.gpPacketFifoDictionary.end()) {
    return nullptr;
  }
  fifoRef fifo = std::move(found->second);
  table.gpPacketFifoDictionary.erase(found);
  return fifo;
}

// A timeout too long to be represented on the clock waits until woken.
// Neither 0 nor such a timeout needs a deadline computed.
class Deadline {
 public:
  using clock = std::chrono::steady_clock;
  using ms = std::chrono::milliseconds;

  explicit Deadline(uint64_t timeoutMS) {
    constexpr auto longest = std::chrono::duration_cast<ms>(clock::time_point::max().time_since_epoch()).count();
    if (timeoutMS == 0) {
      kind_ = noWait;
      return;
    }
    if (timeoutMS >= static_cast<uint64_t>(longest)) {
      kind_ = untilWoken;
      return;
    }
    clock::time_point start = clock::now();
    auto room = std::chrono::duration_cast<ms>(clock::time_point::max() - start).count();
    if (timeoutMS >= static_cast<uint64_t>(room)) {
      kind_ = untilWoken;
      return;
    }
    kind_ = at;
    at_ = start + ms(static_cast<ms::rep>(timeoutMS));
  }

  // Waits for a put (or a destroy) until woken or until the deadline; false,
  // without waiting, once the deadline has passed. While puts come close
  // together the wait first spins for the next one (see aSpinWait.h), never
  // past the deadline.
  bool sleep(packetFifo& fifo, fifoLock& lock) const {
    if (kind_ == noWait) {
      return false;
    }
    const clock::time_point now = clock::now();
    if (kind_ == at && now >= at_) {
      return false;
    }
    clock::duration bound = fifo.putPace.spinBound(now);
    if (kind_ == at) {
      bound = std::min<clock::duration>(bound, at_ - now);
    }
    if (bound > clock::duration::zero() && spinForPut(fifo, lock, bound)) {
      return true;
    }
    if (kind_ == untilWoken) {
      fifo.wake.wait(lock);
      return true;
    }
    return fifo.wake.wait_until(lock, at_) == std::cv_status::no_timeout;
  }

 private:
  // Watches nextId without the mutex, so that the putter never waits for
  // the spinner, for at most `bound`. True when a put or a destroy came;
  // with the mutex held again either way, so a put made after the spin gave
  // up still wakes the sleep that follows.
  static bool spinForPut(packetFifo& fifo, fifoLock& lock, clock::duration bound) {
    const int64_t seen = fifo.nextId.load(packetFifo::kLocked);
    lock.unlock();
    aSpinWait::spinUntil(bound,
                         [&] { return fifo.nextId.load(std::memory_order_relaxed) != seen || !fifo.alive.load(); });
    lock.lock();
    return fifo.nextId.load(packetFifo::kLocked) != seen || !fifo.alive;
  }

  enum Kind { noWait, untilWoken, at } kind_ = noWait;
  clock::time_point at_{};
};

// Hands the caller a copy of a queued entry and erases the entry. Without a
// copy the entry stays queued.
aPacket* take(packetFifo& fifo, packetFifo::entries::iterator entry) {
  aPacket* copy = aPacket_Copy(entry->getPacket());
  if (copy == nullptr) {
    return nullptr;
  }
  fifo.eraseAndSyncWindow(entry);
  return copy;
}

packetFifo::entries::iterator firstAccepted(packetFifo& fifo, aPacketFilter filter, const void* reference) {
  return std::find_if(fifo.queue.begin(), fifo.queue.end(),
                      [&](const SerialPacket& entry) { return filter(entry.getPacket(), reference); });
}

// One scan of the offering window: offers every entry above lastOffered,
// oldest first, until the filter accepts one. The queue is sorted by id, so
// the entries already offered in this call are stepped over in one search.
packetFifo::entries::iterator offerNew(packetFifo& fifo, aPacketFilter filter, const void* reference,
                                       int64_t& lastOffered) {
  auto entry = std::upper_bound(fifo.queue.begin(), fifo.queue.end(), lastOffered,
                                [](int64_t id, const SerialPacket& e) { return id < e.getId(); });
  for (; entry != fifo.queue.end(); ++entry) {
    lastOffered = entry->getId();
    if (filter(entry->getPacket(), reference)) {
      return entry;
    }
  }
  return entry;
}

}  // namespace

aPacketFifoHandle aPacketFifo_Create() {
  try {
    packetFifoTable& table = fifoTable();
    std::lock_guard<std::mutex> tableLock(table.gpPacketFifoDictionaryMutex);
    fifoRef fifo = std::make_shared<packetFifo>();
    aPacketFifoHandle handle = nextHandle();
    table.gpPacketFifoDictionary.emplace(handle, std::move(fifo));
    return handle;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle) {
  if (handle == nullptr) {
    return aErrParam;
  }
  try {
    fifoRef fifo = removeFifo(*handle);
    if (!fifo) {
      return aErrNotFound;
    }
    {
      fifoLock lock(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->alive = false;
    }
    fifo->wake.notify_all();
    *handle = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
  try {
    if (!aVALIDPACKET(packet)) {
      return aErrParam;
    }
    fifoRef fifo = findFifo(handle);
    if (!fifo) {
      return aErrParam;
    }
    // The copy is made before the lock: it needs nothing of the FIFO, and
    // waiters should not wait behind an allocation.
    ownedPacket copy(aPacket_Copy(packet));
    if (!copy) {
      return aErrParam;
    }
    const aSpinWait::Clock::time_point now = aSpinWait::Clock::now();
    {
      fifoLock lock(fifo->mutex);
      if (!fifo->alive) {  // destroyed since the lookup
        return aErrParam;
      }
      const int64_t id = fifo->nextId.load(packetFifo::kLocked);
      try {
        fifo->queue.emplace_back(id, std::move(copy));
      } catch (...) {
        return aErrResource;
      }
      fifo->nextId.store(id + 1, packetFifo::kLocked);
      fifo->putPace.event(now);
      fifo->windowStart.store(fifo->queue.front().getId(), packetFifo::kLocked);
      if (fifo->queue.size() > aPACKETFIFO_OVERFLOW) {
        // Nobody is emptying this queue: drop it all, the new packet too,
        // and wake nobody since there is nothing to take.
        fifo->clearAndSyncWindow();
        return aErrNone;
      }
    }
    fifo->wake.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

size_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
  try {
    fifoRef fifo = findFifo(handle);
    if (!fifo) {
      return 0;
    }
    fifoLock lock(fifo->mutex);
    return fifo->alive ? fifo->queue.size() : 0;
  } catch (...) {
    return 0;
  }
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) { return aPacketFifo_Await(handle, 0); }

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint64_t timeoutMS) {
  try {
    Deadline deadline(timeoutMS);
    fifoRef fifo = findFifo(handle);
    if (!fifo) {
      return nullptr;
    }
    fifoLock lock(fifo->mutex);
    bool timedOut = false;
    for (;;) {
      if (!fifo->alive) {
        return nullptr;
      }
      if (!fifo->queue.empty()) {
        return take(*fifo, fifo->queue.begin());
      }
      if (timedOut) {
        return nullptr;
      }
      timedOut = !deadline.sleep(*fifo, lock);
    }
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter, const void* reference) {
  try {
    if (filter == nullptr) {
      return nullptr;
    }
    fifoRef fifo = findFifo(handle);
    if (!fifo) {
      return nullptr;
    }
    fifoLock lock(fifo->mutex);
    if (!fifo->alive) {
      return nullptr;
    }
    auto entry = firstAccepted(*fifo, filter, reference);
    return entry == fifo->queue.end() ? nullptr : take(*fifo, entry);
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter, const void* reference,
                                uint64_t timeoutMS) {
  try {
    if (filter == nullptr) {
      return nullptr;
    }
    Deadline deadline(timeoutMS);
    fifoRef fifo = findFifo(handle);
    if (!fifo) {
      return nullptr;
    }
    fifoLock lock(fifo->mutex);
    // Every packet queued when the call starts is offered once; after a wake
    // only the packets put since the last scan are.
    int64_t lastOffered = fifo->windowStart.load(packetFifo::kLocked) - 1;
    // A scan follows the last wait even when it timed out, so a packet put
    // just before the deadline still gets its offer.
    bool timedOut = false;
    for (;;) {
      if (!fifo->alive) {
        return nullptr;
      }
      auto entry = offerNew(*fifo, filter, reference, lastOffered);
      if (entry != fifo->queue.end()) {
        return take(*fifo, entry);
      }
      if (timedOut) {
        return nullptr;
      }
      timedOut = !deadline.sleep(*fifo, lock);
    }
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter, const void* reference) {
  try {
    if (filter == nullptr) {
      return 0;
    }
    fifoRef fifo = findFifo(handle);
    if (!fifo) {
      return 0;
    }
    fifoLock lock(fifo->mutex);
    if (!fifo->alive) {
      return 0;
    }
    size_t before = fifo->queue.size();
    // remove_if offers each entry exactly once, oldest first, and keeps the
    // refused ones in order at the front.
    auto kept = std::remove_if(fifo->queue.begin(), fifo->queue.end(),
                               [&](const SerialPacket& entry) { return filter(entry.getPacket(), reference); });
    fifo->eraseAndSyncWindow(kept, fifo->queue.end());
    return before - fifo->queue.size();
  } catch (...) {
    return 0;
  }
}
