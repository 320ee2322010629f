#include "tests/sim/module/ReplyFaults.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace simmodule {

namespace {

constexpr uint8_t kIndexBits = 0x1F;

enum class Action { Late, Lose, Readdress, Reindex };

struct Fault {
  ReplyFaults::Match match;
  Action action;
  uint32_t value;
  size_t skip;
};

}  // namespace

// Shared with the engine's hook, which may still be running on the front's
// thread while the faults go.
struct ReplyFaults::State {
  mutable std::mutex mutex;
  std::vector<Fault> faults;

  bool strike(SimPacket* packet, uint32_t* delayMS) {
    std::lock_guard<std::mutex> hold(mutex);
    for (auto fault = faults.begin(); fault != faults.end(); ++fault) {
      if (!fault->match(*packet)) {
        continue;
      }
      if (fault->skip > 0) {
        --fault->skip;
        continue;
      }
      const Fault struck = *fault;
      faults.erase(fault);
      switch (struck.action) {
        case Action::Late:
          *delayMS += struck.value;
          return true;
        case Action::Lose:
          return false;
        case Action::Readdress:
          packet->address = static_cast<uint8_t>(struck.value);
          return true;
        case Action::Reindex:
          if (packet->data.size() > 2) {
            packet->data[2] = static_cast<uint8_t>((packet->data[2] & ~kIndexBits) | (struck.value & kIndexBits));
          }
          return true;
      }
    }
    return true;
  }
  void arm(Fault fault) {
    std::lock_guard<std::mutex> hold(mutex);
    faults.push_back(std::move(fault));
  }
};

ReplyFaults::ReplyFaults(ModuleEngine& engine) : engine_(engine), state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  engine_.setAnswerHook([state](SimPacket* packet, uint32_t* delayMS) { return state->strike(packet, delayMS); });
}

ReplyFaults::~ReplyFaults() { engine_.setAnswerHook(nullptr); }

void ReplyFaults::late(Match match, uint32_t ms, size_t skip) {
  state_->arm(Fault{std::move(match), Action::Late, ms, skip});
}

void ReplyFaults::lose(Match match, size_t skip) { state_->arm(Fault{std::move(match), Action::Lose, 0, skip}); }

void ReplyFaults::readdress(Match match, uint8_t address, size_t skip) {
  state_->arm(Fault{std::move(match), Action::Readdress, address, skip});
}

void ReplyFaults::reindex(Match match, uint8_t index, size_t skip) {
  state_->arm(Fault{std::move(match), Action::Reindex, index, skip});
}

size_t ReplyFaults::armed() const {
  std::lock_guard<std::mutex> hold(state_->mutex);
  return state_->faults.size();
}

ReplyFaults::Match ReplyFaults::startsWith(uint8_t address, std::vector<uint8_t> prefix) {
  return [address, prefix](const SimPacket& answer) {
    return answer.address == address && answer.data.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), answer.data.begin());
  };
}

}  // namespace simmodule
