#ifndef UPDATER_USAGE_H
#define UPDATER_USAGE_H

#include <string>

#include "updater/support/UpdaterDisplayInterface.h"

constexpr const char* kApplicationName = "Updater";
constexpr const char* kApplicationVersion = "Version: 2.10.6 Mar 15 2024";

// The banner line "Updater (Version: ...)".
void _display_app_version(UpdaterDisplayInterface& display);

// The notice line printed before the usage text.
void _display_copyright(UpdaterDisplayInterface& display);

// The usage text: the synopsis; with full, the parameters and commands; with
// extended as well, the extended parameters and commands; with full, the
// samples.
std::string _usage_text(bool extended, bool full);

// Writes _usage_text to standard error.
void _display_usage(bool extended, bool full);

#endif
