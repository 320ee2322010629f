// The Serial Download Protocol over USB HID: the real hidapi (hidraw
// backend) against the simulated i.MX RT boot ROM, emulated as hidraw
// device 1FC9:0130 with umockdev. The program runs itself under umockdev's
// preload library (tessarine_usbsim_preload).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>
#include <memory>
#include <vector>

#include "tests/sim/bootrom/ImxSdpHidDevice.h"
#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/usb/UmockdevPreload.h"
#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/SDPLoader.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kUid = 0x0011223344556677ull;

Bytes image(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(i ^ (i >> 8));
  }
  return bytes;
}

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class HidSdp : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(testsupport::usb::umockdevPreloaded()) << "umockdev's preload library is missing"; }

  void start(const bootrom::SdpFaults& faults = {}, const bootrom::HidDeviceOptions& options = {}) {
    rom.setFaults(faults);
    device = std::make_unique<bootrom::ImxSdpHidDevice>(rom, options);
    loader = std::make_unique<SDPLoader>();
    ASSERT_TRUE(loader->setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
    ASSERT_EQ(loader->init(), 0);
  }

  void TearDown() override {
    loader.reset();  // closes the device before it goes away
    device.reset();
  }

  bootrom::ImxSdpRom rom{kUid};
  std::unique_ptr<bootrom::ImxSdpHidDevice> device;
  std::unique_ptr<SDPLoader> loader;
};

TEST_F(HidSdp, LoadsAnImageStartsItAndReadsTheFuses) {
  start();
  Bytes data = image(2500);
  // The image vector table the ROM wants at the jump target, 0x20000400.
  const uint8_t table[24] = {0xD1, 0x00, 0x20, 0x41, 0x01, 0x14, 0x00, 0x20, 0, 0, 0, 0,
                             0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x04, 0x00, 0x20};
  std::copy(table, table + sizeof table, data.begin() + 0x400);
  ASSERT_EQ(loader->writeLoader(data, 0x20000000), 0);
  EXPECT_EQ(rom.memory(0x20000000, data.size()), data);

  unsigned long id = 0;
  ASSERT_EQ(loader->getFingerprint(id), 0);
  EXPECT_EQ(id, kUid);

  loader->startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  EXPECT_TRUE(rom.jumped());
  EXPECT_EQ(rom.jumpAddress(), 0x20000400u);

  // Output reports with their ids: command reports of 17 bytes, data
  // reports of at most 1025.
  const std::vector<std::vector<uint8_t>> reports = device->reportsWritten();
  ASSERT_EQ(reports.size(), 9u);  // status, write file, 3 data, status, 2 reads, jump
  EXPECT_EQ(reports[0].size(), 17u);
  EXPECT_EQ(reports[1][0], 1);
  EXPECT_EQ(reports[1][1], 0x04);
  EXPECT_EQ(reports[2].size(), 1025u);
  EXPECT_EQ(reports[3].size(), 1025u);
  EXPECT_EQ(reports[4].size(), 453u);
  EXPECT_EQ(reports[4][0], 2);
  EXPECT_EQ(reports[8][1], 0x0B);
}

struct HidCase {
  const char* what;
  std::function<void(bootrom::SdpFaults&, bootrom::HidDeviceOptions&)> fault;
  int writeResult;
  int fingerprintResult;
};

// Parameters print as their name, not as bytes.
void PrintTo(const HidCase& c, std::ostream* os) { *os << c.what; }

class HidSdpFaults : public HidSdp, public ::testing::WithParamInterface<HidCase> {};

TEST_P(HidSdpFaults, NoFailureLooksLikeSuccess) {
  const HidCase& c = GetParam();
  bootrom::SdpFaults faults;
  bootrom::HidDeviceOptions options;
  c.fault(faults, options);
  start(faults, options);
  EXPECT_EQ(loader->writeLoader(image(3000), 0x20000000), c.writeResult);
  unsigned long id = 0;
  EXPECT_EQ(loader->getFingerprint(id), c.fingerprintResult);
  if (c.fingerprintResult == 0) {
    EXPECT_EQ(id, kUid);
  }
}

const HidCase kHidFaults[] = {
    // A HAB-mode report read as a full 65 bytes still counts as 5.
    {"padded_hab_report", [](bootrom::SdpFaults&, bootrom::HidDeviceOptions& o) { o.padHabReport = true; }, 0, 0},
    {"silent", [](bootrom::SdpFaults& f, bootrom::HidDeviceOptions&) { f.silent = true; }, 2, 2},
    {"short_answers", [](bootrom::SdpFaults& f, bootrom::HidDeviceOptions&) { f.shape = bootrom::SdpAnswerShape::Short; },
     2, 2},
    {"doubled_answers",
     [](bootrom::SdpFaults& f, bootrom::HidDeviceOptions&) { f.shape = bootrom::SdpAnswerShape::Doubled; }, 2, 2},
    {"garbage_answers",
     [](bootrom::SdpFaults& f, bootrom::HidDeviceOptions&) { f.shape = bootrom::SdpAnswerShape::Garbage; }, 2, 2},
    {"reads_fail", [](bootrom::SdpFaults&, bootrom::HidDeviceOptions& o) { o.failReads = true; }, 2, 2},
    {"speaks_during_download",
     [](bootrom::SdpFaults& f, bootrom::HidDeviceOptions&) { f.speakDuringDownload = true; }, 3, 0},
    {"wrong_confirmation",
     [](bootrom::SdpFaults& f, bootrom::HidDeviceOptions&) { f.downloadCompleteWord = 0x12345678; }, 4, 0},
    {"register_unanswered",
     [](bootrom::SdpFaults& f, bootrom::HidDeviceOptions&) { f.answerReadRegister = false; }, 0, 7},
};

