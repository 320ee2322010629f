#ifndef TESTS_SIM_MODULE_REPLYFAULTS_H
#define TESTS_SIM_MODULE_REPLYFAULTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SimPacket.h"

namespace simmodule {

// One-shot faults in a module's answers, as a module on a busy bus makes
// them: an answer that leaves late (after the host gave up on it, while
// later answers leave on time), one that is lost (a piece of a transfer),
// one that comes from another address or names another entity index.
//
// Each fault waits for the answers its match accepts, lets `skip` of them
// pass and strikes the next; then it is spent. Faults are tried in the
// order they were armed, one per answer.
class ReplyFaults {
 public:
  using Match = std::function<bool(const SimPacket& answer)>;

  explicit ReplyFaults(ModuleEngine& engine);
  ~ReplyFaults();
  ReplyFaults(const ReplyFaults&) = delete;
  ReplyFaults& operator=(const ReplyFaults&) = delete;

  void late(Match match, uint32_t ms, size_t skip = 0);
  void lose(Match match, size_t skip = 0);
  void readdress(Match match, uint8_t address, size_t skip = 0);
  // Data byte 2 (a UEI specifier) keeps its flag bits and takes the index.
  void reindex(Match match, uint8_t index, size_t skip = 0);

  // Faults armed that have not struck yet.
  size_t armed() const;

  // Answers from the address whose data begin with the bytes.
  static Match startsWith(uint8_t address, std::vector<uint8_t> prefix);

 private:
  struct State;
  ModuleEngine& engine_;
  std::shared_ptr<State> state_;
};

}  // namespace simmodule

#endif
