#ifndef TESTS_SIM_BOOTROM_IMXSDPSERIALPEER_H
#define TESTS_SIM_BOOTROM_IMXSDPSERIALPEER_H

#include <string>

#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/bootrom/SerialRomPeer.h"

namespace bootrom {

// The i.MX RT boot ROM on its UART (a pseudo-terminal): 16-byte commands
// and raw image bytes in, the HAB mode word and the answer bytes out.
class ImxSdpSerialPeer {
 public:
  explicit ImxSdpSerialPeer(ImxSdpRom& rom);

  const std::string& devicePath() const { return peer_.devicePath(); }
  std::string received() const { return peer_.received(); }
  void publishAs(const std::string& path) { peer_.publishAs(path); }

 private:
  std::string receive(const std::string& bytes);  // on the peer's thread

  ImxSdpRom& rom_;
  std::string command_;  // a command still being gathered
  SerialRomPeer peer_;   // last: its thread starts once the rest is ready
};

}  // namespace bootrom

#endif
