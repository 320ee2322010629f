#ifndef TESTS_SIM_MODULE_STREAMSOURCE_H
#define TESTS_SIM_MODULE_STREAMSOURCE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SimPacket.h"

namespace simmodule {

// Streaming as a module does it. The host asks for a stream key with the
// stream-control command 93 (entity index 0):
//
//   [93, 0x81, 0x20, m, c, o, i]  stream what the key covers -> [93, 0xC1, 0x00]
//   [93, 0x82, 0x20, m, c, o, i]  stop streaming the key      -> [93, 0xC2, 0x00]
//   [93, 0x41, 0x20]              streaming at all?           -> [93, 0x01, 0x00, 0 or 1]
//
// m is the module's own address; 0xFF in c, o or i covers every command,
// option or index. Refused requests get [93, option | 0xC0 (bare option for
// a get), 0x80, code].
//
// While a key covers one of its values, the module sends samples of its own
// accord, from its address:
//
//   [c, o, 0x40 | i, kind, (subindex,) time high 4, time low 4, value, 0]
//
// kind 1/2/3 a value of 1/2/4 bytes, 5/6/7 the same with a subindex byte
// after the kind; the time is microseconds since the source was made, the
// value most significant byte first, and the last byte a sequence byte of 0.
// Kind 4 is a byte array in packets [c, o, 0x40 | i, up to 24 bytes,
// number | 0x80 when more follow].
//
// Its handler runs on the front's thread: stop the front before the source
// goes.
class StreamSource {
 public:
  enum Kind : uint8_t { U8 = 1, U16 = 2, U32 = 3, Bytes = 4, SubU8 = 5, SubU16 = 6, SubU32 = 7 };

  static constexpr uint8_t kCommandStream = 93;
  static constexpr uint8_t kErrParam = 2;

  StreamSource(ModuleEngine& engine, uint8_t address);
  ~StreamSource();
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  // --- what the module samples. Each sample of a value carries the next
  // number of its own count, from first upward (modulo its width); a byte
  // array carries `length` bytes counting up.
  void addValue(uint8_t command, uint8_t option, uint8_t index, Kind kind, uint8_t subindex = 0, uint32_t first = 0,
                uint8_t length = 30);

  // --- samples on demand, covered by a key or not.
  void sendSample(uint8_t command, uint8_t option, uint8_t index, Kind kind, uint32_t value, uint8_t subindex = 0);
  void sendBytes(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes);
  // One sample of every value a key covers, rounds times, in one write.
  // The number of samples sent.
  size_t burst(size_t rounds);
  // Samples every covered value rate times per second until stop (or rate
  // 0).
  void start(uint32_t rate);
  void stop();

  // --- a module that keeps its stream keys over a restart: the keys it
  // starts with, and a hook told of every change before the request that
  // made it is answered (on the front's thread, with the source's lock
  // held: it must not call the source).
  void enableKeys(const std::vector<uint32_t>& keys);
  void onKeysChanged(std::function<void(const std::vector<uint32_t>&)> changed);

  // --- faults: stream control unanswered, or refused with the code.
  void setControlSilent(bool silent);
  void setControlError(uint8_t code);

  // --- records
  std::vector<uint32_t> enabledKeys() const;
  size_t controlRequests() const;
  uint64_t samplesSent() const;

  // The packets of one sample or one array, as the module sends them.
  static SimPacket sample(uint8_t address, uint8_t command, uint8_t option, uint8_t index, Kind kind, uint32_t value,
                          uint8_t subindex, uint64_t timestamp);
  static std::vector<SimPacket> arrayPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                             const std::vector<uint8_t>& bytes);

 private:
  using Clock = std::chrono::steady_clock;
  struct Value {
    uint8_t command;
    uint8_t option;
    uint8_t index;
    Kind kind;
    uint8_t subindex;
    uint32_t next;
    uint8_t length;
  };

  std::vector<SimPacket> control(const SimPacket& request);
  bool covered(const Value& value) const;  // mutex_ held
  // The wire bytes of one round over the covered values; mutex_ held.
  size_t appendRound(std::vector<uint8_t>* wire);
  uint64_t now() const;
  void loop();

  ModuleEngine& engine_;
  const uint8_t address_;
  const Clock::time_point epoch_;

  mutable std::mutex mutex_;
  std::vector<Value> values_;
  std::vector<uint32_t> enabled_;
  std::function<void(const std::vector<uint32_t>&)> keysChanged_;
  bool controlSilent_ = false;
  uint8_t controlError_ = 0;
  size_t controlRequests_ = 0;
  uint64_t samplesSent_ = 0;

  std::mutex runMutex_;
  std::condition_variable runCv_;
  uint32_t rate_ = 0;
  uint64_t generation_ = 0;  // bumped by every start and stop
  bool quitting_ = false;
  std::thread thread_;
};

}  // namespace simmodule

#endif
