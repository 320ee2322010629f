#ifndef TESTS_SIM_USB_USBSIMMODULE_H
#define TESTS_SIM_USB_USBSIMMODULE_H

#include <cstdint>
#include <string>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/UeiTable.h"
#include "tests/sim/module/UpgradeCommand.h"
#include "tests/sim/usb/UsbTestbed.h"

namespace testsupport::usb {

// A whole simulated module behind an emulated USB device: system entity,
// build query and the firmware-upgrade command. Its output is made on the
// emulation's thread, in answer to what the host wrote. The module keeps its
// link when its loader starts, so one device serves the whole update.
class UsbSimModule {
 public:
  static constexpr uint8_t kAddress = 0x06;

  UsbSimModule(UsbTestbed& bus, const simmodule::ModuleIdentity& identity);
  ~UsbSimModule();
  UsbSimModule(const UsbSimModule&) = delete;
  UsbSimModule& operator=(const UsbSimModule&) = delete;

  const simmodule::UpgradeCommand& upgrade() const { return upgrade_; }

 private:
  static UsbDeviceDescription description(const simmodule::ModuleIdentity& identity);
  static simmodule::UpgradeCommand::Settings settings();

  simmodule::ModuleEngine engine_{kAddress};
  UsbDeviceModel& usb_;
  simmodule::UeiTable table_;
  simmodule::UpgradeCommand upgrade_;
};

}  // namespace testsupport::usb

#endif
