#ifndef TESTS_SIM_USB_USBLAUNCHER_H
#define TESTS_SIM_USB_USBLAUNCHER_H

#include <string>
#include <vector>

namespace testsupport::usb {

// Runs a program (searched on PATH) with the emulated USB bus of the
// testbed that this process holds: the child gets umockdev's preload
// library and the testbed's $UMOCKDEV_DIR, and the devices' models answer
// its USB requests from this process while it runs. Returns the child's
// exit status, 128 + the signal when a signal ended it, or -1 when it could
// not be started.
//
// How a simulated module is put on the bus for the command-line tool:
//
//   UsbTestbed bus;
//   UsbDeviceModel& usb = bus.add(description);        // ids, serial string
//   usb.setHostWriteHandler([&](const std::string& bytes) { module.feed(bytes); });
//   module.onOutput([&](const std::string& bytes) { usb.queueForHost(bytes); });
//   int status = runWithTestbed({"tessarine-updater", "-D"});
//
// (module being any byte-stream model of a module.) usbsim-run does this
// from its command line with simple built-in modules.
int runWithTestbed(const std::vector<std::string>& command);

}  // namespace testsupport::usb

#endif
