#ifndef TESTS_SIM_USB_USBTESTBED_H
#define TESTS_SIM_USB_USBTESTBED_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/sim/usb/UsbDeviceModel.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace testsupport::usb {

// An emulated USB bus for the real libusb: a umockdev testbed whose sysfs
// describes each added device (ids, serial string, descriptors) and whose
// device node "/dev/bus/usb/BBB/DDD" is answered by the device's model.
//
// The process that opens the devices must run with umockdev's preload
// library (see UmockdevPreload.h). Devices come and go as on a real bus:
// udev tells of every arrival and departure (uevents), and libusb's hot-plug
// monitor keeps its device list by them. For the uevents to carry the
// devices' properties the testbed's own process must run with the preload
// library too (RunUnderUmockdev.cpp).
//
// add, remove and replug may be called from any thread.
//
// Everything it made (the testbed's directory) goes when it goes; close
// every device handle first.
class UsbTestbed {
 public:
  UsbTestbed();  // throws std::runtime_error when umockdev is unusable
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // A new device on a bus of its own (buses 1, 2, ... in order of adding),
  // device number 1.
  UsbDeviceModel& add(const UsbDeviceDescription& description);
  // The device leaves the bus, as a module does when it restarts: its model
  // unplugs (waiting transfers end, later requests fail with ENODEV), udev
  // announces the removal and the device's sysfs entry goes. The model
  // itself stays until the testbed goes: the host may still hold its node
  // open. Once only; later calls do nothing.
  void remove(UsbDeviceModel& device);
  // The removed device enumerates again: a new device with the same
  // description on the same bus, under the next device number, as a
  // restarted module shows up again. prepare, when given, gets the new
  // model before the first request of the host can reach it (to install
  // its host-write handler).
  UsbDeviceModel& replug(const UsbDeviceModel& removed,
                         const std::function<void(UsbDeviceModel&)>& prepare = nullptr);
  // Every device ever added, removed ones too. Only while no other thread
  // adds or replugs.
  const std::vector<std::unique_ptr<UsbDeviceModel>>& devices() const { return devices_; }
  // The testbed's root directory ($UMOCKDEV_DIR).
  const std::string& root() const { return root_; }
  // The umockdev testbed, for emulations of other kinds of device that the
  // same process must see (a process sees one testbed).
  UMockdevTestbed* umockdev() const { return testbed_; }

 private:
  std::string sysfsRecord(const UsbDeviceDescription& description, int bus, int address) const;
  UsbDeviceModel& plugIn(const UsbDeviceDescription& description, int bus, int address,
                         const std::function<void(UsbDeviceModel&)>& prepare);

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  mutable std::mutex mutex_;  // buses_, devices_, and the sysfs tree
  int buses_ = 0;
  std::vector<std::unique_ptr<UsbDeviceModel>> devices_;
};

}  // namespace testsupport::usb

#endif
