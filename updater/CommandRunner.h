#ifndef UPDATER_COMMANDRUNNER_H
#define UPDATER_COMMANDRUNNER_H

#include "updater/CommandLine.h"
#include "updater/UpdaterOperations.h"
#include "updater/support/UpdaterDisplayInterface.h"

// Runs the commands of params in their fixed order: -N, then -G, then the
// first of -D, -U and -B. Returns the exit status, 0 or 1. A -G that
// succeeds leaves its build in params.buildText for the -U after it.
int _run_commands(UpdaterDisplayInterface& display, Parameters& params, UpdaterOperations& updater);

#endif
