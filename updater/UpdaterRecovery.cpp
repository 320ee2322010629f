#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tessarine2/common/aTime.h"
#include "Tessarine2/objects/Module.h"
#include "updater/Updater.h"
#include "updater/LpcRecoveryPlan.h"
#include "updater/UpdaterInternal.h"
#include "updater/firmware/FileError.h"
#include "updater/firmware/UpdaterStore.h"
#include "updater/recovery/NXPSerialClass.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/support/Log.h"

using Zeltrova::Tessarine::Module;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// The fingerprint step of a recovery always synchronises the chip at this
// rate, whatever rate the flashing then uses.
constexpr unsigned kFingerprintBaud = 115200;

// LPC17xx flash: sectors 0 to 29 are erased before anything is written.
constexpr unsigned kFirstSector = 0;
constexpr unsigned kLastSector = 29;
// Staging RAM for one copy, the largest the chip makes.
constexpr unsigned kChunkBytes = 4096;
// Erased flash; programming it changes nothing.
constexpr unsigned char kErasedByte = 0xFF;

// One error line for a recovery that stopped at `step`. Once the erase has
// been sent the chip holds no usable firmware until it is recovered again,
// and the user must know that before unplugging it.
void reportRecoveryFailure(UpdaterDisplayInterface& display, const char* step, bool flashTouched) {
  if (flashTouched) {
    display.message(kError, "Recovery failed at %s; the chip's flash is incomplete and it needs another recovery",
                    step);
  } else {
    display.message(kError, "Recovery failed at %s; flash left as it was", step);
  }
}

