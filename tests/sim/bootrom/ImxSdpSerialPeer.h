#ifndef TESTS_SIM_BOOTROM_IMXSDPSERIALPEER_H
#define TESTS_SIM_BOOTROM_IMXSDPSERIALPEER_H

#include <chrono>
#include <string>

#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/bootrom/SerialRomPeer.h"

namespace bootrom {

// The i.MX RT boot ROM on its UART (a pseudo-terminal): 16-byte commands
// and raw image bytes in, the HAB mode word and the answer bytes out. The
// UART restarts a command that the line left unfinished for kCommandGap, so
// stray bytes from an earlier session (another protocol's probe on the same
// port) do not shift every later command.
class ImxSdpSerialPeer {
 public:
  static constexpr std::chrono::milliseconds kCommandGap{250};

  explicit ImxSdpSerialPeer(ImxSdpRom& rom);

  const std::string& devicePath() const { return peer_.devicePath(); }
  std::string received() const { return peer_.received(); }
  void publishAs(const std::string& path) { peer_.publishAs(path); }

 private:
  std::string receive(const std::string& bytes);  // on the peer's thread

  ImxSdpRom& rom_;
  std::string command_;  // a command still being gathered
  std::chrono::steady_clock::time_point lastByte_;
  SerialRomPeer peer_;   // last: its thread starts once the rest is ready
};

}  // namespace bootrom

#endif
