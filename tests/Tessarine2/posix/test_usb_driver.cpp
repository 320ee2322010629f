// The USB stream over libusb, against emulated modules on umockdev's
// emulated kernel: the real libusb makes the usbfs requests, the device
// models answer them.

#include <errno.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aStreamUSB.h"
#include "Tessarine2/posix/tnusb_context.h"
#include "Tessarine2/posix/tnusb_driver.h"
#include "tests/sim/usb/LibusbSpy.h"
#include "tests/sim/usb/UsbTestbed.h"

namespace {

using namespace testsupport::usb;
using std::chrono::milliseconds;
using Kind = TransferFault::Kind;

constexpr uint32_t kSerial = 0x0000ABCD;

int64_t msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Each test checks on the way out that the stream let go of everything:
// every open of a device node closed, every claim released, every libusb
// handle closed and every device list freed with its references.
class UsbStream : public ::testing::Test {
 protected:
  void TearDown() override {
    if (stream_ != nullptr) {
      EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
    for (const auto& device : bus_.devices()) {
      EXPECT_TRUE(device->awaitAllClosed(milliseconds(2000)))
          << device->deviceNode() << " stays open: " << device->openNow() << " of " << device->counters().opens
          << " opens";
      UsbCounters counters = device->counters();
      if (!device->unplugged()) {
        EXPECT_EQ(counters.claims, counters.releases) << device->deviceNode();
      }
    }
    EXPECT_EQ(spy::openHandles(), 0);
    EXPECT_EQ(spy::heldDeviceLists(), 0);
  }

  aErr open(uint32_t serial = kSerial) { return aStream_CreateUSB(serial, &stream_); }

  // One byte by one-byte read.
  aErr readByte(uint8_t* byte) { return aStream_Read(stream_, byte, 1); }

  // count bytes by one-byte reads, reading through "not ready".
  std::string readBytes(size_t count) {
    std::string got;
    for (int tries = 0; got.size() < count && tries < 10; ++tries) {
      uint8_t byte;
      aErr result;
      while (got.size() < count && (result = readByte(&byte)) == aErrNone) {
        got.push_back(static_cast<char>(byte));
      }
    }
    return got;
  }

  UsbTestbed bus_;
  aStream* stream_ = nullptr;
};

// --- which devices are modules, and what a failed open gives ---

UsbDeviceDescription module() { return UsbDeviceDescription{}; }

UsbDeviceDescription withSerial(std::optional<std::string> serial) {
  UsbDeviceDescription device;
  device.serial = serial;
  return device;
}

UsbDeviceDescription withInterface(uint8_t cls, uint8_t subclass, uint8_t protocol) {
  UsbDeviceDescription device;
  device.interfaces[0].interfaceClass = cls;
  device.interfaces[0].subclass = subclass;
  device.interfaces[0].protocol = protocol;
  return device;
}

UsbDeviceDescription withEndpoints(std::vector<EndpointSpec> endpoints) {
  UsbDeviceDescription device;
  device.interfaces[0].endpoints = std::move(endpoints);
  return device;
}

struct MatchCase {
  friend void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  UsbDeviceDescription device;
  int claimErrno;       // the emulated kernel refuses the claim
  int claimResult;      // libusb's claim answers this (stand-in)
  aErr expected;
  int claimedInterface;  // -1: none
};

std::vector<MatchCase> matchCases() {
  UsbDeviceDescription otherVendor = module();
  otherVendor.vendorId = 0x1234;
  UsbDeviceDescription highProduct = module();
  highProduct.productId = 0x8004;
  UsbDeviceDescription topProduct = module();
  topProduct.productId = 0x7FFF;
  UsbDeviceDescription secondInterface = module();
  InterfaceSpec hid;
  hid.number = 0;
  hid.interfaceClass = 3;
  hid.subclass = 0;
  hid.protocol = 0;
  hid.endpoints = {{0x83, kInterruptEndpoint, 8}};
  secondInterface.interfaces = {hid, moduleInterface(1)};
  return {
      {"module", module(), 0, 0, aErrNone, 0},
      {"product_id_0x7FFF", topProduct, 0, 0, aErrNone, 0},
      {"other_vendor", otherVendor, 0, 0, aErrNotFound, -1},
      {"product_id_with_bit_15", highProduct, 0, 0, aErrNotFound, -1},
      {"lower_case_serial", withSerial("0000abcd"), 0, 0, aErrNotFound, -1},
      {"seven_digit_serial", withSerial("000ABCD"), 0, 0, aErrNotFound, -1},
      {"nine_digit_serial", withSerial("00000ABCD"), 0, 0, aErrNotFound, -1},
      {"no_serial_string", withSerial(std::nullopt), 0, 0, aErrNotFound, -1},
      {"interface_class_0xFE", withInterface(0xFE, 0x88, 0x10), 0, 0, aErrConfiguration, -1},
      {"interface_subclass_0x87", withInterface(0xFF, 0x87, 0x10), 0, 0, aErrConfiguration, -1},
      {"interface_protocol_0x11", withInterface(0xFF, 0x88, 0x11), 0, 0, aErrConfiguration, -1},
      {"in_endpoint_only", withEndpoints({{0x81, kBulkEndpoint}}), 0, 0, aErrConfiguration, -1},
      {"out_endpoint_only", withEndpoints({{0x02, kBulkEndpoint}}), 0, 0, aErrConfiguration, -1},
      {"isochronous_endpoints",
       withEndpoints({{0x81, kIsochronousEndpoint}, {0x02, kIsochronousEndpoint}}), 0, 0, aErrConfiguration, -1},
      {"interrupt_endpoints", withEndpoints({{0x81, kInterruptEndpoint}, {0x02, kInterruptEndpoint}}), 0, 0,
       aErrNone, 0},
      {"vendor_interface_second", secondInterface, 0, 0, aErrNone, 1},
      {"claim_busy", module(), EBUSY, 0, aErrBusy, -1},
      {"claim_device_gone", module(), ENODEV, 0, aErrBusy, -1},
      {"claim_refused_otherwise", module(), EPERM, 0, aErrUnknown, -1},
      {"claim_access_denied", module(), 0, LIBUSB_ERROR_ACCESS, aErrPermission, -1},
  };
}

class UsbMatching : public UsbStream, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(UsbMatching, OpenByUpperCaseSerialNumber) {
  const MatchCase& c = GetParam();
  UsbDeviceModel& device = bus_.add(c.device);
  device.refuseClaims(c.claimErrno);
  spy::failClaim(c.claimResult);
  EXPECT_EQ(open(), c.expected);
  EXPECT_EQ(stream_ != nullptr, c.expected == aErrNone);
  EXPECT_EQ(device.counters().lastClaim, c.claimedInterface);
  if (c.expected == aErrNone) {
    // The endpoints found are the vendor interface's.
    ASSERT_EQ(aStream_Write(stream_, "\x02\x00", 2), aErrNone);
    EXPECT_EQ(device.hostWrote(), std::string("\x02\x00", 2));
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, UsbMatching, ::testing::ValuesIn(matchCases()),
                         [](const ::testing::TestParamInfo<MatchCase>& info) { return info.param.name; });

TEST_F(UsbStream, SearchStopsAtTheFirstDeviceWithTheSerialNumber) {
  UsbDeviceDescription good = module();
  good.productId = 4;
  UsbDeviceDescription broken = withInterface(0xFE, 0x88, 0x10);
  broken.productId = 5;
  UsbDeviceModel& goodDevice = bus_.add(good);
  UsbDeviceModel& brokenDevice = bus_.add(broken);
  // libusb's own order decides which comes first.
  std::vector<uint32_t> models;
  aDiscovery_EnumerateModules(
      USB,
      [](const linkSpec* spec, bool*, void* reference) {
        static_cast<std::vector<uint32_t>*>(reference)->push_back(spec->model);
        return true;
      },
      &models, 0);
  ASSERT_EQ(models.size(), 2u);
  const int goodOpensBefore = goodDevice.counters().opens;
  const int brokenOpensBefore = brokenDevice.counters().opens;
  if (models[0] == 5) {
    EXPECT_EQ(open(), aErrConfiguration);
    EXPECT_EQ(goodDevice.counters().opens, goodOpensBefore) << "the search went on past the match";
  } else {
    EXPECT_EQ(open(), aErrNone);
    EXPECT_EQ(brokenDevice.counters().opens, brokenOpensBefore) << "the search went on past the match";
  }
}

TEST_F(UsbStream, ModuleThatCannotBeOpenedIsSkipped) {
  UsbDeviceModel& first = bus_.add(module());
  UsbDeviceModel& second = bus_.add(module());
  // The user may open neither (stand-in: umockdev cannot refuse an open).
  spy::failOpens(LIBUSB_ERROR_ACCESS, 2);
  EXPECT_EQ(open(), aErrNotFound);
  // Only the first in libusb's order: the search goes on to the other.
  spy::failOpens(LIBUSB_ERROR_ACCESS, 1);
  EXPECT_EQ(open(), aErrNone);
  EXPECT_EQ(first.counters().claims + second.counters().claims, 1);
}

TEST_F(UsbStream, NoModuleWithTheSerialNumberIsNotFound) {
  bus_.add(module());
  EXPECT_EQ(open(0x0000ABCE), aErrNotFound);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(aStream_CreateUSB(0, &stream_), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);
}

// --- reads ---

TEST_F(UsbStream, ReadsDeliverAPacketFromOneTransfer) {
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  const std::string packet("\x04\x03\x01\x02\x03", 5);
  device.queueForHost(packet);
  EXPECT_EQ(readBytes(packet.size()), packet);
  EXPECT_EQ(device.counters().bulkSubmits, 1);
}

TEST_F(UsbStream, IdleModuleReadWaitsOneSecondThenIsNotReady) {
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  auto start = std::chrono::steady_clock::now();
  uint8_t byte;
  EXPECT_EQ(readByte(&byte), aErrNotReady);
  int64_t waited = msSince(start);
  EXPECT_GE(waited, 950);
  EXPECT_LT(waited, 1600);
  EXPECT_EQ(device.counters().discards, 1);
}

TEST_F(UsbStream, BytesArrivingDuringTheWaitAreReadAtOnce) {
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  std::thread module([&] {
    device.awaitInWaiting(milliseconds(2000));
    device.queueForHost("k");
  });
  auto start = std::chrono::steady_clock::now();
  uint8_t byte = 0;
  EXPECT_EQ(readByte(&byte), aErrNone);
  EXPECT_EQ(byte, 'k');
  EXPECT_LT(msSince(start), 500);
  module.join();
}

struct ReadCase {
  friend void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  std::string queued;
  TransferFault fault;
  bool notReadyFirst;  // the faulty transfer delivers nothing
  std::string bytes;   // then read
  int clearHalts;
};

class UsbReadFaults : public UsbStream, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(UsbReadFaults, BytesTransferredAreDeliveredWhateverTheEnd) {
  const ReadCase& c = GetParam();
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  device.queueForHost(c.queued);
  device.failNextIn(c.fault);
  uint8_t byte;
  if (c.notReadyFirst) {
    EXPECT_EQ(readByte(&byte), aErrNotReady);
  }
  EXPECT_EQ(readBytes(c.bytes.size()), c.bytes);
  EXPECT_EQ(device.counters().clearHalts, c.clearHalts);
  // Nothing is delivered twice.
  EXPECT_EQ(device.queuedForHost(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbReadFaults,
    ::testing::Values(ReadCase{"timeout_with_data", "abc", {Kind::Partial, 3}, false, "abc", 0},
                      ReadCase{"timeout_without_data", "", {Kind::Hang}, true, "", 0},
                      ReadCase{"stall", "z", {Kind::Stall}, true, "z", 1},
                      ReadCase{"overflow_with_data", "xyz", {Kind::Overflow, 3}, false, "xyz", 0},
                      ReadCase{"overflow_without_data", "", {Kind::Overflow, 0}, true, "", 0},
                      ReadCase{"bus_error_with_data", "pq", {Kind::BusError, 2}, false, "pq", 0},
                      ReadCase{"bus_error_without_data", "r", {Kind::BusError, 0}, true, "r", 0}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

// --- writes ---

struct WriteCase {
  friend void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  std::vector<TransferFault> faults;
  std::vector<size_t> transfers;
  int clearHalts;
};

class UsbWrites : public UsbStream, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(UsbWrites, EveryByteGoesOutOnceInChunksOf50) {
  const WriteCase& c = GetParam();
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  for (const TransferFault& fault : c.faults) {
    device.failNextOut(fault);
  }
  std::string data;
  for (int i = 0; i < 120; ++i) {
    data.push_back(static_cast<char>(i));
  }
  EXPECT_EQ(aStream_Write(stream_, data.data(), data.size()), aErrNone);
  EXPECT_EQ(device.hostWrote(), data);
  EXPECT_EQ(device.outTransferLengths(), c.transfers);
  EXPECT_EQ(device.counters().clearHalts, c.clearHalts);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, UsbWrites,
    ::testing::Values(
        WriteCase{"no_fault", {}, {50, 50, 20}, 0},
        // The rest of the chunk goes again at once; the bytes taken are not
        // sent again.
        WriteCase{"partial_then_timeout", {{Kind::Partial, 20}}, {50, 30, 50, 20}, 0},
        WriteCase{"partial_then_bus_error", {{Kind::BusError, 10}}, {50, 40, 50, 20}, 0},
        WriteCase{"partial_retry_partial_again", {{Kind::Partial, 20}, {Kind::Partial, 5}}, {50, 30, 50, 45}, 0},
        WriteCase{"stall", {{Kind::Stall}}, {50, 50, 50, 20}, 1},
        // The retry stalls: the next pass finds the endpoint halted, clears
        // it and sends the chunk again.
        WriteCase{"retry_stalls", {{Kind::Partial, 0}, {Kind::Stall}}, {50, 50, 50, 50, 50, 20}, 1}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST_F(UsbStream, OneByteWriteIsOneTransfer) {
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  EXPECT_EQ(aStream_Write(stream_, "A", 1), aErrNone);
  EXPECT_EQ(device.outTransferLengths(), std::vector<size_t>{1});
}

// --- error tolerance ---

TEST_F(UsbStream, UnpluggedModuleFailsOnTheFifthReadAndStaysFailed) {
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  device.unplug();
  uint8_t byte;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(readByte(&byte), aErrNotReady) << "read " << i;
  }
  EXPECT_EQ(readByte(&byte), aErrIO);
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(readByte(&byte), aErrIO) << "read " << i << " after the failure";
  }
  EXPECT_EQ(aStream_Write(stream_, "A", 1), aErrIO);
}

// A write whose first transfer and its retry both fail records an I/O
// error (the next pass sends the chunk).
void failOneWrite(UsbDeviceModel& device) {
  device.failNextOut({Kind::BusError, 0});
  device.failNextOut({Kind::BusError, 0});
}

TEST_F(UsbStream, FifthConsecutiveFailedWriteFailsTheDevice) {
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  for (int i = 0; i < 4; ++i) {
    failOneWrite(device);
    EXPECT_EQ(aStream_Write(stream_, "ab", 2), aErrNone) << "write " << i;
  }
  failOneWrite(device);
  EXPECT_EQ(aStream_Write(stream_, "ab", 2), aErrIO);
  // Failed for good: no more transfers, every read and write is an error.
  const int submits = device.counters().bulkSubmits;
  EXPECT_EQ(aStream_Write(stream_, "ab", 2), aErrIO);
  uint8_t byte;
  EXPECT_EQ(readByte(&byte), aErrIO);
  EXPECT_EQ(device.counters().bulkSubmits, submits);
  EXPECT_EQ(device.hostWrote(), "ababababab");
}

TEST_F(UsbStream, SuccessClearsTheErrorCount) {
  UsbDeviceModel& device = bus_.add(module());
  ASSERT_EQ(open(), aErrNone);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 4; ++i) {
      failOneWrite(device);
      ASSERT_EQ(aStream_Write(stream_, "c", 1), aErrNone);
    }
    ASSERT_EQ(aStream_Write(stream_, "d", 1), aErrNone);
  }
}

// --- both threads of a link ---

TEST_F(UsbStream, ReaderAndWriterThreadsShareTheStream) {
  UsbDeviceModel& device = bus_.add(module());
  device.setHostWriteHandler([&device](const std::string& bytes) { device.queueForHost(bytes); });
  ASSERT_EQ(open(), aErrNone);
  constexpr int kPackets = 100;
  std::string sent;
  for (int i = 0; i < kPackets; ++i) {
    sent += std::string(1, static_cast<char>(2 * (i % 100 + 1))) + std::string(1, 28) +
            std::string(28, static_cast<char>(i));
  }
  std::string echoed;
  std::thread reader([&] { echoed = readBytes(sent.size()); });
  std::thread writer([&] {
    for (int i = 0; i < kPackets; ++i) {
      EXPECT_EQ(aStream_Write(stream_, sent.data() + 30 * i, 30), aErrNone);
    }
  });
  writer.join();
  reader.join();
  EXPECT_EQ(echoed, sent);
}

// --- the libusb context ---

TEST_F(UsbStream, FailedLibusbInitMeansNoDevicesAndAClearError) {
  if (Tessarine_libusb_context() != nullptr) {
    GTEST_SKIP() << "the libusb context of this process already exists: run this test alone";
  }
  bus_.add(module());
  spy::failInit(LIBUSB_ERROR_OTHER);
  EXPECT_EQ(open(), aErrInitialization);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(Tessarine_libusb_context(), nullptr);
  EXPECT_EQ(aDiscovery_EnumerateModules(
                USB, [](const linkSpec*, bool* taken, void*) { return *taken = true; }, nullptr, 0),
            0);
  // libusb never saw a NULL context: nothing was listed.
  EXPECT_EQ(spy::calls(spy::Call::GetDeviceList), 0);
  // The next use tries again.
  spy::failInit(0);
  EXPECT_EQ(open(), aErrNone);
  EXPECT_NE(Tessarine_libusb_context(), nullptr);
}

}  // namespace
