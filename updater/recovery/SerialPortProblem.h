#ifndef UPDATER_RECOVERY_SERIALPORTPROBLEM_H
#define UPDATER_RECOVERY_SERIALPORTPROBLEM_H

#include <string>

// Why a path cannot serve as a boot ROM's serial port, in words for the
// user ("cannot open serial port /dev/ttyUSB9: No such file or directory",
// "/tmp/line is not a serial port: it is a FIFO"). Asked after opening the
// port failed; empty when the path opens as a terminal after all.
std::string serialPortProblem(const std::string& port);

#endif
