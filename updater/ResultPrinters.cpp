#include "updater/ResultPrinters.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "Tessarine2/common/aDefs.h"

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;

const char kListHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)";

const char* transportName(linkType type) {
  switch (type) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    default: return "Unknown";
  }
}

void printDevice(UpdaterDisplayInterface& display, const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  const char* model = aDefs_GetModelName(spec.model);
  if (model == nullptr) model = "";
  if (spec.type == TCPIP) {
    // The address is kept in network order: its bytes as stored are the
    // dotted quad from left to right.
    uint8_t ip[4];
    memcpy(ip, &spec.t.ip.ip_address, sizeof ip);
    char address[24];
    snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
    display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s", spec.serial_num, spec.module,
                    spec.router, model, device.major, device.minor, static_cast<int>(device.patch), device.build,
                    address);
  } else if (device.error != aErrNone) {
    display.message(kInfo, "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serial_num,
                    device.error);
  } else {
    display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", spec.serial_num, spec.module,
                    spec.router, model, device.major, device.minor, static_cast<int>(device.patch), device.build);
  }
}

}  // namespace

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
  display.message(kInfo, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                  fingerprint.words[3]);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type) {
  display.message(kInfo, "Discovered Devices: (%s)", transportName(type));
  if (devices.empty()) {
    display.message(kInfo, "    No devices found.");
    return;
  }
  if (type == USB)
    display.message(kInfo, "%s", kListHeader);
  else
    display.message(kInfo, "%s   [IP address]", kListHeader);
  for (const DeviceInfo& device : devices) printDevice(display, device);
}

void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serialNumber) {
  if (builds.empty()) {
    display.message(kInfo, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(kInfo, "Build List for device [%08X]:\n", serialNumber);
  display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
  std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
  // Byte-wise by version text; builds of one version stay in build-text order.
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
                     return a.second < b.second;
                   });
  for (const auto& build : sorted) {
    display.message(kInfo, "%-15.15s\t%-15.15s", build.first.c_str(), build.second.c_str());
  }
}
