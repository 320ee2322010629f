#ifndef TESTS_SIM_MODULE_UPGRADECOMMAND_H
#define TESTS_SIM_MODULE_UPGRADECOMMAND_H

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "tests/sim/module/ModuleEngine.h"

namespace simmodule {

// The module's side of the firmware-upgrade command (95) on one node of a
// simulated module. Requests and replies are the data of module packets,
// multi-byte numbers most significant byte first:
//
//   [95, 0]                      init      -> [95, 0, load base (4)]
//   [95, 3, flags, address (4)]  prepare   -> [95, 7, status, block size (2)]
//   [95, 1, payload (1..26)]     data      -> [95, 1, bytes taken]
//   [95, 4]                      sum       -> [95, 7, status, sum (4)]
//   [95, 5, count (2)]           write     -> [95, 7, status]
//   [95, 2]                      load      -> [95, 2]
//   [95, 6]                      reboot    (no reply)
//
// The resident firmware takes an upgrade (init first), loader blocks into
// RAM (prepare, data, sum) and the load request, after which the module
// restarts into the loader. The loader takes firmware blocks: prepare sets
// the flash address, data pieces collect, sum covers the bytes since the
// last prepare or write, write puts the collected bytes into flash at the
// address and moves it on. Reboot restarts the module into its (new)
// firmware. A restart drops the host's link unless the node sits behind a
// router.
class UpgradeCommand {
 public:
  static constexpr uint8_t kCommand = 95;
  static constexpr uint8_t kInit = 0;
  static constexpr uint8_t kData = 1;
  static constexpr uint8_t kLoad = 2;
  static constexpr uint8_t kPrepare = 3;
  static constexpr uint8_t kSum = 4;
  static constexpr uint8_t kWrite = 5;
  static constexpr uint8_t kReboot = 6;
  static constexpr uint8_t kStatus = 7;

  // Status bytes of the replies tagged 7.
  static constexpr uint8_t kAccepted = 0;
  static constexpr uint8_t kRefused = 1;
  static constexpr uint8_t kNotBegun = 2;  // loader prepare before init on the resident firmware
  static constexpr uint8_t kBadCount = 3;  // write count differs from the bytes collected

  enum class Mode { Resident, Loader };

  // What the resident firmware does with the load request.
  enum class Load {
    ReplyThenRestart,     // answers, then restarts into the loader
    RestartWithoutReply,  // restarts at once
    ReplyAndStay,         // answers; the loader takes over the same link
  };

  struct Settings {
    uint32_t loadBase = 0x20000000;
    uint16_t residentBlockSize = 64;   // block size the resident firmware reports
    uint16_t loaderBlockSize = 256;    // block size the loader reports
    Load load = Load::ReplyThenRestart;
    bool dropLinkOnRestart = true;     // false for a node behind a router
    // How the host's connection ends when the module restarts, runs on the
    // front's thread after the reply has been queued. Default: the
    // engine's disconnect (a TCP front resets the connection).
    std::function<void()> endConnection;
  };

  // Faults; each counter is used up one event at a time.
  struct Faults {
    bool shortInitReply = false;       // the init reply has 5 data bytes
    bool refuseResidentPrepare = false;
    bool refuseLoaderPrepare = false;
    int badSums = 0;                   // next sum replies off by one
    int badLoaderSums = 0;             // the same, counting only the loader's sums
    int rejectedPieces = 0;            // next data pieces taken with count 0
    int dropAfterLoaderPieces = 0;     // the link drops, unanswered, at this loader piece (1 = the first)
    bool failWrites = false;
    bool keepLinkOnReboot = false;
  };

  struct Counts {
    int inits = 0;
    int prepares = 0;
    int pieces = 0;
    int sums = 0;
    int writes = 0;
    int loads = 0;
    int reboots = 0;
  };

  // A block the resident firmware received into RAM.
  struct RamBlock {
    uint8_t flags;
    uint32_t address;
    std::vector<uint8_t> bytes;
  };

  // Installs the handler of command 95 on the node (added when missing).
  UpgradeCommand(ModuleEngine& engine, uint8_t node, Settings settings);
  UpgradeCommand(ModuleEngine& engine, uint8_t node) : UpgradeCommand(engine, node, Settings()) {}
  ~UpgradeCommand();
  UpgradeCommand(const UpgradeCommand&) = delete;
  UpgradeCommand& operator=(const UpgradeCommand&) = delete;

  void setFaults(const Faults& faults);
  void setMode(Mode mode);

  Mode mode() const;
  Counts counts() const;
  std::vector<RamBlock> ramBlocks() const;
  // Flags of the loader's prepares, in order.
  std::vector<uint8_t> loaderPrepareFlags() const;
  // length bytes of flash from address; unwritten bytes read 0xFF.
  std::vector<uint8_t> flash(uint32_t address, size_t length) const;
  size_t flashBytesWritten() const;

 private:
  std::vector<SimPacket> handle(const SimPacket& request);
  std::vector<SimPacket> resident(const SimPacket& request, bool* restart);
  std::vector<SimPacket> loader(const SimPacket& request, bool* drop);
  std::vector<SimPacket> takePiece(const SimPacket& request);
  SimPacket status(const SimPacket& request, uint8_t code) const;
  SimPacket sumReply(const SimPacket& request);

  ModuleEngine& engine_;
  const uint8_t node_;
  const Settings settings_;

  mutable std::mutex mutex_;
  Faults faults_;
  Counts counts_;
  Mode mode_ = Mode::Resident;
  bool begun_ = false;
  bool prepared_ = false;
  std::vector<RamBlock> ram_;
  std::vector<uint8_t> collected_;  // loader: bytes since the last prepare or write
  uint32_t sum_ = 0;
  uint32_t cursor_ = 0;             // loader: flash address of the next write
  int loaderPieces_ = 0;
  std::vector<uint8_t> loaderFlags_;
  std::map<uint32_t, uint8_t> flash_;
};

}  // namespace simmodule

#endif
