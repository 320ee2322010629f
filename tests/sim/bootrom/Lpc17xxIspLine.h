#ifndef TESTS_SIM_BOOTROM_LPC17XXISPLINE_H
#define TESTS_SIM_BOOTROM_LPC17XXISPLINE_H

#include <string>

#include "tests/sim/bootrom/Lpc17xxIspRom.h"
#include "tests/sim/bootrom/SerialRomPeer.h"

namespace bootrom {

// The LPC17xx ROM on a paced line: its answers leave at its UART's rate,
// held while the flash is busy, and the UART follows auto-baud and "B".
// The line starts in auto-baud (SerialLineOptions::baud 0).
void serveLpcIsp(Lpc17xxIspRom& rom, const std::string& fromHost, RomLine& line);

// A peer carrying the ROM that way, with the adapter latency given.
SerialRomPeer::LineHandler lpcIspLineHandler(Lpc17xxIspRom& rom);
SerialLineOptions lpcIspLineOptions(std::chrono::microseconds adapterLatency = std::chrono::microseconds(0));

}  // namespace bootrom

#endif
