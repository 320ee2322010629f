#ifndef TESTS_SIM_BOOTROM_IMXSDPSERIALPEER_H
#define TESTS_SIM_BOOTROM_IMXSDPSERIALPEER_H

#include <mutex>
#include <string>

#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/bootrom/SerialRomPeer.h"

namespace bootrom {

// The i.MX RT boot ROM on its UART (a pseudo-terminal, paced like a real
// line at 115200 baud): 16-byte commands and raw image bytes in, the HAB
// mode word and the answer bytes out. Commands are framed by byte count
// alone, as on the chip: a stray byte shifts every later command.
class ImxSdpSerialPeer {
 public:
  static constexpr unsigned kBaud = 115200;

  explicit ImxSdpSerialPeer(ImxSdpRom& rom);
  // options.baud 0 stands for kBaud: the ROM's UART never auto-bauds.
  ImxSdpSerialPeer(ImxSdpRom& rom, SerialRomPeer::Options options);

  const std::string& devicePath() const { return peer_.devicePath(); }
  std::string received() const { return peer_.received(); }
  void publishAs(const std::string& path) { peer_.publishAs(path); }
  SerialRomPeer& line() { return peer_; }
  // What the started image says on the UART once the jump is taken (a
  // boot loader's banner, say); nothing by default.
  void setAfterJump(const std::string& text);

 private:
  std::string receive(const std::string& bytes);  // on the peer's thread

  ImxSdpRom& rom_;
  std::string command_;  // a command still being gathered
  std::mutex mutex_;
  std::string afterJump_;
  SerialRomPeer peer_;   // last: its thread starts once the rest is ready
};

}  // namespace bootrom

#endif
