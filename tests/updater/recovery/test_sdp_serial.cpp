// The Serial Download Protocol over a serial port, against the simulated
// i.MX RT boot ROM on a pseudo-terminal.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/bootrom/ImxSdpSerialPeer.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kUid = 0xFEEDFACE00C0FFEEull;

Bytes image(size_t n, unsigned seed) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>((i * 31 + seed) >> 1);
  }
  return bytes;
}

// What the boot ROM needs at a jump target: an image vector table naming
// itself there.
Bytes withVectorTable(Bytes bytes, uint32_t base, uint32_t at) {
  const uint32_t entry = at + 0x1001;
  const unsigned char ivt[32] = {0xD1, 0x00, 0x20, 0x41, (unsigned char)entry, (unsigned char)(entry >> 8),
                                 (unsigned char)(entry >> 16), (unsigned char)(entry >> 24), 0, 0, 0, 0, 0, 0, 0, 0,
                                 0, 0, 0, 0, (unsigned char)at, (unsigned char)(at >> 8), (unsigned char)(at >> 16),
                                 (unsigned char)(at >> 24)};
  std::copy(ivt, ivt + sizeof ivt, bytes.begin() + (at - base));
  return bytes;
}

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialSdp : public ::testing::Test {
 protected:
  bootrom::ImxSdpRom rom{kUid};
  bootrom::ImxSdpSerialPeer peer{rom};
  SDPLoader loader;

  void open() {
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(peer.devicePath().c_str())));
    ASSERT_EQ(loader.init(), 0);
  }
};

// The recovery flow: each loader block to its address, then the jump.
TEST_F(SerialSdp, LoadsBlocksStartsThemAndReadsTheFuses) {
  open();
  const Bytes first = withVectorTable(image(2500, 1), 0x20000000, 0x20000400), second = image(300, 2);
  ASSERT_EQ(loader.writeLoader(first, 0x20000000), 0);
  ASSERT_EQ(loader.writeLoader(second, 0x20200000), 0);
  EXPECT_EQ(rom.memory(0x20000000, first.size()), first);
  EXPECT_EQ(rom.memory(0x20200000, second.size()), second);

  unsigned long id = 0;
  ASSERT_EQ(loader.getFingerprint(id), 0);
  EXPECT_EQ(id, kUid);

  EXPECT_EQ(loader.startLoader(0x20000400), 0);
  EXPECT_TRUE(rom.jumped());
  EXPECT_EQ(rom.jumpAddress(), 0x20000400u);
  // No report ids on a UART: eight 16-byte commands and the bare image
  // bytes, each block right after its WRITE_FILE.
  const std::string wire = peer.received();
  ASSERT_EQ(wire.size(), 8 * 16 + first.size() + second.size());
  EXPECT_EQ(wire.substr(0, 3), std::string("\x05\x05\x00", 3));
  EXPECT_EQ(wire.substr(16, 2), "\x04\x04");
  EXPECT_EQ(wire.substr(32, first.size()), std::string(first.begin(), first.end()));
}

struct FaultCase {
  const char* what;
  std::function<void(bootrom::SdpFaults&)> fault;
  int writeResult;
  int fingerprintResult;  // -1: not tried
  size_t imageSize = 1500;
};

// Parameters print as their name, not as bytes.
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.what; }

class SerialSdpFaults : public SerialSdp, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SerialSdpFaults, NoFailureLooksLikeSuccess) {
  const FaultCase& c = GetParam();
  bootrom::SdpFaults faults;
  c.fault(faults);
  rom.setFaults(faults);
  open();
  EXPECT_EQ(loader.writeLoader(image(c.imageSize, 3), 0x20000000), c.writeResult);
  if (c.fingerprintResult >= 0) {
    unsigned long id = 0;
    EXPECT_EQ(loader.getFingerprint(id), c.fingerprintResult);
    if (c.fingerprintResult == 0) {
      EXPECT_EQ(id, kUid);
    }
  }
}

