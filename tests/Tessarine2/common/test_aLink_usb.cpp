// A USB link through the real libusb against a simulated module on
// umockdev's emulated bus: what a new link writes, a shared link's
// lifetime, and what its teardown leaves behind.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "tests/Tessarine2/common/test_aLink_support.h"
#include "tests/sim/usb/UsbSimModule.h"
#include "tests/sim/usb/UsbTestbed.h"

namespace {

using linktest::echo;
using linktest::kModule;
using simmodule::SimPacket;
using std::chrono::milliseconds;

constexpr uint32_t kSerial = 0x0000ABCD;

// The module engine behind the emulated device's bulk endpoints. Its
// output is made only on the emulation's thread (answers to what the host
// wrote), never queued from the test's own thread.
class UsbModule {
 public:
  UsbModule() : usb_(bus_.add(testsupport::usb::UsbDeviceDescription{})) {
    testsupport::usb::attachToUsb(engine, usb_);
  }
  ~UsbModule() { engine.detach(); }

  testsupport::usb::UsbDeviceModel& usb() { return usb_; }
  simmodule::ModuleEngine engine{kModule};

 private:
  testsupport::usb::UsbTestbed bus_;
  testsupport::usb::UsbDeviceModel& usb_;
};

TEST(UsbLink, OpensWithForceRouteSynchronisationForceRouteAndClosesCleanly) {
  UsbModule module;
  // Answers only once all six requests are in: the link comes in step only
  // then, so none of them is dropped unwritten.
  module.engine.holdSyncAnswers(6);
  linkID link = aLink_CreateUSB(kSerial);
  ASSERT_NE(link, 0);
  EXPECT_EQ(aLink_GetStatus(link), kLinkStateRunning);
  ASSERT_TRUE(module.engine.waitUntil([&] { return module.engine.forceRoutes().size() == 2; }, 2000));

  // Force-route on, one round of six requests (the module answers the
  // first attempt), force-route on again; nothing else before the user.
  std::vector<uint8_t> expected{0xAF, 0x01, 0x01};
  for (int i = 0; i < 6; ++i) {
    expected.push_back(0xAD);
    expected.push_back(0x00);
  }
  expected.insert(expected.end(), {0xAF, 0x01, 0x01});
  const std::vector<uint8_t> raw = module.engine.rawReceived();
  const std::vector<uint8_t> opening(raw.begin(), raw.begin() + std::min(raw.size(), expected.size()));
  EXPECT_EQ(opening, expected);
  EXPECT_EQ(raw.size(), expected.size());

  linkID second = aLink_CreateUSB(kSerial);
  EXPECT_EQ(second, link);
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_TRUE(echo(link, {1, 2, 3}));

  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  const std::vector<simmodule::ModuleEngine::HostPacket> got = module.engine.received();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().packet, (SimPacket{0xAF, {0}}));
  EXPECT_TRUE(module.usb().awaitAllClosed(milliseconds(2000)));
  const testsupport::usb::UsbCounters counters = module.usb().counters();
  EXPECT_EQ(counters.claims, 1);
  EXPECT_EQ(counters.releases, 1);
}

TEST(UsbLink, AModuleThatNeverAnswersGivesNoLinkAndReleasesTheDevice) {
  UsbModule module;
  module.engine.setSilent(true);
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0);
  EXPECT_GT(module.engine.syncRequests(), 0u);
  EXPECT_TRUE(module.usb().awaitAllClosed(milliseconds(2000)));
  EXPECT_EQ(module.usb().counters().claims, module.usb().counters().releases);
  EXPECT_EQ(aLink_GetStatus(1), kLinkStateNoStream);
}

}  // namespace
