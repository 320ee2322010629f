#ifndef TESTS_SIM_BOOTROM_IMXSDPHIDDEVICE_H
#define TESTS_SIM_BOOTROM_IMXSDPHIDDEVICE_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tests/sim/bootrom/ImxSdpRom.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace bootrom {

struct HidDeviceOptions {
  bool padHabReport = false;  // hand the HAB-mode report out as a full 65-byte read
  bool failReads = false;     // every read fails with EIO, as a device that went away
};

// The i.MX RT boot ROM as USB HID device 1FC9:0130 with a hidraw node
// (/dev/hidraw0), emulated with umockdev: a sysfs tree that udev and
// hidapi's hidraw backend enumerate, and a device node whose reads, writes
// and report-descriptor ioctls this object answers from the ROM model.
// Host writes are output reports (id 1 command, id 2 data); reads deliver
// input reports one at a time (id 3 HAB mode, 4 bytes; id 4, 64 bytes).
//
// The process that opens the device must run with umockdev's preload
// library and see this object's UMOCKDEV_DIR: the test process itself
// (tests/sim/usb/UmockdevPreload.h), or a child given that library and
// UMOCKDEV_DIR=rootDir(). The answers come from umockdev's worker thread.
class ImxSdpHidDevice {
 public:
  static constexpr uint16_t kVendorId = 0x1FC9;
  static constexpr uint16_t kProductId = 0x0130;

  explicit ImxSdpHidDevice(ImxSdpRom& rom, HidDeviceOptions options = HidDeviceOptions());  // throws
  // The same device in a testbed that already emulates other devices (an
  // emulated USB bus, tests/sim/usb/UsbTestbed.h): one process sees one
  // testbed, so a ROM whose jump starts a module on that bus shares it. The
  // testbed is kept alive while the device lives.
  ImxSdpHidDevice(ImxSdpRom& rom, UMockdevTestbed* shared, HidDeviceOptions options = HidDeviceOptions());  // throws
  ~ImxSdpHidDevice();
  ImxSdpHidDevice(const ImxSdpHidDevice&) = delete;
  ImxSdpHidDevice& operator=(const ImxSdpHidDevice&) = delete;

  // The testbed's root, the value of UMOCKDEV_DIR for the host.
  std::string rootDir() const;
  // Output reports the host wrote, report id first.
  std::vector<std::vector<uint8_t>> reportsWritten() const;
  void setOptions(const HidDeviceOptions& options);

  // Called on umockdev's worker thread.
  int handleWrite(const uint8_t* data, size_t length, int* error);
  int handleRead(uint8_t* data, size_t length, int* error);

 private:
  void queueFrames(const std::vector<SdpFrame>& frames);
  void updateReadiness();

  struct Impl;
  Impl* impl_;
  ImxSdpRom& rom_;
  mutable std::mutex mutex_;
  HidDeviceOptions options_;
  std::deque<std::vector<uint8_t>> reports_;  // waiting for the host to read
  std::vector<std::vector<uint8_t>> written_;
  bool readable_ = false;
  bool detached_ = false;
};

}  // namespace bootrom

#endif
