// usbsim-run: runs a command with emulated USB modules on its USB bus.
//
//   usbsim-run [--module SERIAL[:PRODUCT]]... [--echo]
//              [--sim-module SERIAL[:MODEL[:BUILD]]]...
//              [--keep-link | --return-after MS | --never-return] -- command [argument...]
//
// SERIAL is the serial-number string as the module reports it (normally
// eight upper-case hexadecimal digits), PRODUCT the USB product id in
// hexadecimal (default 4: model 4). Without --module one module "0000ABCD"
// of model 4 is on the bus. With --echo every module sends back what the
// host writes to it; otherwise it takes the bytes and stays silent.
// --sim-module adds a whole simulated module (hexadecimal serial number,
// decimal model, default 4, and firmware build, default 0) that answers
// synchronisation, its system entity, the build query and the
// firmware-upgrade command; at the end its flash writes are summarised on
// standard error.
//
// A simulated module restarts when its loader starts and when it reboots:
// it leaves the bus and enumerates again, as a new device with the same
// serial number, --return-after MS later (default 2000), or never with
// --never-return; each departure and return is told on standard error.
// With --keep-link its loader takes over the link in place instead (the
// reboot still takes it off the bus and back).
//
// The exit status is the command's.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/usb/UsbLauncher.h"
#include "tests/sim/usb/UsbSimModule.h"
#include "tests/sim/usb/UsbTestbed.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: usbsim-run [--module SERIAL[:PRODUCT]]... [--echo]\n"
          "                  [--sim-module SERIAL[:MODEL[:BUILD]]]...\n"
          "                  [--keep-link | --return-after MS | --never-return] -- command [argument...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<testsupport::usb::UsbDeviceDescription> modules;
  std::vector<simmodule::ModuleIdentity> simulated;
  bool echo = false;
  bool keepLink = false;
  testsupport::usb::UsbSimModule::Restart restart;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    if (strcmp(argv[i], "--echo") == 0) {
      echo = true;
    } else if (strcmp(argv[i], "--keep-link") == 0) {
      keepLink = true;
    } else if (strcmp(argv[i], "--never-return") == 0) {
      restart.returnAfter.reset();
    } else if (strcmp(argv[i], "--return-after") == 0 && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long ms = strtoul(argv[++i], &end, 10);
      if (*end != '\0' || end == argv[i] || ms > 3600000) return usage();
      restart.returnAfter = std::chrono::milliseconds(ms);
    } else if (strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
      std::string spec = argv[++i];
      testsupport::usb::UsbDeviceDescription module;
      size_t colon = spec.find(':');
      module.serial = spec.substr(0, colon);
      if (colon != std::string::npos) {
        module.productId = static_cast<uint16_t>(strtoul(spec.c_str() + colon + 1, nullptr, 16));
      }
      modules.push_back(module);
    } else if (strcmp(argv[i], "--sim-module") == 0 && i + 1 < argc) {
      const char* text = argv[++i];
      char* end = nullptr;
      simmodule::ModuleIdentity identity;
      identity.serial = static_cast<uint32_t>(strtoul(text, &end, 16));
      identity.model = 4;
      if (*end == ':') identity.model = static_cast<uint8_t>(strtoul(end + 1, &end, 10));
      if (*end == ':') identity.build = static_cast<uint32_t>(strtoul(end + 1, &end, 10));
      if (*end != '\0') return usage();
      simulated.push_back(identity);
    } else {
      return usage();
    }
  }
  if (i + 1 >= argc) {
    return usage();
  }
  if (modules.empty() && simulated.empty()) {
    modules.emplace_back();
  }
  std::vector<std::string> command(argv + i + 1, argv + argc);

  testsupport::usb::UsbTestbed bus;
  for (const auto& module : modules) {
    testsupport::usb::UsbDeviceModel& device = bus.add(module);
    if (echo) {
      device.setHostWriteHandler([&device](const std::string& bytes) { device.queueForHost(bytes); });
    }
  }
  simmodule::UpgradeCommand::Settings settings;
  if (keepLink) {
    settings.load = simmodule::UpgradeCommand::Load::ReplyAndStay;
  }
  restart.observer = [](bool back, const testsupport::usb::UsbDeviceModel& device) {
    const std::string serial = device.description().serial.value_or("");
    if (back) {
      fprintf(stderr, "usbsim-run: module %s is back on the bus as device %03d/%03d\n", serial.c_str(),
              device.busNumber(), device.deviceNumber());
    } else {
      fprintf(stderr, "usbsim-run: module %s restarts and leaves the bus (device %03d/%03d)\n", serial.c_str(),
              device.busNumber(), device.deviceNumber());
    }
  };
  std::vector<std::unique_ptr<testsupport::usb::UsbSimModule>> simModules;
  for (const auto& identity : simulated) {
    simModules.push_back(std::make_unique<testsupport::usb::UsbSimModule>(
        bus, identity, settings, simmodule::UpgradeCommand::Mode::Resident, restart));
  }
  const int status = testsupport::usb::runWithTestbed(command);
  for (size_t m = 0; m < simModules.size(); ++m) {
    const auto& counts = simModules[m]->upgrade().counts();
    fprintf(stderr, "usbsim-run: module %08X took %d firmware writes and %d reboots\n", simulated[m].serial,
            counts.writes, counts.reboots);
  }
  return status;
}
