#include "updater/ResultPrinters.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/updater/app/RecordingDisplay.h"

namespace {

using testsupport::RecordingDisplay;
using Lines = std::vector<std::string>;

DeviceInfo device(linkType type, uint32_t serial, uint32_t model) {
  DeviceInfo info;
  info.spec.type = type;
  info.spec.serial_num = serial;
  info.spec.model = model;
  return info;
}

TEST(ResultPrinters, Fingerprint) {
  RecordingDisplay display;
  _display_fingerprint(display, Fingerprint{{0x1, 0xDEADBEEF, 0x0A0B0C0D, 0xFFFFFFFF}});
  EXPECT_EQ(display.lines, Lines{"I:[ 00000001 DEADBEEF 0A0B0C0D FFFFFFFF ]"});
}

TEST(ResultPrinters, EmptyDeviceListsByTransport) {
  const std::pair<linkType, const char*> rows[] = {{USB, "USB"}, {TCPIP, "TCPIP"}, {0, "Unknown"}, {3, "Unknown"}};
  for (const auto& row : rows) {
    RecordingDisplay display;
    _display_device_list(display, {}, row.first);
    EXPECT_EQ(display.lines,
              (Lines{std::string("I:Discovered Devices: (") + row.second + ")", "I:    No devices found."}));
  }
}

TEST(ResultPrinters, DeviceLinesByKindOfEntry) {
  DeviceInfo plain = device(USB, 0x40F5849A, 4);
  plain.spec.module = 2;
  plain.spec.router = 0x10;
  plain.major = 2;
  plain.minor = 10;
  plain.patch = 6;
  plain.build = 99528558;

  DeviceInfo failed = device(USB, 0x2181F0EE, 4);
  failed.error = aErrBusy;

  // A network entry is printed with its address even when a query failed.
  DeviceInfo network = device(TCPIP, 0xD272031D, 13);
  network.spec.module = 6;
  network.spec.router = 6;
  network.spec.t.ip.ip_address = inet_addr("192.168.1.40");
  network.major = 1;
  network.build = 7;
  network.error = aErrTimeout;

  RecordingDisplay usb;
  _display_device_list(usb, {plain, failed}, USB);
  EXPECT_EQ(usb.lines,
            (Lines{"I:Discovered Devices: (USB)",
                   "I:    Device    Module   Router  Model          Firmware Version (Build)",
                   "I:    40F5849A  02       10      Pandrel        2.10.6 (99528558)",
                   "I:    2181F0EE  [Error (" + std::to_string(aErrBusy) +
                       "): Is someone else connected to this device?]"}));

  RecordingDisplay router;
  _display_device_list(router, {network, plain}, 0);
  EXPECT_EQ(router.lines,
            (Lines{"I:Discovered Devices: (Unknown)",
                   "I:    Device    Module   Router  Model          Firmware Version (Build)   [IP address]",
                   "I:    D272031D  06       06      Ravosk         1.0.0 (7) [192.168.1.40]",
                   "I:    40F5849A  02       10      Pandrel        2.10.6 (99528558)"}));
}

TEST(ResultPrinters, BuildsSortedByVersionText) {
  RecordingDisplay empty;
  _display_builds(empty, {}, 0x40F5849A);
  EXPECT_EQ(empty.lines, Lines{"I:No builds found for device [40F5849A]"});

  RecordingDisplay display;
  _display_builds(display,
                  {{"300", "2.10.6"}, {"100", "2.9.0"}, {"200", "2.10.10"}, {"123456789012345678", "a-very-long-version-text"}},
                  0x40F5849A);
  EXPECT_EQ(display.lines, (Lines{"I:Build List for device [40F5849A]:\n",
                                  "I:Build          \tVersion        ",
                                  "I:200            \t2.10.10        ",
                                  "I:300            \t2.10.6         ",
                                  "I:100            \t2.9.0          ",
                                  "I:123456789012345\ta-very-long-ver"}));
}

}  // namespace