const FaultCase kFaults[] = {
    {"silent", [](bootrom::SdpFaults& f) { f.silent = true; }, 2, 2},
    {"alive_after_four_requests", [](bootrom::SdpFaults& f) { f.ignoreStatusRequests = 4; }, 0, 0},
    {"dead_for_five_requests", [](bootrom::SdpFaults& f) { f.ignoreStatusRequests = 5; }, 2, 0},
    // Long enough on the line that the ROM's early answer is there before
    // the last data packet.
    {"speaks_during_download", [](bootrom::SdpFaults& f) { f.speakDuringDownload = true; }, 3, -1, 8 * 1024},
    {"no_confirmation", [](bootrom::SdpFaults& f) { f.confirmDownload = false; }, 4, 0},
    {"wrong_confirmation", [](bootrom::SdpFaults& f) { f.downloadCompleteWord = 0x12345678; }, 4, 0},
    {"short_answers", [](bootrom::SdpFaults& f) { f.shape = bootrom::SdpAnswerShape::Short; }, 2, 2},
    {"garbage_answers", [](bootrom::SdpFaults& f) { f.shape = bootrom::SdpAnswerShape::Garbage; }, 4, -1},
    {"register_unanswered", [](bootrom::SdpFaults& f) { f.answerReadRegister = false; }, 0, 7},
};

INSTANTIATE_TEST_SUITE_P(Rom, SerialSdpFaults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.what; });

TEST_F(SerialSdp, RefusedTargetAddressIsAFailure) {
  open();
  EXPECT_EQ(loader.writeLoader(image(64, 4), 0x60000000), 4);
  EXPECT_EQ(rom.memory(0x60000000, 4), Bytes(4, 0));
}

// Five status requests, each given 100 ms.
TEST_F(SerialSdp, SilentRomCostsFiveAnswerWaits) {
  bootrom::SdpFaults faults;
  faults.silent = true;
  rom.setFaults(faults);
  open();
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(loader.writeLoader(image(16, 5), 0x20000000), 2);
  const long elapsed = msSince(start);
  EXPECT_GE(elapsed, 500);
  EXPECT_LT(elapsed, 3000);
}

// The answer can come only after the last image byte is on the wire: a
// fixed wait from the moment the port took the bytes would miss it.
TEST_F(SerialSdp, AnswersAreAwaitedFromTheEndOfTheLine) {
  open();
  const Bytes big = image(16 * 1024, 6);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(loader.writeLoader(big, 0x20000000), 0);
  const long elapsed = msSince(start);
  EXPECT_EQ(rom.memory(0x20000000, big.size()), big);
  EXPECT_GE(elapsed, static_cast<long>(big.size() * 10 * 1000 / 115200));
}

// A line slower than its nominal rate (two UARTs agree within a few
// percent): a large image takes that much longer to cross, and its
// confirmation comes that much later than the port's rate says.
TEST(SerialSdpSlowLine, ALargeLoaderIsConfirmedAndStarted) {
  bootrom::ImxSdpRom rom{kUid};
  bootrom::SerialLineOptions slow;
  slow.lineSpeed = 0.95;
  bootrom::ImxSdpSerialPeer peer{rom, slow};
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(peer.devicePath().c_str())));
  ASSERT_EQ(loader.init(), 0);
  const Bytes big = withVectorTable(image(64 * 1024, 9), 0x20000000, 0x20000400);
  ASSERT_EQ(loader.writeLoader(big, 0x20000000), 0);
  EXPECT_EQ(rom.memory(0x20000000, big.size()), big);
  EXPECT_EQ(loader.startLoader(0x20000400), 0);
  EXPECT_TRUE(rom.jumped());
  EXPECT_EQ(rom.jumpAddress(), 0x20000400u);
}

