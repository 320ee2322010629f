#include "tests/sim/usb/UsbSimModule.h"

#include <cstdio>

namespace testsupport::usb {

void attachToUsb(simmodule::ModuleEngine& engine, UsbDeviceModel& usb) {
  usb.setHostWriteHandler([&engine](const std::string& bytes) {
    engine.hostWrote(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  });
  engine.attach(
      [&usb](const uint8_t* bytes, size_t length) {
        usb.queueForHost(std::string(reinterpret_cast<const char*>(bytes), length));
      },
      [&usb] { usb.unplug(); });
  engine.hostConnected();
}

UsbDeviceDescription UsbSimModule::description(const simmodule::ModuleIdentity& identity) {
  UsbDeviceDescription d;
  char serial[9];
  std::snprintf(serial, sizeof serial, "%08X", identity.serial);
  d.serial = std::string(serial);
  d.productId = identity.model;
  return d;
}

UsbSimModule::UsbSimModule(UsbTestbed& bus, const simmodule::ModuleIdentity& identity,
                           const simmodule::UpgradeCommand::Settings& settings, simmodule::UpgradeCommand::Mode mode)
    : usb_(bus.add(description(identity))), table_(engine_, kAddress), upgrade_(engine_, kAddress, settings) {
  simmodule::addSystemEntity(table_, identity);
  table_.setBuild(identity.build);
  upgrade_.setMode(mode);
  attachToUsb(engine_, usb_);
}

UsbSimModule::~UsbSimModule() { engine_.detach(); }

}  // namespace testsupport::usb
