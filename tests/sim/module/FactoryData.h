#ifndef TESTS_SIM_MODULE_FACTORYDATA_H
#define TESTS_SIM_MODULE_FACTORYDATA_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SimPacket.h"

namespace simmodule {

// A module's factory data: 16 blocks, reached with command 0x5E ('^').
// Byte 1 of a request is the block index (low 4 bits) with flags: 0x10
// write, 0x20 end of transfer, 0x40 first piece of a transfer.
//
//   ['^', i | 0x40] then ['^', i], ...      read  -> ['^', i, up to 26 bytes];
//                                           a reply of 28 data bytes means more follow
//   ['^', i | 0x50, data] then ['^', i | 0x10, data], ...
//                                           write -> ['^', i]
//   ['^', 0x20, count high, count low]      end   -> ['^', 0x00]; a write takes
//                                           effect here, when the count is right
//   error                                          -> ['^', i | 0x80, code]
//                                           (['^', 0x80, code] for an end)
//
// Its handler runs on the front's thread: stop the front before it goes.
class FactoryData {
 public:
  // Answers a request in place of the module when it returns true.
  using Override = std::function<bool(const SimPacket& request, std::vector<SimPacket>* answer)>;

  static constexpr uint8_t kCommandFactory = 0x5E;
  static constexpr uint8_t kErrParam = 2;
  static constexpr uint8_t kErrSize = 14;

  FactoryData(ModuleEngine& engine, uint8_t address, size_t blockCapacity = 256);
  ~FactoryData();
  FactoryData(const FactoryData&) = delete;
  FactoryData& operator=(const FactoryData&) = delete;

  void setBlock(uint8_t index, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> block(uint8_t index) const;
  void setOverride(Override override);
  // The count of the last end of transfer taken, and how many were taken.
  uint16_t lastEndCount() const;
  size_t ends() const;

 private:
  enum class Transfer { None, Read, Write };

  std::vector<SimPacket> handle(const SimPacket& request);

  ModuleEngine& engine_;
  const uint8_t address_;
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::array<std::vector<uint8_t>, 16> blocks_;
  Override override_;
  Transfer transfer_ = Transfer::None;
  uint8_t index_ = 0;
  size_t moved_ = 0;  // bytes read or written in the transfer
  std::vector<uint8_t> written_;
  uint16_t lastEndCount_ = 0;
  size_t ends_ = 0;
};

}  // namespace simmodule

#endif
