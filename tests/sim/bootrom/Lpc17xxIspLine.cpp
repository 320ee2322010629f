#include "tests/sim/bootrom/Lpc17xxIspLine.h"

namespace bootrom {

void serveLpcIsp(Lpc17xxIspRom& rom, const std::string& fromHost, RomLine& line) {
  for (const LpcAnswerPart& part : rom.receiveAt(fromHost, line.arrivalRate())) {
    if (part.rateBefore != 0) {
      line.setRate(part.rateBefore);
    }
    if (part.holdMS != 0) {
      line.hold(std::chrono::milliseconds(part.holdMS));
    }
    if (!part.bytes.empty()) {
      line.send(part.bytes);
    }
    if (part.rateAfter != 0) {
      line.setRate(part.rateAfter);
    }
  }
}

SerialRomPeer::LineHandler lpcIspLineHandler(Lpc17xxIspRom& rom) {
  return [&rom](const std::string& bytes, RomLine& line) { serveLpcIsp(rom, bytes, line); };
}

SerialLineOptions lpcIspLineOptions(std::chrono::microseconds adapterLatency) {
  SerialLineOptions options;
  options.baud = 0;
  options.adapterLatency = adapterLatency;
  return options;
}

}  // namespace bootrom
