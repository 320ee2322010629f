#include <cstdio>
#include <string>

#include "Tessarine2/common/aDefs.h"
#include "Tessarine2/objects/Module.h"
#include "Tessarine2/objects/SystemClass.h"
#include "Tessarine2/objects/aWeaveConfig.h"
#include "updater/UpdaterInternal.h"
#include "updater/support/Log.h"

using Zeltrova::Tessarine::aWeaveConfig;
using Zeltrova::Tessarine::Module;
using Zeltrova::Tessarine::SystemClass;

aErr _disableWeave(Module& module, UpdaterDisplayInterface& display) {
  // Port 0 and the loopback interface stay as the defaults have them.
  aWeaveConfig config;
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  aErr err = module.setConfig(config);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  }
  return err;
}

namespace {

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& container, Module& module,
                        unsigned serialNumber, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  reason.clear();
  if (container.blockCount == 0) {
    reason = container.path + " holds no blocks";
    return false;
  }
  // A generic image carries no serial number of its own.
  if (!container.hasSerialOffsets && !container.ValidateSerialNumber(serialNumber)) {
    reason = container.HasDescriptor()
                 ? container.path + " is for device " + hex8(container.GetSerialNumber()) + ", not " +
                       hex8(serialNumber)
                 : container.path + " names no device (it has no descriptor block), not " + hex8(serialNumber);
    return false;
  }
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");

  SystemClass system;
  system.init(&module, 0);
  uint32_t reported = 0;
  aErr err = system.getSerialNumber(&reported);
  if (err != aErrNone || reported != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    reason = err != aErrNone ? "the module did not tell its serial number (" +
                                   std::string(aError_GetErrorText(err)) + ")"
                             : "the module reports serial number " + hex8(reported) + ", not " + hex8(serialNumber);
    return false;
  }

  uint8_t model = 0;
  err = system.getModel(&model);
  const char* modelName = aDefs_GetModelName(model);
  if (!container.ValidateModel(modelName)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Connected device model and Bird file model do not match [%s] (%d)", modelName, err);
    const std::string wanted = container.GetModel();
    reason = container.path + " is for " + (wanted.empty() ? std::string("no model") : "model " + wanted) +
             ", the module is " + (err != aErrNone ? std::string("of unknown model") : std::string("a ") + modelName);
    return false;
  }
  return true;
}
