#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Tessarine2/common/aTime.h"
#include "Tessarine2/objects/Module.h"
#include "Tessarine2/objects/SystemClass.h"
#include "updater/Updater.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterInternal.h"
#include "updater/support/Log.h"

using Zeltrova::Tessarine::Module;
using Zeltrova::Tessarine::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr uint32_t kConnectPauseMS = 1000;
// A module that answers the load request restarts into its loader right
// after the answer; its link goes down within this time, or the loader has
// taken over the link in place.
constexpr uint32_t kLoaderSettleMS = 1000;
constexpr uint32_t kLoaderSettlePollMS = 50;

std::string blockStep(const char* kind, unsigned n, size_t count) {
  char text[64];
  std::snprintf(text, sizeof text, "%s block %u of %u", kind, n, static_cast<unsigned>(count));
  return text;
}

void noteFailure(TransferFailure* failure, std::string step, aErr error, const std::string& cause) {
  if (failure != nullptr) {
    failure->step = std::move(step);
    failure->error = error;
    failure->cause = cause.empty() ? aError_GetErrorDescription(error) : cause;
  }
}

// The cause of a failure, for an error line.
std::string causeOf(const UpdaterEntity& upgrade, aErr error) {
  return upgrade.failureCause().empty() ? aError_GetErrorDescription(error) : upgrade.failureCause();
}

}  // namespace

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& container) {
  UpdaterEntity upgrade;
  aErr status = upgrade.init(&module, 0, true, false);
  if (status == aErrNone) {
    status = upgrade.LoaderInit();
  }
  if (status != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", status, aError_GetErrorText(status));
    display.message(kError, "Update failed at the loader init [%d, %s]: %s; the module's firmware is unchanged",
                    status, aError_GetErrorText(status), causeOf(upgrade, status).c_str());
    return status;
  }

  display.message(kInfo, "Transferring loader to device");
  const std::vector<BirdBlock> loaders = container.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);

  int n = 1;
  int total = 0;
  aErr failedBlock = aErrNone;
  std::string failedStep;
  std::string failedCause;
  unsigned position = 0;
  for (const BirdBlock& block : loaders) {
    ++position;
    display.message(kInfo, "Transferring loader block %d of %d, %d bytes", n, static_cast<int>(loaders.size()),
                    static_cast<int>(block.length));
    uint16_t blockSize = 0;
    status = upgrade.TransferPrepare(block.payload, block.length, block.flags, blockSize);
    if (status != aErrNone && status != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", status, aError_GetErrorText(status));
      failedStep = blockStep("loader", position, loaders.size());
      failedCause = causeOf(upgrade, status);
      break;
    }
    // A prepare that timed out is let through: the block goes all the same.
    status = upgrade.LoaderTransfer(block.payload, block.length);
    if (status != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", status, aError_GetErrorText(status));
      if (failedBlock == aErrNone) {
        failedBlock = status;
        failedStep = blockStep("loader", position, loaders.size());
        failedCause = causeOf(upgrade, status);
      }
      continue;
    }
    total += static_cast<int>(block.length);
    ++n;
  }

  display.display_progress(false);

  // A loader image with a block missing must not be started.
  if (status == aErrNone && failedBlock != aErrNone) {
    status = failedBlock;
  }
  if (status != aErrNone) {
    // Only RAM was written: the resident firmware still runs.
    display.message(kError, "Update failed at %s [%d, %s]: %s; the module's firmware is unchanged",
                    failedStep.c_str(), status, aError_GetErrorText(status), failedCause.c_str());
    return status;
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", n - 1, total);
  display.message(kInfo, "Starting Load on Device");
  status = upgrade.LoaderStart();
  if (status == aErrTimeout) {
    Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    status = aErrNone;
  } else if (status != aErrNone) {
    display.message(kError, "Error starting loader [%d, %s]: %s", status, aError_GetErrorText(status),
                    causeOf(upgrade, status).c_str());
  }
  return status;
}

bool _connect_loader_usb(Module& module, uint32_t first, uint32_t second) {
  for (uint32_t attempt = 0; attempt < CONNECT_ATTEMPTS; ++attempt) {
    module.discoverAndConnect(USB, first);
    if (!module.isConnected() && second != 0) {
      module.discoverAndConnect(USB, second);
    }
    if (module.isConnected()) {
      return true;
    }
    aTime_MSSleep(kConnectPauseMS);
  }
  return false;
}

