#ifndef TESTS_SIM_MODULE_STORESLOTS_H
#define TESTS_SIM_MODULE_STORESLOTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SimPacket.h"

namespace simmodule {

// A module's numbered stores of numbered slots, reached with command 4. The
// host opens a slot, which gives it a handle, moves data in pieces under
// the handle, and closes it:
//
//   [4, 1, store, slot]       capacity     -> [4, 1, store, slot, high, low]
//   [4, 2, store, slot]       size         -> [4, 2, store, slot, high, low]
//   [4, 3, store, slot]       open to read -> [4, 3, store, slot, handle]
//   [4, 4, store, slot]       open to write (the slot starts empty)
//                                          -> [4, 4, store, slot, handle]
//   [4, 6, handle]            read         -> [4, 6, handle, up to 25 bytes]
//   [4, 7, handle, data...]   write        -> [4, 7, handle, 8-bit sum of the data]
//   [4, 8, handle]            close        -> [4, 8, handle, 0]
//
// Errors come back with the sub-command's bit 7 set and the module's code
// last: [4, 0x80 | sub, store, slot, code] or [4, 0x80 | sub, handle, code].
// What is written becomes the slot's content when its handle is closed.
//
// Its handler runs on the front's thread: stop the front before the stores
// go.
class StoreSlots {
 public:
  // Replaces the module's answer to one sub-command; an empty answer is
  // silence.
  using Responder = std::function<std::vector<SimPacket>(const SimPacket& request)>;

  static constexpr uint8_t kCommandSlot = 4;
  static constexpr uint8_t kErrParam = 2;
  static constexpr uint8_t kErrBusy = 5;
  static constexpr uint8_t kErrSize = 14;
  static constexpr uint8_t kErrOverrun = 15;
  static constexpr uint8_t kErrIndexRange = 26;
  static constexpr uint8_t kHandles = 4;

  StoreSlots(ModuleEngine& engine, uint8_t address);
  ~StoreSlots();
  StoreSlots(const StoreSlots&) = delete;
  StoreSlots& operator=(const StoreSlots&) = delete;

  void defineSlot(uint8_t store, uint8_t slot, size_t capacity, const std::vector<uint8_t>& bytes = {});
  std::vector<uint8_t> contents(uint8_t store, uint8_t slot) const;
  void setResponder(uint8_t sub, Responder responder);

  // Handles open right now, and closes answered so far.
  size_t openHandles() const;
  size_t closes() const;

 private:
  struct Slot {
    size_t capacity = 0;
    std::vector<uint8_t> bytes;
  };
  struct Handle {
    std::pair<uint8_t, uint8_t> slot;
    bool writing = false;
    size_t offset = 0;
    std::vector<uint8_t> written;
  };

  std::vector<SimPacket> handle(const SimPacket& request);
  std::vector<SimPacket> onSlot(uint8_t sub, uint8_t store, uint8_t slot);
  std::vector<SimPacket> onHandle(uint8_t sub, uint8_t handle, const std::vector<uint8_t>& data);

  ModuleEngine& engine_;
  const uint8_t address_;
  mutable std::mutex mutex_;
  std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
  std::map<uint8_t, Handle> handles_;
  std::map<uint8_t, Responder> responders_;
  size_t closes_ = 0;
};

}  // namespace simmodule

#endif