// A jump to where no image vector table was written is refused, and the
// ROM stays in its download protocol: the next session loads.
TEST_F(SerialSdp, ARefusedJumpLeavesTheRomTakingCommands) {
  {
    SDPLoader first;
    ASSERT_TRUE(first.setLoader(new Serial_SDPLoader(peer.devicePath().c_str())));
    ASSERT_EQ(first.init(), 0);
    ASSERT_EQ(first.writeLoader(image(64, 7), 0x20000000), 0);
    EXPECT_EQ(first.startLoader(0x20000000), SDPLoader::kJumpRefused);  // no vector table there
  }
  EXPECT_EQ(rom.refusedJumps(), 1u);
  open();
  const Bytes good = withVectorTable(image(4096, 8), 0x20000000, 0x20000400);
  ASSERT_EQ(loader.writeLoader(good, 0x20000000), 0);
}

// Another protocol's bytes before the session (the LPC17xx probe's "?")
// are made up to a whole command, so the ROM's framing matches ours.
TEST_F(SerialSdp, StrayBytesBeforeTheSessionAreMadeUpToACommand) {
  for (size_t stray : {1u, 15u, 17u}) {
    SCOPED_TRACE(stray);
    bootrom::ImxSdpRom chip{kUid};
    bootrom::ImxSdpSerialPeer line{chip};
    {
      int fd = ::open(line.devicePath().c_str(), O_RDWR | O_NOCTTY);
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      cfsetispeed(&t, B115200);
      cfsetospeed(&t, B115200);
      tcsetattr(fd, TCSANOW, &t);
      ASSERT_EQ(write(fd, std::string(stray, '?').data(), stray), static_cast<ssize_t>(stray));
      usleep(20000);
      close(fd);
    }
    SDPLoader sdp;
    Serial_SDPLoader* port = new Serial_SDPLoader(line.devicePath().c_str());
    port->setBytesBefore(stray);
    ASSERT_TRUE(sdp.setLoader(port));
    ASSERT_EQ(sdp.init(), 0);
    unsigned long id = 0;
    ASSERT_EQ(sdp.getFingerprint(id), 0);
    EXPECT_EQ(id, kUid);
    EXPECT_EQ(chip.commandTypes().back(), 0x0101);
  }
}

// --- the port itself ----------------------------------------------------

TEST_F(SerialSdp, WriteDataLeavesTheReportIdBehind) {
  Serial_SDPLoader port(peer.devicePath().c_str());
  ASSERT_TRUE(port.init());
  Bytes packet(17, 0);
  packet[0] = SDPReport::COMMAND;
  for (int i = 1; i < 17; ++i) {
    packet[i] = static_cast<unsigned char>(0x40 + i);
  }
  packet[1] = 0x7E;  // not a command the ROM knows: it stays silent
  packet[2] = 0x7E;
  EXPECT_EQ(port.writeData(packet), 16);
  for (int i = 0; i < 200 && peer.received().size() < 16; ++i) {
    usleep(1000);
  }
  EXPECT_EQ(peer.received(), std::string(packet.begin() + 1, packet.end()));
  Bytes reply;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port.readData(reply, 0), 0);
  EXPECT_LT(msSince(start), 250);
  EXPECT_TRUE(reply.empty());
}

int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) {
    ++count;
  }
  if (dir != nullptr) {
    closedir(dir);
  }
  return count;
}

TEST(SerialSdpPort, InitRefusesWhatIsNotATerminal) {
  testsupport::TempDir dir;
  const std::string file = dir.write("not-a-port", "x");
  const int before = openDescriptors();
  {
    Serial_SDPLoader port(file.c_str());
    EXPECT_FALSE(port.init());
  }
  EXPECT_EQ(openDescriptors(), before);  // the descriptor was closed all the same
  Serial_SDPLoader missing((dir.path() + "/missing").c_str());
  EXPECT_FALSE(missing.init());
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(file.c_str())));
  EXPECT_EQ(loader.init(), 6);
  unsigned long id = 0;
  EXPECT_EQ(loader.getFingerprint(id), 2);
}

}  // namespace