// The chip's ISP handler keeps the rate it synchronised at until it is told
// otherwise, so a flashing rate other than the fingerprint step's is
// announced at the old rate ("B") before the port follows.
aErr connectForFlashing(NXPSerialClass& isp, const std::string& port, unsigned baud) {
  aErr err = isp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    return err;
  }
  const unsigned rate = isp.baudRate();
  if (rate == kFingerprintBaud) {
    return aErrNone;
  }
  if ((err = isp.Connect(port.c_str(), kFingerprintBaud)) != aErrNone) {
    return err;
  }
  if ((err = isp.SetBaudRate(rate)) != aErrNone) {
    Log::log(DEBUG_Network, "Could not switch the device to %u baud\n", rate);
    return err;
  }
  return isp.Connect(port.c_str(), rate);
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& container, unsigned serialNumber) {
  Module module(0, 0);
  if (_disableWeave(module, display) != aErrNone) {
    return false;  // its own line is shown
  }
  // The running recovery loader shows itself under the default serial
  // number, or already under the module's own.
  const uint32_t second = serialNumber != kDefaultSerial ? serialNumber : 0;
  if (!_connect_loader_usb(module, kDefaultSerial, second)) {
    display.message(kError, "Could not connect to device");
    return false;
  }
  TransferFailure failure;
  const aErr status = _transfer_firmware(display, module, container, false, &failure);
  if (status != aErrNone) {
    display.message(kError, "Failed to transfer firmware at %s [%d, %s]: %s", failure.step.c_str(), failure.error,
                    aError_GetErrorText(failure.error), failure.cause.c_str());
    return false;
  }
  return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& container, std::string& port, unsigned baud,
                           Fingerprint&) {
  // The whole container is judged before the chip is erased: a block the
  // chip cannot take must not leave it blank.
  std::vector<LpcFlashBlock> plan;
  std::string refusal;
  const std::vector<BirdBlock> blocks = container.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  if (!planLpcFlashBlocks(blocks, &plan, &refusal)) {
    display.message(kError, "Recovery container refused, flash left as it was: %s", refusal.c_str());
    return false;
  }

  NXPSerialClass isp;
  if (connectForFlashing(isp, port, baud) != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    reportRecoveryFailure(display, "connecting to the chip", false);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (isp.Unlock() != aErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    reportRecoveryFailure(display, "unlock", false);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (isp.Prepare(kFirstSector, kLastSector) != aErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    reportRecoveryFailure(display, "prepare of sectors 0 to 29", false);
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (isp.Erase(kFirstSector, kLastSector) != aErrNone) {
    // A refused or unanswered erase may have cleared some sectors already.
    Log::log(DEBUG_Network, "Could not erase\n");
    reportRecoveryFailure(display, "erase of sectors 0 to 29", true);
    return false;
  }

  isp.SetEcho(false);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", container.path.c_str());

  const int shown = static_cast<int>(blocks.size()) - 1;
  int n = 1;
  int total = 0;
  // One copy's worth of staging RAM. A copy moves more than a short chunk
  // holds: the rest is sent as erased flash, so the copy programs nothing
  // beyond the chunk (RAM would otherwise still hold the previous chunk,
  // which would land on flash that a later block fills).
  std::vector<unsigned char> staging(kChunkBytes);
  char step[96];

  for (const LpcFlashBlock& block : plan) {
    display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", n, shown, static_cast<int>(block.length));
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
             static_cast<int>(block.length), block.address);

    uint32_t offset = 0;
    for (const LpcFlashChunk& c : block.chunks) {
      std::copy(c.data, c.data + c.chunk, staging.begin());
      std::fill(staging.begin() + c.chunk, staging.begin() + c.copy, kErasedByte);

      Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(c.chunk),
               c.target);
      Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(c.copy),
               NXPSerialClass::WRITE_ADDRESS);
      if (isp.Write(NXPSerialClass::WRITE_ADDRESS, c.copy, staging.data()) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        display.display_progress(false);
        snprintf(step, sizeof step, "RAM write for flash 0x%08X of firmware block %d", c.target, n);
        reportRecoveryFailure(display, step, true);
        return false;
      }
      // Every sector the copy touches, not only those of the chunk.
      const unsigned first = NXPSerialClass::SectorFromAddress(c.target);
      const unsigned last = NXPSerialClass::SectorFromAddress(c.target + c.copy - 1);
      Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
      if (isp.Prepare(first, last) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Prepare failed\n");
        display.display_progress(false);
        snprintf(step, sizeof step, "prepare of sectors %u to %u for firmware block %d", first, last, n);
        reportRecoveryFailure(display, step, true);
        return false;
      }
      Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", c.copy, NXPSerialClass::WRITE_ADDRESS,
               c.target);
      if (isp.CopyToFlash(c.target, NXPSerialClass::WRITE_ADDRESS, c.copy) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
        display.display_progress(false);
        snprintf(step, sizeof step, "copy to flash 0x%08X of firmware block %d", c.target, n);
        reportRecoveryFailure(display, step, true);
        return false;
      }
      offset += c.chunk;
      display.update_progress(static_cast<double>(offset) / static_cast<double>(block.length), nullptr);
    }
    display.display_progress(false);
    total += static_cast<int>(offset);
    ++n;
  }

  display.message(kInfo, "Transferred %d blocks, %d total bytes", shown, total);

  const aErr err = isp.SetEcho(true);
  if (err != aErrNone) {
    display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", err,
                    aError_GetErrorText(static_cast<uint32_t>(err)));
    return false;
  }
  display.message(kInfo, "Rebooting Device");
  // The chip leaves its boot ROM; what it answers is of no use.
  isp.ExecuteFrom(0);
  return true;
}

}  // namespace

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baudRate, unsigned serialNumber,
                               std::string filePath, bool) {
  BirdFile container;
  try {
    UpdaterStore store(storeDir.c_str());
  } catch (const std::runtime_error& error) {
    display.message(kError, "%s", error.what());
    return false;
  }
  const uint64_t start = aTime_GetMSTicks();

  Fingerprint fingerprint{};
  std::string why;
  const unsigned shown = display.errors_shown();
  if (!Get_Fingerprint(fingerprint, port, serialNumber, filePath, kFingerprintBaud, false, &why)) {
    // A road that said why it stopped has said it all.
    if (display.errors_shown() == shown) {
      display.message(kError, "Could not get Device Identifier%s%s", why.empty() ? "" : ": ", why.c_str());
    }
    return false;
  }

  if (filePath.empty()) {
    const unsigned requestedBuild = build;
    ServerRequestFailure failure;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &build, url.c_str(), &failure)) {
      display.message(kError, "Failed to retrieve recovery information from Zeltrova server: %s",
                      failure.reason.c_str());
      return false;
    }
    if (serialNumber == 0) {
      // A lookup that names no module leaves nothing to load.
      display.message(kError, "Failed to retrieve recovery information from Zeltrova server: "
                              "it names no module for the chip's fingerprint");
      return false;
    }
    if (requestedBuild != 0) {
      build = requestedBuild;
    }
  }

  try {
    container = load_bird("Recovering", filePath, serialNumber, build, true);
  } catch (const std::runtime_error& error) {
    display.message(kError, "Failed to load bird file: %s", FileError::Describe(error).c_str());
    return false;
  }
  if (container.hasSerialOffsets) {
    display.message(kError, "Updater does not support offline recovery");
    return false;
  }

  bool recovered = false;
  switch (recoveryChip) {
    case kRecoveryChipIMX:
      recovered = _recover_firmware_imx(display, container, serialNumber);
      break;
    case kRecoveryChipLPC:
      container.DecodeFirmwareBlocks(fingerprint.words);
      recovered = _recover_firmware_lpc(display, container, port, baudRate, fingerprint);
      break;
    default:
      display.message(kError, "Unknown device");
      break;
  }

  const uint64_t end = aTime_GetMSTicks();
  display.message(kInfo, "Update time: %.4f sec", (static_cast<double>(end) - static_cast<double>(start)) / 1000.0);
  return recovered;
}