INSTANTIATE_TEST_SUITE_P(Rom, HidSdpFaults, ::testing::ValuesIn(kHidFaults),
                         [](const ::testing::TestParamInfo<HidCase>& info) { return info.param.what; });

// Every status request waits its 100 ms for reports that never come.
TEST_F(HidSdp, SilentDeviceCostsFiveAnswerWaits) {
  bootrom::SdpFaults faults;
  faults.silent = true;
  start(faults);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(loader->writeLoader(image(10), 0x20000000), 2);
  EXPECT_GE(msSince(start), 500);
  EXPECT_LT(msSince(start), 3000);
}

TEST_F(HidSdp, NoDeviceWithTheIdsMeansNoTransport) {
  bootrom::ImxSdpHidDevice present(rom);
  SDPLoader other;
  ASSERT_TRUE(other.setLoader(new HID_SDPLoader(IMX1050::VID, 0x0131)));
  EXPECT_EQ(other.init(), 6);
  unsigned long id = 0;
  EXPECT_EQ(other.getFingerprint(id), 2);  // nothing opened: nothing answers
  EXPECT_EQ(other.writeLoader(image(4), 0x20000000), 2);
}

// A read time-out leaves the caller's vector as it was.
TEST_F(HidSdp, ReadTimeOutAppendsNothing) {
  bootrom::ImxSdpHidDevice present(rom);
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(hid.init());
  Bytes reply = {9, 9};
  EXPECT_EQ(hid.readData(reply, 20), 0);
  EXPECT_EQ(reply, (Bytes{9, 9}));
}

}  // namespace

namespace {

Bytes command(uint16_t type, uint32_t address, uint8_t format, uint32_t count, uint32_t data = 0) {
  Bytes packet = {1, static_cast<unsigned char>(type >> 8), static_cast<unsigned char>(type)};
  for (uint32_t word : {address}) {
    for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(static_cast<unsigned char>(word >> shift));
  }
  packet.push_back(format);
  for (uint32_t word : {count, data}) {
    for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(static_cast<unsigned char>(word >> shift));
  }
  packet.push_back(0);
  return packet;
}

// The status word after the HAB mode of the next answer, 0 for none.
unsigned answerWord(HID_SDPLoader& port) {
  Bytes reply;
  port.readData(reply, 100);
  unsigned word = 0;
  return port.getDataFromBuffer(reply, 0, word) ? word : 0;
}

}  // namespace

// The device takes only the reports of its descriptor at their sizes, a
// register access at the width its format byte names, and no more image
// bytes than a download's count.
TEST_F(HidSdp, TheDeviceRefusesWhatTheChipRefuses) {
  device = std::make_unique<bootrom::ImxSdpHidDevice>(rom);
  HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(port.init());

  Bytes shortCommand = command(0x0505, 0, 0, 0);
  shortCommand.resize(12);
  EXPECT_LT(port.writeData(shortCommand), 0);
  Bytes longCommand = command(0x0505, 0, 0, 0);
  longCommand.push_back(0);
  EXPECT_LT(port.writeData(longCommand), 0);
  Bytes oversized(1026, 0);
  oversized[0] = 2;
  EXPECT_LT(port.writeData(oversized), 0);
  EXPECT_TRUE(rom.commandTypes().empty());

  struct Access {
    const char* what;
    uint16_t type;
    uint32_t address;
    uint8_t format;
    uint32_t count;
    unsigned answer;
  };
  const Access accesses[] = {
      {"32-bit read", 0x0101, 0x401F4410, 0x20, 4, 0x44556677},
      {"16-bit read", 0x0101, 0x401F4412, 0x10, 2, 0},
      {"8-bit read", 0x0101, 0x401F4413, 0x08, 1, 0},
      {"no width", 0x0101, 0x401F4410, 0x00, 4, bootrom::ImxSdpRom::kAccessRefused},
      {"unaligned 32-bit read", 0x0101, 0x401F4412, 0x20, 4, bootrom::ImxSdpRom::kAccessRefused},
      {"16-bit write", 0x0202, 0x400A8002, 0x10, 0, bootrom::ImxSdpRom::kRegisterWritten},
      {"unaligned 16-bit write", 0x0202, 0x400A8001, 0x10, 0, bootrom::ImxSdpRom::kAccessRefused},
  };
  for (const Access& a : accesses) {
    SCOPED_TRACE(a.what);
    ASSERT_EQ(port.writeData(command(a.type, a.address, a.format, a.count, 0x1234ABCD)), 17);
    const unsigned word = answerWord(port);
    if (a.answer != 0) {
      EXPECT_EQ(word, a.answer);
    } else {
      EXPECT_NE(word, bootrom::ImxSdpRom::kAccessRefused);
    }
  }
  ASSERT_EQ(rom.registerWrites().size(), 1u);
  EXPECT_EQ(rom.registerWrites()[0].width, 16u);
  EXPECT_EQ(rom.registerWrites()[0].value, 0xABCDu) << "a 16-bit write takes the low half of the data";

  // A data report carrying more than the download owes fails it.
  ASSERT_EQ(port.writeData(command(0x0404, 0x20000000, 0x20, 10)), 17);
  Bytes data(1 + 20, 0x5A);
  data[0] = 2;
  EXPECT_EQ(port.writeData(data), 21);
  EXPECT_EQ(answerWord(port), bootrom::ImxSdpRom::kSizeMismatch);
}
