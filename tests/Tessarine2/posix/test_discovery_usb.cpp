// USB enumeration through the real libusb, against emulated devices on
// umockdev's emulated kernel.

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aStreamUSB.h"
#include "Tessarine2/posix/tnusb_context.h"
#include "tests/sim/usb/LibusbSpy.h"
#include "tests/sim/usb/UsbTestbed.h"

namespace {

using namespace testsupport::usb;
using std::chrono::milliseconds;

UsbDeviceDescription device(uint16_t vendor, uint16_t product, std::optional<std::string> serial) {
  UsbDeviceDescription description;
  description.vendorId = vendor;
  description.productId = product;
  description.serial = std::move(serial);
  return description;
}

// What an enumeration offered, in its order.
struct Offered {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;  // 0: never
  bool take = true;
};

bool collect(const linkSpec* spec, bool* taken, void* reference) {
  Offered* offered = static_cast<Offered*>(reference);
  EXPECT_FALSE(*taken);
  offered->specs.push_back(*spec);
  *taken = offered->take;
  return offered->stopAfter == 0 || offered->specs.size() < offered->stopAfter;
}

// Each test ends with every device closed and every list released.
class UsbEnumeration : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& each : bus_.devices()) {
      EXPECT_TRUE(each->awaitAllClosed(milliseconds(2000))) << each->deviceNode() << " stays open";
      EXPECT_EQ(each->counters().claims, each->counters().releases) << each->deviceNode();
    }
    EXPECT_EQ(spy::openHandles(), 0);
    EXPECT_EQ(spy::heldDeviceLists(), 0);
  }

  UsbTestbed bus_;
};

struct Row {
  const char* what;
  UsbDeviceDescription device;
  bool offered;
  uint32_t serial;
  uint32_t model;
};

TEST_F(UsbEnumeration, OffersEveryModuleWithAnEightDigitHexadecimalSerial) {
  const std::vector<Row> rows = {
      {"module", device(kModuleVendorId, 0x0004, "0000ABCD"), true, 0x0000ABCD, 4},
      {"model from the product id's low byte", device(kModuleVendorId, 0x0113, "12345678"), true, 0x12345678, 0x13},
      {"lower-case serial", device(kModuleVendorId, 0x0005, "00abcdef"), true, 0x00ABCDEF, 5},
      {"product id with bit 15", device(kModuleVendorId, 0x8004, "0000AAAA"), false, 0, 0},
      {"other vendor", device(0x1234, 0x0004, "0000BBBB"), false, 0, 0},
      {"seven-character serial", device(kModuleVendorId, 0x0004, "000CCCC"), false, 0, 0},
      {"nine-character serial", device(kModuleVendorId, 0x0004, "00000DDDD"), false, 0, 0},
      {"eight characters, not hexadecimal", device(kModuleVendorId, 0x0004, "0000EEEG"), false, 0, 0},
      {"eight characters with a sign", device(kModuleVendorId, 0x0004, "-000EEEE"), false, 0, 0},
      {"no serial string", device(kModuleVendorId, 0x0004, std::nullopt), false, 0, 0},
  };
  for (const Row& row : rows) {
    bus_.add(row.device);
  }
  Offered offered;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &offered, 0), 3);
  for (const Row& row : rows) {
    int seen = 0;
    for (const linkSpec& spec : offered.specs) {
      if (spec.serial_num == row.serial && spec.model == row.model) {
        ++seen;
        linkSpec expected{};
        expected.type = USB;
        expected.serial_num = row.serial;
        expected.model = row.model;
        expected.t.usb.usb_id = row.serial;
        EXPECT_EQ(std::memcmp(&spec, &expected, sizeof expected), 0) << row.what;
      }
    }
    EXPECT_EQ(seen, row.offered ? 1 : 0) << row.what;
  }
  EXPECT_EQ(offered.specs.size(), 3u);
  // Enumeration only reads descriptors.
  for (const auto& each : bus_.devices()) {
    EXPECT_EQ(each->counters().claims, 0) << each->deviceNode();
    EXPECT_EQ(each->counters().bulkSubmits, 0) << each->deviceNode();
  }
}

TEST_F(UsbEnumeration, LowerCaseSerialIsFoundButCannotBeOpened) {
  bus_.add(device(kModuleVendorId, 0x0004, "00abcdef"));
  linkSpec* spec = aDiscovery_FindModule(USB, 0x00ABCDEF, 0);
  ASSERT_NE(spec, nullptr);
  aLinkSpec_Destroy(&spec);
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x00ABCDEF, &stream), aErrNotFound);
}

