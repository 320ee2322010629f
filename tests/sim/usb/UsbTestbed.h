#ifndef TESTS_SIM_USB_USBTESTBED_H
#define TESTS_SIM_USB_USBTESTBED_H

#include <memory>
#include <string>
#include <vector>

#include "tests/sim/usb/UsbDeviceModel.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace testsupport::usb {

// An emulated USB bus for the real libusb: a umockdev testbed whose sysfs
// describes each added device (ids, serial string, descriptors) and whose
// device node "/dev/bus/usb/BBB/001" is answered by the device's model.
//
// The process that opens the devices must run with umockdev's preload
// library (see UmockdevPreload.h); the testbed itself need not. Add every
// device before the process first touches libusb: libusb reads the bus
// when its context starts.
//
// Everything it made (the testbed's directory) goes when it goes; close
// every device handle first.
class UsbTestbed {
 public:
  UsbTestbed();  // throws std::runtime_error when umockdev is unusable
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // A new device on a bus of its own (buses 1, 2, ... in order of adding).
  UsbDeviceModel& add(const UsbDeviceDescription& description);
  const std::vector<std::unique_ptr<UsbDeviceModel>>& devices() const { return devices_; }
  // The testbed's root directory ($UMOCKDEV_DIR).
  const std::string& root() const { return root_; }
  // The umockdev testbed, for emulations of other kinds of device that the
  // same process must see (a process sees one testbed).
  UMockdevTestbed* umockdev() const { return testbed_; }

 private:
  std::string sysfsRecord(const UsbDeviceDescription& description, int bus) const;

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  int buses_ = 0;
  std::vector<std::unique_ptr<UsbDeviceModel>> devices_;
};

}  // namespace testsupport::usb

#endif
