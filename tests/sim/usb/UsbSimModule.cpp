#include "tests/sim/usb/UsbSimModule.h"

#include <cstdio>

namespace testsupport::usb {

UsbDeviceDescription UsbSimModule::description(const simmodule::ModuleIdentity& identity) {
  UsbDeviceDescription d;
  char serial[9];
  std::snprintf(serial, sizeof serial, "%08X", identity.serial);
  d.serial = std::string(serial);
  d.productId = identity.model;
  return d;
}

simmodule::UpgradeCommand::Settings UsbSimModule::settings() {
  simmodule::UpgradeCommand::Settings s;
  s.load = simmodule::UpgradeCommand::Load::ReplyAndStay;
  return s;
}

UsbSimModule::UsbSimModule(UsbTestbed& bus, const simmodule::ModuleIdentity& identity)
    : usb_(bus.add(description(identity))), table_(engine_, kAddress), upgrade_(engine_, kAddress, settings()) {
  simmodule::addSystemEntity(table_, identity);
  table_.setBuild(identity.build);
  usb_.setHostWriteHandler([this](const std::string& bytes) {
    engine_.hostWrote(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  });
  engine_.attach(
      [this](const uint8_t* bytes, size_t length) {
        usb_.queueForHost(std::string(reinterpret_cast<const char*>(bytes), length));
      },
      [this] { usb_.unplug(); });
  engine_.hostConnected();
}

UsbSimModule::~UsbSimModule() { engine_.detach(); }

}  // namespace testsupport::usb