TEST_F(UsbEnumeration, CallbackThatStopsEndsTheEnumeration) {
  bus_.add(device(kModuleVendorId, 4, "00000001"));
  bus_.add(device(kModuleVendorId, 4, "00000002"));
  bus_.add(device(kModuleVendorId, 4, "00000003"));
  Offered stopAtFirst;
  stopAtFirst.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &stopAtFirst, 0), 1);
  EXPECT_EQ(stopAtFirst.specs.size(), 1u);

  Offered notTaken;
  notTaken.take = false;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &notTaken, 0), 0);
  EXPECT_EQ(notTaken.specs.size(), 3u);
}

TEST_F(UsbEnumeration, FindModuleReturnsTheFirstWithTheSerialNumber) {
  bus_.add(device(kModuleVendorId, 0x0004, "00000000"));
  bus_.add(device(kModuleVendorId, 0x0007, "0000ABCD"));
  bus_.add(device(kModuleVendorId, 0x0009, "0000ABCD"));
  Offered order;
  ASSERT_EQ(aDiscovery_EnumerateModules(USB, collect, &order, 0), 3);
  uint32_t firstModel = 0;
  uint32_t firstNonZero = 0;
  for (const linkSpec& spec : order.specs) {
    if (spec.serial_num == 0x0000ABCD && firstModel == 0) {
      firstModel = spec.model;
    }
    if (spec.serial_num != 0 && firstNonZero == 0) {
      firstNonZero = spec.serial_num;
    }
  }

  linkSpec* found = aDiscovery_FindModule(USB, 0x0000ABCD, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->type, USB);
  EXPECT_EQ(found->serial_num, 0x0000ABCDu);
  EXPECT_EQ(found->model, firstModel);
  aLinkSpec_Destroy(&found);

  EXPECT_EQ(aDiscovery_FindModule(USB, 0x0BADBEEF, 0), nullptr);

  // The first module whose serial number is not 0.
  linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->serial_num, firstNonZero);
  aLinkSpec_Destroy(&first);
}

TEST_F(UsbEnumeration, RunsWhileALinkHoldsTheModule) {
  UsbDeviceModel& module = bus_.add(device(kModuleVendorId, 0x0004, "0000ABCD"));
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x0000ABCD, &stream), aErrNone);
  linkSpec* spec = aDiscovery_FindModule(USB, 0x0000ABCD, 0);
  ASSERT_NE(spec, nullptr);
  aLinkSpec_Destroy(&spec);
  // The stream still works.
  ASSERT_EQ(aStream_Write(stream, "\x02\x00", 2), aErrNone);
  EXPECT_EQ(module.hostWrote(), std::string("\x02\x00", 2));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(module.counters().claims, 1);
}

TEST_F(UsbEnumeration, FailedLibusbInitEnumeratesNothing) {
  if (Tessarine_libusb_context() != nullptr) {
    GTEST_SKIP() << "the libusb context of this process already exists: run this test alone";
  }
  bus_.add(device(kModuleVendorId, 0x0004, "0000ABCD"));
  spy::failInit(LIBUSB_ERROR_NO_MEM);
  Offered offered;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &offered, 0), 0);
  EXPECT_TRUE(offered.specs.empty());
  EXPECT_EQ(aDiscovery_FindModule(USB, 0x0000ABCD, 0), nullptr);
  EXPECT_EQ(spy::calls(spy::Call::GetDeviceList), 0);
  spy::failInit(0);
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &offered, 0), 1);
}

// Started by usbsim-run (registered as UsbLauncher.ThroughUsbsimRun): the
// bus, with an echoing module 12345678 of product 0x0113, belongs to the
// launching process.
TEST(UsbLauncher, ChildSeesTheLaunchersModules) {
  if (getenv("UMOCKDEV_DIR") == nullptr) {
    GTEST_SKIP() << "runs under usbsim-run";
  }
  Offered offered;
  ASSERT_EQ(aDiscovery_EnumerateModules(USB, collect, &offered, 0), 1);
  EXPECT_EQ(offered.specs[0].serial_num, 0x12345678u);
  EXPECT_EQ(offered.specs[0].model, 0x13u);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0x12345678, &stream), aErrNone);
  ASSERT_EQ(aStream_Write(stream, "\x04\x01\x17", 3), aErrNone);
  char echoed[3] = {};
  aErr result = aErrNotReady;
  for (int tries = 0; tries < 3 && result == aErrNotReady; ++tries) {
    result = aStream_Read(stream, echoed, sizeof echoed);
  }
  EXPECT_EQ(result, aErrNone);
  EXPECT_EQ(std::string(echoed, 3), std::string("\x04\x01\x17", 3));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

// No testbed: the real libusb on this machine's own (empty) bus.
TEST(UsbEnumerationOutsideTheEmulation, FindsNoModule) {
  Offered offered;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &offered, 0), 0);
  EXPECT_TRUE(offered.specs.empty());
  EXPECT_EQ(spy::heldDeviceLists(), 0);
  EXPECT_EQ(spy::openHandles(), 0);
}

}  // namespace
