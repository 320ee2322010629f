#ifndef UPDATER_RECOVERY_HID_SDPLOADER_H
#define UPDATER_RECOVERY_HID_SDPLOADER_H

#include <cstdint>
#include <vector>

#include "updater/recovery/SDPLoader_Interface.h"

struct hid_device_;
typedef struct hid_device_ hid_device;

// The i.MX RT boot ROM as a USB HID device, through hidapi's hidraw backend.
//
// An answer arrives as a HAB-mode report (id 3, 4 bytes) followed by one
// 64-byte report (id 4); gathered with their ids that is 70 bytes:
//   [0] 3, [1..4] HAB mode, [5] 4, [6..69] answer words, little-endian.
class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(unsigned short vendorId, unsigned short productId);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  bool init() override;
  long writeData(const std::vector<unsigned char>& packet) override;
  long readData(std::vector<unsigned char>& reply, unsigned int timeoutMS) override;
  bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index, unsigned int& value) override;
  bool getHabModeFromBuffer(const std::vector<unsigned char>& reply, unsigned int& value) override;

 private:
  hid_device* handle_ = nullptr;
  uint16_t vendorId_;
  uint16_t productId_;
};

#endif
