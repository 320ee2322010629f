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

// Puts the engine behind the emulated device's bulk endpoints: what the
// host writes goes to the engine, and the engine's output is queued for the
// host on the emulation's thread, in answer to what the host wrote. The
// engine's disconnect unplugs the device, as a restarting module leaves the
// bus. The engine's detach() undoes it.
void attachToUsb(simmodule::ModuleEngine& engine, UsbDeviceModel& usb);

// A whole simulated module behind an emulated USB device: system entity,
// build query and the firmware-upgrade command. The device shows the
// identity's serial number as its serial-number string (eight hexadecimal
// digits) and its model as the product id.
class UsbSimModule {
 public:
  static constexpr uint8_t kAddress = 0x06;

  UsbSimModule(UsbTestbed& bus, const simmodule::ModuleIdentity& identity,
               const simmodule::UpgradeCommand::Settings& settings = simmodule::UpgradeCommand::Settings(),
               simmodule::UpgradeCommand::Mode mode = simmodule::UpgradeCommand::Mode::Resident);
  ~UsbSimModule();
  UsbSimModule(const UsbSimModule&) = delete;
  UsbSimModule& operator=(const UsbSimModule&) = delete;

  simmodule::ModuleEngine& engine() { return engine_; }
  UsbDeviceModel& usb() { return usb_; }
  const UsbDeviceModel& usb() const { return usb_; }
  simmodule::UeiTable& table() { return table_; }
  const simmodule::UeiTable& table() const { return table_; }
  simmodule::UpgradeCommand& upgrade() { return upgrade_; }
  const simmodule::UpgradeCommand& upgrade() const { return upgrade_; }

 private:
  static UsbDeviceDescription description(const simmodule::ModuleIdentity& identity);

  simmodule::ModuleEngine engine_{kAddress};
  UsbDeviceModel& usb_;
  simmodule::UeiTable table_;
  simmodule::UpgradeCommand upgrade_;
};

}  // namespace testsupport::usb

#endif
