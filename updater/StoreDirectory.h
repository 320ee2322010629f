#ifndef UPDATER_STOREDIRECTORY_H
#define UPDATER_STOREDIRECTORY_H

#include "updater/CommandLine.h"
#include "updater/support/UpdaterDisplayInterface.h"

// Completes params.storeDir and makes sure the directory exists: the -i
// directory, else ".zeltrova" in the home directory, in either case with
// "updater" appended; made with mode 0755. 0 when it exists, else 1.
int _ensure_store_directory(UpdaterDisplayInterface& display, Parameters& params);

#endif
