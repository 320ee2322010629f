#include "updater/CommandRunner.h"

#include <cstdlib>
#include <string>

#include "updater/ResultPrinters.h"
#include "updater/Usage.h"

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

int discover(UpdaterDisplayInterface& display, const Parameters& params, UpdaterOperations& updater) {
  // RECOVER is no discovery transport; without -t a router search finds out
  // the router's transport and the plain search looks on USB.
  linkType type = (params.transportGiven && params.transport != TRANSPORT_RECOVER) ? params.transport : 0;
  if (params.router != 0) {
    display.message(kInfo, "Searching for Tessarine Network devices connected to %08X", params.router);
    _display_device_list(display, updater.Discover_TNNetwork_Devices(params.router, type), type);
  } else {
    display.message(kInfo, "Searching for Tessarine devices");
    if (type == 0) type = USB;
    _display_device_list(display, updater.Discover_Devices(type), type);
  }
  return 0;
}

int update(UpdaterDisplayInterface& display, const Parameters& params, UpdaterOperations& updater) {
  // buildText holds decimal digits only: from -b or from a -G of this run.
  unsigned build = params.buildText.empty() ? 0 : static_cast<unsigned>(strtoul(params.buildText.c_str(), nullptr, 10));
  bool done;
  if (params.transport == TRANSPORT_RECOVER) {
    done = updater.Recover_Firmware(params.port, build, params.baudRate, params.serial, params.file, params.override);
  } else {
    if (params.serial == 0) {
      display.message(kError, "Must specify the specific device to be updated");
      return 1;
    }
    done = updater.Update_Firmware(params.serial, build, params.file, params.moduleAddr, params.router,
                                   params.override);
  }
  return done ? 0 : 1;
}

int listBuilds(UpdaterDisplayInterface& display, const Parameters& params, UpdaterOperations& updater) {
  if (params.serial == 0) {
    display.message(kError, "Error must supply a serial number for the List Builds command");
    _display_usage(false, false);
    return 1;
  }
  _display_builds(display, updater.Get_BuildList(params.serial), params.serial);
  return 0;
}

}  // namespace

int _run_commands(UpdaterDisplayInterface& display, Parameters& params, UpdaterOperations& updater) {
  int status = 0;

  if (params.commands.IsSet(CMD_FINGERPRINT)) {
    if (params.port.empty()) {
      display.message(kError, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint = {};
    std::string why;
    const unsigned shown = display.errors_shown();
    if (updater.Get_Fingerprint(fingerprint, params.port, kDefaultSerial, params.file, params.baudRate, true, &why)) {
      _display_fingerprint(display, fingerprint);
    } else {
      // One line per failure: only when the fingerprint road said nothing.
      if (display.errors_shown() == shown) {
        display.message(kError, "Got no response from chip%s%s", why.empty() ? "" : ": ", why.c_str());
      }
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_GET)) {
    if (params.serial == 0) {
      display.message(kError, "-G must specify a specific device via -d");
      display.message(kError, "--help for usage information");
      return 1;
    }
    display.message(kInfo, "Retrieving firmware for device with serial number %08X", params.serial);
    if (params.buildText.empty()) {
      display.message(kInfo, "No build specified");
      display.message(kInfo, "Using Latest build");
    } else {
      display.message(kInfo, "Retrieving firmware build %s", params.buildText.c_str());
    }
    unsigned build = updater.Download_Firmware(params.serial, params.buildText, params.override, false);
    if (build != 0) {
      params.buildText = std::to_string(build);
      status = 0;
    } else {
      status = 1;
    }
  }

  if (params.commands.IsSet(CMD_DISCOVER)) return discover(display, params, updater);
  if (params.commands.IsSet(CMD_UPDATE)) return update(display, params, updater);
  if (params.commands.IsSet(CMD_LIST_BUILDS)) return listBuilds(display, params, updater);
  return status;
}
