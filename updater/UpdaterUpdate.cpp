#include <memory>
#include <stdexcept>
#include <string>

#include "Tessarine2/common/aTime.h"
#include "Tessarine2/objects/Module.h"
#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"
#include "updater/firmware/FileError.h"
#include "updater/firmware/UpdaterStore.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/support/Log.h"

using Zeltrova::Tessarine::Module;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

unsigned buildFromText(const std::string& text) {
  try {
    return static_cast<unsigned>(std::stoul(text, nullptr, 10));
  } catch (const std::logic_error&) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
}

// The build to write when the caller named none: the server's latest when
// it is stored, else the recorded latest download, else the recorded latest
// transfer. 0 when there is none.
unsigned chooseBuild(UpdaterDisplayInterface& display, const std::string& url, unsigned serialNumber,
                     UpdaterStoreItem& item) {
  std::string serverBuild;
  std::string version;
  ServerRequestFailure failure;
  if (!UpdateServerRequest::QueryBuild(serialNumber, serverBuild, version, url.c_str(), &failure) &&
      failure.gaveUp) {
    // The update goes on with what is stored; a server that cannot be asked
    // is no reason to stop, but one that held the run this long is said.
    display.message(kError, "No build information for device: %s", failure.reason.c_str());
  }
  unsigned build = buildFromText(serverBuild);

  if (build != 0) {
    // Without a folder nothing of the module is stored (and an empty item
    // would look for the file outside the store).
    bool stored = false;
    if (item.IsValid()) {
      try {
        item.ReadBirdFile((std::to_string(build) + ".bird").c_str());
        stored = true;
      } catch (const std::runtime_error&) {
      }
    }
    if (!stored) {
      display.message(kInfo, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
      build = 0;
    }
  }
  if (build == 0) {
    build = item.RecordedBuild(UpdaterStoreKeys::LATEST_DOWNLOAD);
    if (build != 0) display.message(kInfo, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = item.RecordedBuild(UpdaterStoreKeys::LATEST_TRANSFER);
    if (build != 0) display.message(kInfo, "Updating with the Latest Transfer");
  }
  if (build == 0) {
    item.attributes.GetString(UpdaterStoreKeys::LAST_TRANSFER_VERSION, "");
  }
  return build;
}

// USB first; TCP/IP only when no module with the serial number is on USB.
aErr connectDirect(Module& module, unsigned serialNumber) {
  aErr err = module.connect(USB, serialNumber);
  if (err == aErrNotFound) {
    err = module.connect(TCPIP, serialNumber);
  }
  return err;
}

}  // namespace

bool Updater::Update_Firmware(unsigned serialNumber, unsigned build, std::string filePath, uint8_t moduleAddr,
                              unsigned routerSerial, bool overrideChecks) {
  if (serialNumber == 0) {
    display.message(kError, "Update command must specify the specific device");
    return false;
  }

  BirdFile container;
  UpdaterStoreItem item;
  std::unique_ptr<UpdaterStore> store;
  try {
    store = std::make_unique<UpdaterStore>(storeDir.c_str());
  } catch (const std::runtime_error& error) {
    display.message(kError, "%s", error.what());
    return false;
  }
  store->FindDevice(serialNumber, &item);
  const uint64_t start = aTime_GetMSTicks();

  if (filePath.empty() && build == 0) {
    build = chooseBuild(display, url, serialNumber, item);
    if (build == 0) {
      display.message(kError, "Could not find valid build for this device.");
      return false;
    }
  }

  try {
    container = load_bird("Updating", filePath, serialNumber, build, false);
  } catch (const std::runtime_error& error) {
    display.message(kError, "Failed to load bird file: %s", FileError::Describe(error).c_str());
    return false;
  }

  if (container.hasSerialOffsets) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!container.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(kError, "Could not put serial number [%08X] into the firmware image; nothing was sent",
                      serialNumber);
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module module(moduleAddr, 0);
  aErr status = _disableWeave(module, display);
  if (status == aErrNone) {
    if (routerSerial == 0) {
      status = connectDirect(module, serialNumber);
      if (status != aErrNone) {
        display.message(kError, "Failed to connect to module [%08X]", serialNumber);
      }
    } else {
      uint16_t address = moduleAddr;
      if (address == 0) {
        std::vector<DeviceInfo> found = Discover_TNNetwork_Devices(routerSerial, 0);
        if (found.empty()) {
          display.message(kError, "Unable to find modules on Network");
          return false;
        }
        for (const DeviceInfo& entry : found) {
          if (entry.spec.serial_num == serialNumber) address = entry.address;
        }
        if (address == 0) {
          display.message(kError,
                          "Module address required for indirect firmware update, could not find serial number "
                          "[0x%08X] on network",
                          serialNumber);
          return false;
        }
        module.setModuleAddress(static_cast<uint8_t>(address));
      }
      {
        // The target shares the router's link; the link stays open through
        // the target's use once the router's Module is gone.
        Module router(0, 0);
        aErr routerStatus = _disableWeave(router, display);
        if (routerStatus == aErrNone) routerStatus = connectDirect(router, routerSerial);
        if (routerStatus != aErrNone) {
          display.message(kError, "Failed to connect to link module [%08X]", routerSerial);
          return false;
        }
        status = module.connectThroughLinkModule(&router);
        if (status != aErrNone) {
          display.message(kError, "Failed to connect to module [%08X]", serialNumber);
        }
      }
    }

    if (status == aErrNone && !overrideChecks) {
      std::string mismatch;
      if (!_validate_birdfile(display, container, module, serialNumber, &mismatch)) {
        display.message(kError, "Birdfile failed validation: %s", mismatch.c_str());
        return false;
      }
    }
  }

  // The module the loader starts on: the one validated, or under override
  // whichever answered.
  const uint32_t identity =
      status == aErrNone && overrideChecks ? _reported_serial(module, serialNumber) : serialNumber;
  if (status == aErrNone) {
    status = _transfer_loader(display, module, container);
  }
  // From here on the module no longer runs its own firmware: a failure
  // leaves it in its loader, which only a recovery gets it out of.
  if (status == aErrNone && !_reconnect_loader(module, serialNumber)) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", aErrNotFound);
    display.message(kError,
                    "Update failed at the reconnect after the loader start: module [%08X] did not come back; it may "
                    "be in its loader and can be recovered with -t RECOVER",
                    serialNumber);
    return false;
  }
  std::string stranger;
  if (status == aErrNone && !_loader_is_the_module(module, identity, &stranger)) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", aErrConnection);
    display.message(kError,
                    "Update failed at the reconnect after the loader start: %s; nothing was written to it, and module "
                    "[%08X] may be in its loader and can be recovered with -t RECOVER",
                    stranger.c_str(), serialNumber);
    return false;
  }
  if (status == aErrNone) {
    TransferFailure failure;
    status = _transfer_firmware(display, module, container, routerSerial != 0, &failure);
    if (status != aErrNone) {
      display.message(kError,
                      "Update failed at %s [%d, %s]: %s; the module may be in its loader and can be recovered with "
                      "-t RECOVER",
                      failure.step.c_str(), failure.error, aError_GetErrorText(failure.error), failure.cause.c_str());
    }
  }
  if (status != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", status);
    return false;
  }

  if (filePath.empty()) {
    filePath = std::to_string(build) + ".bird";
  }
  // An update from a file may find no folder of the module: the record goes
  // into one made now, never into a ".settings" outside the store.
  std::string recordError = "the module has no folder in the store";
  if (!item.IsValid()) {
    try {
      item = store->AddDevice(serialNumber);
    } catch (const std::runtime_error& error) {
      recordError = error.what();
    }
  }
  // The module has its firmware even when the record fails; the failure is
  // still the user's to know: a later update without -b relies on it.
  if (!item.IsValid() || !item.ChangeAttributes(
                             [&](KeyValueStore& record) {
                               record.Add(UpdaterStoreKeys::LATEST_TRANSFER, filePath);
                               record.Add(UpdaterStoreKeys::LAST_TRANSFER_DATE, KeyValueStore::CurrentTimeText());
                             },
                             &recordError)) {
    display.message(kError, "Firmware written, but the transfer of %s could not be recorded: %s", filePath.c_str(),
                    recordError.c_str());
    return false;
  }
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  const uint64_t end = aTime_GetMSTicks();
  display.message(kInfo, "Update time: %.4f sec", (static_cast<double>(end) - static_cast<double>(start)) / 1000.0);
  return true;
}
