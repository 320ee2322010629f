#include "updater/UpdaterMain.h"

#include <cstdio>

#include "updater/StoreDirectory.h"
#include "updater/Usage.h"
#include "updater/support/Log.h"

int _updater_main(int argc, char** argv, UpdaterDisplayInterface& display,
                  const std::function<int(Parameters&)>& runCommands) {
  Parameters params;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, params) != 0) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    _release_params(params);
    return 1;
  }

  _display_app_version(display);

  if (params.commands.IsSet(CMD_HELP) || params.commands.IsEmpty()) {
    // The parse stops at a help option, so -X counts only before it.
    _display_copyright(display);
    _display_usage(params.extended, params.helpGiven);
    _release_params(params);
    return 0;
  }

  if (_ensure_store_directory(display, params) != 0) {
    _release_params(params);
    return 1;
  }

  int status = runCommands(params);
  _release_params(params);
  return status;
}
