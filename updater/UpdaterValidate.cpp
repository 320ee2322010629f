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

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& container, Module& module,
                        unsigned serialNumber) {
  if (container.blockCount == 0) {
    return false;
  }
  // A generic image carries no serial number of its own.
  if (!container.hasSerialOffsets && !container.ValidateSerialNumber(serialNumber)) {
    return false;
  }
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");

  SystemClass system;
  system.init(&module, 0);
  uint32_t reported = 0;
  aErr err = system.getSerialNumber(&reported);
  if (err != aErrNone || reported != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }

  uint8_t model = 0;
  err = system.getModel(&model);
  const char* modelName = aDefs_GetModelName(model);
  if (!container.ValidateModel(modelName)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Connected device model and Bird file model do not match [%s] (%d)", modelName, err);
    return false;
  }
  return true;
}
