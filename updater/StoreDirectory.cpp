#include "updater/StoreDirectory.h"

#include "Tessarine2/common/aDirectory.h"
#include "updater/support/BuildPath.h"
#include "updater/support/Log.h"

namespace {
constexpr size_t kHomeDirectorySize = 2048;
constexpr uint16_t kStoreDirectoryMode = 0755;
}  // namespace

int _ensure_store_directory(UpdaterDisplayInterface& display, Parameters& params) {
  if (params.storeDir.empty()) {
    char home[kHomeDirectorySize];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      return 1;
    }
    params.storeDir = BuildPath(home, ".zeltrova", nullptr);
  }
  // -i names the parent of the store, like the home directory's ".zeltrova".
  params.storeDir = BuildPath(params.storeDir.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(params.storeDir.c_str(), kStoreDirectoryMode) != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s",
                    params.storeDir.c_str());
    return 1;
  }
  return 0;
}
