#ifndef TESTS_SIM_BOOTROM_ROMPROCESS_H
#define TESTS_SIM_BOOTROM_ROMPROCESS_H

#include <string>
#include <vector>

namespace bootrom {

// Process plumbing shared by the standalone simulated ROMs.

// Blocks SIGINT, SIGTERM and SIGCHLD so that they are waited for, not
// delivered; call before any thread starts, so every thread inherits it.
void blockServingSignals();

// Waits for SIGINT or SIGTERM.
void waitForStop();

// Runs argv with every "{port}" replaced by port and with the extra
// environment entries ("NAME=value") set, and waits for it; SIGINT or
// SIGTERM meanwhile ends it. Its exit status, 128 + the signal when it died
// by one, 127 when it could not be started.
int runCommand(const std::vector<std::string>& argv, const std::string& port, const std::vector<std::string>& env);

// "\r", "\n", "\\" and "\xHH" in a command-line text.
std::string unescape(const std::string& text);

}  // namespace bootrom

#endif
