#ifndef TESTS_SIM_USB_USBSIMMODULE_H
#define TESTS_SIM_USB_USBSIMMODULE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/UeiTable.h"
#include "tests/sim/module/UpgradeCommand.h"
#include "tests/sim/usb/UsbTestbed.h"

namespace testsupport::usb {

// Puts the engine behind the emulated device's bulk endpoints: what the
// host writes goes to the engine, and the engine's output is queued for the
// host on the emulation's thread, in answer to what the host wrote. The
// engine's disconnect calls leave (by default: the device unplugs). The
// engine's detach() undoes it.
void attachToUsb(simmodule::ModuleEngine& engine, UsbDeviceModel& usb, std::function<void()> leave = nullptr);

// What a simulated USB module does on the bus when it restarts.
struct UsbRestart {
  // A restarted module is back on the bus after about this long.
  static constexpr std::chrono::milliseconds kDefaultReturn{2000};
  // How long after leaving the bus the module enumerates again; never when
  // empty.
  std::optional<std::chrono::milliseconds> returnAfter = kDefaultReturn;
  // Told of every departure (back false) and return (back true), on the
  // module's own thread, with the device that left or came.
  std::function<void(bool back, const UsbDeviceModel& device)> observer;
};

// A whole simulated module behind an emulated USB device: system entity,
// build query and the firmware-upgrade command. The device shows the
// identity's serial number as its serial-number string (eight hexadecimal
// digits) and its model as the product id.
//
// A module that restarts (its loader starting, a reboot) leaves the bus
// and, after a while, enumerates again as a new device with the same serial
// number, as a real one does; the same module (its upgrade state, its
// flash) is behind the new device. A loader that takes over the link in
// place is the upgrade command's Load::ReplyAndStay.
class UsbSimModule {
 public:
  static constexpr uint8_t kAddress = 0x06;

  using Restart = UsbRestart;

  UsbSimModule(UsbTestbed& bus, const simmodule::ModuleIdentity& identity,
               const simmodule::UpgradeCommand::Settings& settings = simmodule::UpgradeCommand::Settings(),
               simmodule::UpgradeCommand::Mode mode = simmodule::UpgradeCommand::Mode::Resident,
               Restart restart = Restart());
  ~UsbSimModule();
  UsbSimModule(const UsbSimModule&) = delete;
  UsbSimModule& operator=(const UsbSimModule&) = delete;

  simmodule::ModuleEngine& engine() { return engine_; }
  // The device the module is (or was last) on the bus as.
  UsbDeviceModel& usb();
  const UsbDeviceModel& usb() const;
  // Times the module left the bus, and came back.
  int departures() const;
  int returns() const;
  // Waits until the module has come back this many times in all.
  bool awaitReturns(int count, std::chrono::milliseconds timeout) const;
  simmodule::UeiTable& table() { return table_; }
  const simmodule::UeiTable& table() const { return table_; }
  simmodule::UpgradeCommand& upgrade() { return upgrade_; }
  const simmodule::UpgradeCommand& upgrade() const { return upgrade_; }

 private:
  static UsbDeviceDescription description(const simmodule::ModuleIdentity& identity);
  void attach(UsbDeviceModel& device);
  void left(UsbDeviceModel& device);  // on the emulation thread
  void restarts();                     // the module's own thread

  UsbTestbed& bus_;
  const Restart restart_;
  simmodule::ModuleEngine engine_{kAddress};
  simmodule::UeiTable table_;
  simmodule::UpgradeCommand upgrade_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  UsbDeviceModel* usb_ = nullptr;
  UsbDeviceModel* leaving_ = nullptr;  // unplugged, not yet off the bus
  int departures_ = 0;
  int returns_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace testsupport::usb

#endif
