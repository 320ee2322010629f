#ifndef UPDATER_RECOVERY_SERIAL_SDPLOADER_H
#define UPDATER_RECOVERY_SERIAL_SDPLOADER_H

#include <vector>

#include "updater/recovery/SDPLoader_Interface.h"

class PrivateSerial_SDPLoader;

// The i.MX RT boot ROM on a UART at 115200 baud, 8N1, raw. Packets go out
// without their HID report id; an answer comes back as bare words:
//   [0..3] HAB mode, [4..] answer words, little-endian.
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

 private:
  void closePort();

  PrivateSerial_SDPLoader* d_;
};

#endif
