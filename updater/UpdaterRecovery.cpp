// PLACEHOLDER, to be replaced: recovery through the boot ROM and the chip
// fingerprint are not built yet. Until they are, both operations report
// that they cannot run and fail.

#include "updater/Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Fingerprint reading is not available in this build");
  return false;
}

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Recovery is not available in this build");
  return false;
}
