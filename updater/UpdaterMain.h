#ifndef UPDATER_UPDATERMAIN_H
#define UPDATER_UPDATERMAIN_H

#include <functional>

#include "updater/CommandLine.h"
#include "updater/support/UpdaterDisplayInterface.h"

// The whole run of the tool up to the commands: parses the command line,
// prints the banner and, when asked or when no command is given, the usage,
// and makes sure of the store directory. Then runCommands builds the
// operations object on its own stack from params.url and params.storeDir and
// runs the commands; its result is the exit status (0 or 1). main is:
//
//   CLI_Display display;
//   return _updater_main(argc, argv, display, [&](Parameters& params) {
//     Updater updater(params.url.c_str(), params.storeDir.c_str(), display);
//     return _run_commands(display, params, updater);
//   });
int _updater_main(int argc, char** argv, UpdaterDisplayInterface& display,
                  const std::function<int(Parameters&)>& runCommands);

#endif
