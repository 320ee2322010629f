#ifndef UPDATER_RECOVERY_SERIAL_SDPLOADER_H
#define UPDATER_RECOVERY_SERIAL_SDPLOADER_H

#include <cstddef>
#include <vector>

#include "updater/recovery/SDPLoader_Interface.h"

class PrivateSerial_SDPLoader;

// The i.MX RT boot ROM on a UART at 115200 baud, 8N1, raw. Packets go out
// without their HID report id; an answer comes back as bare words:
//   [0..3] HAB mode, [4..] answer words, little-endian.
// Every answer window covers the time the bytes before it may take to
// cross the line (at a rate some percent below nominal, behind an
// adapter's buffering) and ends as soon as the answer is in; closing the
// port still sends what was written.
class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  explicit Serial_SDPLoader(const char* devicePath);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  bool init() override;
  long writeData(const std::vector<unsigned char>& packet) override;
  long readData(std::vector<unsigned char>& reply, unsigned int timeoutMS) override;
  bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index, unsigned int& value) override;
  bool getHabModeFromBuffer(const std::vector<unsigned char>& reply, unsigned int& value) override;

  // Bytes another protocol already sent on this line (a probe for another
  // chip): init makes them up to a whole command so that the ROM's framing
  // lines up with ours. Call before init.
  void setBytesBefore(size_t count);

 private:
  void closePort();
  bool realign();

  PrivateSerial_SDPLoader* d_;
};

#endif
