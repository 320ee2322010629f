#ifndef UPDATER_UPDATERENTITY_H
#define UPDATER_UPDATERENTITY_H

#include <cstdint>
#include <string>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/objects/EntityClass.h"
#include "updater/support/UpdaterDisplayInterface.h"

namespace Zeltrova {
namespace Tessarine {
class Module;
}  // namespace Tessarine
}  // namespace Zeltrova

// The firmware-upgrade command (95) of a running module. The module's
// resident firmware takes a loader image into RAM and starts it; the loader
// takes firmware blocks, checks them, writes them into flash and reboots the
// module. Request and reply data (multi-byte numbers big-endian):
//
//   init     [95, 0]                     -> [95, 0, load base (4)]
//   prepare  [95, 3, flags, address (4)] -> [95, 7, status, block size (2)]
//   data     [95, 1, payload (1..26)]    -> [95, 1, bytes taken]
//   sum      [95, 4]                     -> [95, 7, status, sum (4)]
//   write    [95, 5, count (2)]          -> [95, 7, status]
//   load     [95, 2]                     -> [95, 2]
//   reboot   [95, 6]                     (no reply)
//
// A reply is the first packet whose first two data bytes are the awaited
// pair, from any module on the link. Blocks are those of the firmware
// container: 4 bytes of target address, then the payload; block lengths
// count the address bytes.
//
// Loader phase: init(module, 0, true, false), LoaderInit, then per loader
// block TransferPrepare and LoaderTransfer, then LoaderStart. Firmware
// phase, on a new entity once the loader runs: init, then per firmware
// block TransferPrepare and FirmwareTransfer with the block size it gave,
// then LoaderReboot.
class UpdaterEntity : public Zeltrova::Tessarine::EntityClass {
 public:
  static constexpr uint8_t cmdUPGRADE = 95;
  static constexpr uint8_t val_UPGRADE_INIT = 0;
  static constexpr uint8_t val_UPGRADE_DATA = 1;
  static constexpr uint8_t val_UPGRADE_LOAD = 2;
  static constexpr uint8_t val_UPGRADE_PREPARE = 3;
  static constexpr uint8_t val_UPGRADE_SUM = 4;
  static constexpr uint8_t val_UPGRADE_WRITE = 5;
  static constexpr uint8_t val_UPGRADE_REBOOT = 6;
  static constexpr uint8_t val_UPGRADE_STATUS = 7;

  // Payload bytes per data packet: a packet holds 28 data bytes, two of
  // which carry the command and the option.
  static constexpr uint32_t kPieceSize = 26;
  // A piece whose acknowledgement keeps naming another count is sent at
  // most this often in all.
  static constexpr uint32_t kPieceAttempts = 16;
  // Polls of 250 ms for the link to drop after the reboot request (30 s).
  static constexpr uint32_t kRebootPolls = 120;

  UpdaterEntity();
  ~UpdaterEntity() override;

  aErr init(Zeltrova::Tessarine::Module* module, uint8_t index, bool verify, bool noWait);

  aErr LoaderInit();
  // On success blockSize is what the module will take per write.
  aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize);
  aErr LoaderTransfer(const uint8_t* data, uint32_t length);
  aErr LoaderStart();
  aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface& display);
  // Writes the bytes received since the last prepare or write; the low 16
  // bits of count are sent.
  aErr FirmwareWrite(uint32_t count);
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  // What went wrong in the last operation that failed, in words ("the
  // module refused to prepare the block (status 1)", "no answer to the
  // write request within 1.0 s"); empty before any failure.
  const std::string& failureCause() const { return cause; }

 private:
  aErr _reconnect(uint32_t delayMS);
  // Data pieces, then (with verify) the sum check.
  aErr _block_transfer(const uint8_t* payload, uint32_t length, uint32_t& pieces);
  // Sends [95, option, bytes...].
  aErr send(uint8_t option, const uint8_t* bytes, uint8_t count);
  // Waits for [95, reply, ...] into buffer (28 bytes, preset by the caller);
  // `what` names the request in the failure cause.
  aErr await(uint8_t* buffer, uint8_t* length, const char* what);
  // Records the cause of a failure and returns err.
  aErr fail(aErr err, const char* format, ...) __attribute__((format(printf, 3, 4)));
  aErr sendFailed(aErr err, const char* what);

  Zeltrova::Tessarine::Module* module;
  bool verify;
  bool noWait;
  std::string cause;
};

#endif
