// The updater: a command-line firmware maintenance tool for Tessarine
// modules.

#include "updater/CommandRunner.h"
#include "updater/Updater.h"
#include "updater/UpdaterCommands.h"
#include "updater/UpdaterMain.h"
#include "updater/server/HTTPRequest.h"
#include "updater/support/CLI_Display.h"

int main(int argc, char** argv) {
  // libcurl is set up while this is the only thread.
  HTTPRequest::GlobalInit();
  CLI_Display display;
  return _updater_main(argc, argv, display, [&](Parameters& params) {
    Updater updater(params.url.c_str(), params.storeDir.c_str(), display);
    UpdaterCommands commands(updater);
    return _run_commands(display, params, commands);
  });
}