bool _reconnect_loader(Module& module, uint32_t serialNumber) {
  for (uint32_t waited = 0; waited < kLoaderSettleMS && module.isConnected(); waited += kLoaderSettlePollMS) {
    aTime_MSSleep(kLoaderSettlePollMS);
  }
  if (module.isConnected()) {
    return true;
  }

  linkSpec first{};
  const bool known = module.getLinkSpecifier(&first) == aErrNone;
  module.disconnect();
  if (!known || first.type != TCPIP) {
    return _connect_loader_usb(module, serialNumber, 0);
  }
  // A module reached over TCP/IP comes back at the address and port it was
  // found at.
  for (uint32_t attempt = 0; attempt < CONNECT_ATTEMPTS; ++attempt) {
    module.reconnect();
    if (module.isConnected()) {
      return true;
    }
    module.disconnect();
    aTime_MSSleep(kConnectPauseMS);
  }
  return false;
}

uint32_t _reported_serial(Module& module, uint32_t fallback) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t reported = 0;
  return system.getSerialNumber(&reported) == aErrNone ? reported : fallback;
}

bool _loader_is_the_module(Module& module, uint32_t serialNumber, std::string* why) {
  linkSpec spec{};
  if (module.getLinkSpecifier(&spec) != aErrNone || spec.type != TCPIP) {
    return true;
  }
  SystemClass system;
  system.init(&module, 0);
  uint32_t reported = 0;
  const aErr err = system.getSerialNumber(&reported);
  if (err == aErrNone && (reported == serialNumber || reported == kDefaultSerial)) {
    return true;
  }
  // The address is kept in network order: its bytes as stored are the
  // dotted quad from left to right.
  uint8_t ip[4];
  std::memcpy(ip, &spec.t.ip.ip_address, sizeof ip);
  char text[160];
  if (err != aErrNone) {
    std::snprintf(text, sizeof text, "the module at %u.%u.%u.%u:%u did not report its serial number [%d, %s]", ip[0],
                  ip[1], ip[2], ip[3], spec.t.ip.ip_port, err, aError_GetErrorText(err));
  } else {
    std::snprintf(text, sizeof text, "the module at %u.%u.%u.%u:%u reports serial number [%08X], not [%08X]", ip[0],
                  ip[1], ip[2], ip[3], spec.t.ip.ip_port, reported, serialNumber);
  }
  *why = text;
  return false;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& container, bool noWait,
                        TransferFailure* failure) {
  const std::vector<BirdBlock> blocks = container.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  UpdaterEntity upgrade;
  aErr status = upgrade.init(&module, 0, true, noWait);
  if (status != aErrNone) {
    noteFailure(failure, blocks.empty() ? std::string("reboot") : blockStep("firmware", 1, blocks.size()), status,
                "the upgrade command could not be reached on the module");
    return status;
  }
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", container.path.c_str());

  unsigned n = 1;
  int total = 0;

  for (const BirdBlock& block : blocks) {
    bool sent = false;
    for (uint32_t attempt = 0; attempt < BLOCK_RETRIES; ++attempt) {
      display.message(kInfo, "Transferring firmware block %u of %u, %d bytes", n,
                      static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0) {
        display.message(kInfo, "  Retry %d", static_cast<int>(attempt));
      }
      uint16_t blockSize = 0;
      status = upgrade.TransferPrepare(block.payload, block.length, block.flags, blockSize);
      if (status != aErrNone) {
        // The loader refused the block or is gone: another try would not help.
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", status, aError_GetErrorText(status));
        break;
      }
      status = upgrade.FirmwareTransfer(block.payload, block.length, blockSize, display);
      if (status == aErrNone) {
        sent = true;
        break;
      }
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", status, aError_GetErrorText(status));
    }
    if (!sent) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      noteFailure(failure, blockStep("firmware", n, blocks.size()), status, upgrade.failureCause());
      return status;
    }
    total += static_cast<int>(block.length);
    ++n;
  }

  display.message(kInfo, "Transferred %d blocks, %d total bytes", static_cast<int>(n - 1), total);
  status = upgrade.LoaderReboot(display);
  if (status != aErrNone) {
    noteFailure(failure, "reboot", status, upgrade.failureCause());
  }
  return status;
}
