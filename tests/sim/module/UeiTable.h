#ifndef TESTS_SIM_MODULE_UEITABLE_H
#define TESTS_SIM_MODULE_UEITABLE_H

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SimPacket.h"

namespace simmodule {

// The entities of one module node as the module itself sees them: values
// by command, index and option, answered over UEI.
//
//   get      [cmd, opt | 0x40, idx | 0x20 (, subindex)]
//            -> [cmd, opt, idx, value, most significant byte first]
//   set      [cmd, opt | 0x80, idx | 0x20 (, subindex), value]
//            -> [cmd, opt | 0xC0, idx]
//   call     [cmd, opt | 0x80, idx | 0x20] -> [cmd, opt | 0xC0, idx]
//   error    [cmd, opt or opt | 0xC0, 0x80 | idx, code]
//
// A subindexed value takes its subindex from request byte 3 and does not
// repeat it in the reply. Byte arrays go out and come in as
// [cmd, opt, idx, up to 24 payload bytes, sequence | 0x80 when more]; an
// array is numbered modulo 128, as the 7-bit sequence allows.
//
// It also answers the capability queries (command 73) from the table and
// echoes debug packets (command 23) for nodes other than the engine's own.
//
// Its handlers run on the front's thread: stop the front before the table
// goes.
class UeiTable {
 public:
  using Responder = std::function<std::vector<SimPacket>(const SimPacket& request)>;
  using SetHook = std::function<void(uint32_t value)>;

  // Module error codes this table answers with.
  static constexpr uint8_t kErrParam = 2;
  static constexpr uint8_t kErrPermission = 12;
  static constexpr uint8_t kErrSize = 14;
  static constexpr uint8_t kErrPacket = 24;
  static constexpr uint8_t kErrIndexRange = 26;
  static constexpr uint8_t kErrInvalidEntity = 28;
  static constexpr uint8_t kErrInvalidOption = 29;

  UeiTable(ModuleEngine& engine, uint8_t address);
  ~UeiTable();
  UeiTable(const UeiTable&) = delete;
  UeiTable& operator=(const UeiTable&) = delete;

  uint8_t address() const { return address_; }

  // --- the table. width is 1, 2 or 4 bytes.
  void defineValue(uint8_t command, uint8_t index, uint8_t option, uint8_t width, uint32_t value, bool settable = true);
  void defineSubindexed(uint8_t command, uint8_t index, uint8_t option, uint8_t width,
                        const std::vector<uint32_t>& values);
  void defineCall(uint8_t command, uint8_t index, uint8_t option);
  void defineBytes(uint8_t command, uint8_t index, uint8_t option, const std::vector<uint8_t>& bytes,
                   bool settable = true);
  // Runs (on the front's thread) after a set or call of the option.
  void onSet(uint8_t command, uint8_t index, uint8_t option, SetHook hook);
  // Capability answers of an entity.
  void setSubClassQuantity(uint8_t command, uint8_t index, uint8_t count);
  void setEntityGroup(uint8_t command, uint8_t index, uint8_t group);
  // The answer to the build query [73, 0xFF].
  void setBuild(uint32_t build);

  // --- behaviour
  // While the gate is closed the node answers nothing (a module behind a
  // router that does not route to the host).
  void setGate(std::function<bool()> gate);
  // Answers every request of the command's option (any request bits) with
  // what the responder returns, instead of the table.
  void setResponder(uint8_t command, uint8_t option, Responder responder);
  void clearResponder(uint8_t command, uint8_t option);
  // The module reports this error code for every request of the option.
  void setError(uint8_t command, uint8_t index, uint8_t option, uint8_t code);

  // The capability answers (command 73) of this node, for a handler that
  // takes some capability requests itself and passes the rest on.
  ModuleEngine::Handler capabilityHandler();

  // --- records
  uint32_t value(uint8_t command, uint8_t index, uint8_t option, uint8_t subindex = 0) const;
  std::vector<uint8_t> bytes(uint8_t command, uint8_t index, uint8_t option) const;
  size_t calls(uint8_t command, uint8_t index, uint8_t option) const;

  // The packets of a byte array as this module sends them.
  static std::vector<SimPacket> arrayPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                             const std::vector<uint8_t>& bytes);

 private:
  enum class Kind { Value, Call, Bytes };
  struct Option {
    Kind kind = Kind::Value;
    uint8_t width = 1;
    bool settable = true;
    bool subindexed = false;
    std::map<uint8_t, uint32_t> values;
    std::vector<uint8_t> bytes;
    size_t calls = 0;
    uint8_t error = 0;
    SetHook hook;
    // A set of an array in progress.
    std::vector<uint8_t> incoming;
    uint8_t nextSequence = 0;
  };
  struct Entity {
    std::map<uint8_t, Option> options;
    uint8_t subClasses = 0;
    uint8_t group = 0;
  };
  using EntityKey = std::pair<uint8_t, uint8_t>;

  void route(uint8_t command);
  std::vector<SimPacket> handle(const SimPacket& request);
  std::vector<SimPacket> handleUei(const SimPacket& request, SetHook* hook, uint32_t* hookValue);
  std::vector<SimPacket> handleCapability(const SimPacket& request);
  SimPacket errorReply(uint8_t command, uint8_t replyOption, uint8_t index, uint8_t code) const;
  Option* find(uint8_t command, uint8_t index, uint8_t option);
  const Option* find(uint8_t command, uint8_t index, uint8_t option) const;

  ModuleEngine& engine_;
  const uint8_t address_;
  mutable std::mutex mutex_;
  std::map<EntityKey, Entity> entities_;
  std::map<std::pair<uint8_t, uint8_t>, Responder> responders_;
  std::function<bool()> gate_;
  uint32_t build_ = 0;
  std::vector<uint8_t> routed_;
};

}  // namespace simmodule

#endif
