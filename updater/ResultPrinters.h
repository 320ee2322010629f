#ifndef UPDATER_RESULTPRINTERS_H
#define UPDATER_RESULTPRINTERS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"
#include "updater/support/UpdaterDisplayInterface.h"

// The results of the commands, as information lines on the display.

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

// type names the transport the list came from: 1 USB, 2 TCPIP, else unknown
// (a router search without -t), which adds the address column.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type);

// Build number text to version text, printed in version order.
void _display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     uint32_t serialNumber);

#endif
