// usbsim-run: runs a command with emulated USB modules on its USB bus.
//
//   usbsim-run [--module SERIAL[:PRODUCT]]... [--echo] -- command [argument...]
//
// SERIAL is the serial-number string as the module reports it (normally
// eight upper-case hexadecimal digits), PRODUCT the USB product id in
// hexadecimal (default 4: model 4). Without --module one module "0000ABCD"
// of model 4 is on the bus. With --echo every module sends back what the
// host writes to it; otherwise it takes the bytes and stays silent.
//
// The exit status is the command's.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/sim/usb/UsbLauncher.h"
#include "tests/sim/usb/UsbTestbed.h"

namespace {

int usage() {
  fprintf(stderr, "usage: usbsim-run [--module SERIAL[:PRODUCT]]... [--echo] -- command [argument...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<testsupport::usb::UsbDeviceDescription> modules;
  bool echo = false;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    if (strcmp(argv[i], "--echo") == 0) {
      echo = true;
    } else if (strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
      std::string spec = argv[++i];
      testsupport::usb::UsbDeviceDescription module;
      size_t colon = spec.find(':');
      module.serial = spec.substr(0, colon);
      if (colon != std::string::npos) {
        module.productId = static_cast<uint16_t>(strtoul(spec.c_str() + colon + 1, nullptr, 16));
      }
      modules.push_back(module);
    } else {
      return usage();
    }
  }
  if (i + 1 >= argc) {
    return usage();
  }
  if (modules.empty()) {
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
  return testsupport::usb::runWithTestbed(command);
}
