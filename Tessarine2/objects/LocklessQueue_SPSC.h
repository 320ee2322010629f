#ifndef TESSARINE2_OBJECTS_LOCKLESSQUEUE_SPSC_H
#define TESSARINE2_OBJECTS_LOCKLESSQUEUE_SPSC_H

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

namespace Zeltrova {

// A ring for exactly one producer thread and one consumer thread. One slot
// always stays free, so a ring of n slots holds n - 1 elements. A slot is
// written before head publishes it, and tail moves before the slot is read:
// the producer never writes the slot being read.
template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint16_t capacity)
      : slots(new (std::nothrow) T[capacity]), capacity(slots == nullptr ? 0 : capacity), head(0), tail(0) {}
  ~LocklessQueue_SPSC() { delete[] slots; }
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer only. False when full.
  bool push(T element) {
    if (capacity == 0) {
      return false;
    }
    const uint16_t n = next(head.load());
    if (n == tail.load()) {
      return false;
    }
    slots[n] = std::move(element);
    head.store(n);
    return true;
  }

  // Consumer only. False when empty.
  bool pop(T* element) {
    const uint16_t t = tail.load();
    if (capacity == 0 || t == head.load()) {
      return false;
    }
    const uint16_t n = next(t);
    tail.store(n);
    // Moved out: a slot read keeps nothing of its element alive.
    *element = std::move(slots[n]);
    return true;
  }

  // Consumer only: nothing to pop right now.
  bool empty() const { return tail.load() == head.load(); }

 private:
  uint16_t next(uint16_t i) const { return static_cast<uint16_t>(i + 1 < capacity ? i + 1 : 0); }

  T* slots;
  uint16_t capacity;
  std::atomic<uint16_t> head;  // slot last written
  std::atomic<uint16_t> tail;  // slot last read
};

}  // namespace Zeltrova

#endif
