#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "Tessarine2/common/aStream.h"
#include "tests/sim/ChildProcess.h"
#include "tests/sim/PtyPeer.h"
#include "tests/sim/TempDir.h"

namespace {

// The device side's settings as another opener sees them.
termios settingsOf(const std::string& device) {
  termios t{};
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  return t;
}

struct SpeedCase {
  int index;
  speed_t speed;
  bool parity;
  int dataBits;
  int stopBits;
};

class SerialSettings : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(SerialSettings, PortIsRawAtTheRequestedSpeed) {
  const SpeedCase& c = GetParam();
  testsupport::PtyPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(peer.devicePath().c_str(), c.index, c.parity, c.dataBits, c.stopBits, &stream),
            aErrNone);
  termios t = settingsOf(peer.devicePath());
  EXPECT_EQ(cfgetispeed(&t), c.speed);
  EXPECT_EQ(cfgetospeed(&t), c.speed);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | (c.parity ? IGNPAR : 0)));
  // A pseudo-terminal always keeps 8 bits without parity, whatever is
  // asked; the size and parity bits can only be seen on a real port.
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 1);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SerialSettings,
                         ::testing::Values(SpeedCase{aSERIAL_115200, B115200, false, 0, 0},
                                           SpeedCase{aSERIAL_2400, B2400, false, 0, 0},
                                           SpeedCase{aSERIAL_230400, B230400, true, 1, 1},
                                           SpeedCase{aSERIAL_9600, B9600, true, 0, 1}));

TEST(SerialStream, DestroyRestoresTheSettingsFoundAtOpen) {
  testsupport::PtyPeer peer;
  {
    int fd = open(peer.devicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    tcgetattr(fd, &before);
    before.c_lflag |= ICANON | ECHO;
    before.c_cc[VMIN] = 3;
    cfsetispeed(&before, B19200);
    cfsetospeed(&before, B19200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    close(fd);
  }
  termios before = settingsOf(peer.devicePath());
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(peer.devicePath().c_str(), aSERIAL_115200, false, 0, 0, &stream), aErrNone);
  ASSERT_EQ(settingsOf(peer.devicePath()).c_lflag, 0u);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  termios after = settingsOf(peer.devicePath());
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetispeed(&after), B19200);
  EXPECT_EQ(after.c_cc[VMIN], 3);
}

TEST(SerialStream, ReadsAnswerAtOnceAndBytesFlowBothWays) {
  testsupport::PtyPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(peer.devicePath().c_str(), aSERIAL_115200, false, 0, 0, &stream), aErrNone);
  uint8_t two[2] = {0, 0};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_Read(stream, two, 1), aErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

  ASSERT_TRUE(peer.send("AB"));
  ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
  // Both bytes may not have crossed yet; the read is all or nothing.
  aErr err;
  while ((err = aStream_Read(stream, two, 2)) == aErrNotReady) {
    aStream_WaitReadable(stream, 100);
  }
  EXPECT_EQ(err, aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(two), 2), "AB");

  EXPECT_EQ(aStream_Write(stream, "xyz\n", 4), aErrNone);
  EXPECT_EQ(aStream_Write(stream, "!", 1), aErrNone);
  // Output is raw: no newline translation.
  EXPECT_EQ(peer.receive(5, 2000), "xyz\n!");
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

// On a pseudo-terminal's master the port's VMIN and VTIME belong to the
// other side: the stream's reads must answer at once all the same, and a
// write that the never-opened other side does not take must end. Run in a
// child that an alarm ends, so that a read that blocks fails the test
// instead of holding it.
TEST(SerialStream, APtyMasterNeitherBlocksAReadNorAWrite) {
  constexpr unsigned kAlarmSeconds = 20;
  int status = testsupport::runInChild(
      [] {
        alarm(kAlarmSeconds);
        aStream* stream = nullptr;
        if (aStream_CreateSerial("/dev/ptmx", aSERIAL_115200, false, 0, 0, &stream) != aErrNone) return 2;
        uint8_t byte = 0;
        const auto start = std::chrono::steady_clock::now();
        if (aStream_Read(stream, &byte, 1) != aErrNotReady) return 3;
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) return 4;
        if (aStream_WaitReadable(stream, 50) != aErrTimeout) return 5;
        // More than the other side's input queue holds (about 16 KiB).
        const std::string block(64 * 1024, 'x');
        if (aStream_Write(stream, block.data(), block.size()) != aErrIO) return 6;
        aStream_Destroy(&stream);
        return 0;
      },
      /*dropRoot=*/false);
  EXPECT_EQ(status, 0) << "-1: still blocked after " << kAlarmSeconds << " s";
}

TEST(SerialStream, HangUpGivesAnIOError) {
  testsupport::PtyPeer peer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(peer.devicePath().c_str(), aSERIAL_115200, false, 0, 0, &stream), aErrNone);
  peer.hangUp();
  // A hung-up line does not make its reader wait.
  EXPECT_EQ(aStream_WaitReadable(stream, 5000), aErrNone);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
  aStream_Destroy(&stream);
}

TEST(SerialStream, RefusedArgumentsLeaveTheResultAlone) {
  testsupport::PtyPeer peer;
  const char* port = peer.devicePath().c_str();
  std::string longName(aSERIAL_MAX_PORTNAME, 'x');
  aStream* sentinel = reinterpret_cast<aStream*>(0x1);
  struct Case {
    const char* shows;
    const char* name;
    int speed;
    int dataBits;
    int stopBits;
    aErr result;
  } cases[] = {
      {"no name", nullptr, aSERIAL_115200, 0, 0, aErrResource},
      {"data-bits selector 2", port, aSERIAL_115200, 2, 0, aErrResource},
      {"stop-bits selector 2", port, aSERIAL_115200, 0, 2, aErrResource},
      {"speed index 8", port, 8, 0, 0, aErrResource},
      {"speed index -1", port, -1, 0, 0, aErrResource},
      {"name of 4096 characters", longName.c_str(), aSERIAL_115200, 0, 0, aErrFileNameLength},
  };
  for (const Case& c : cases) {
    aStream* result = sentinel;
    EXPECT_EQ(aStream_CreateSerial(c.name, c.speed, false, c.dataBits, c.stopBits, &result), c.result) << c.shows;
    EXPECT_EQ(result, sentinel) << c.shows;
  }
  EXPECT_EQ(aStream_CreateSerial(port, aSERIAL_115200, false, 0, 0, nullptr), aErrResource);
}

TEST(SerialStream, PortsThatCannotBeOpened) {
  testsupport::TempDir dir;
  std::string plainFile = dir.write("not-a-tty", "x");
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateSerial(dir.file("missing").c_str(), aSERIAL_115200, false, 0, 0, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSerial(plainFile.c_str(), aSERIAL_115200, false, 0, 0, &stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
  // A FIFO opens read-write without a partner, but is no terminal.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(aStream_CreateSerial(dir.file("fifo").c_str(), aSERIAL_115200, false, 0, 0, &stream), aErrIO);
  EXPECT_EQ(stream, nullptr);

  testsupport::PtyPeer peer;
  std::string device = peer.devicePath();
  int status = testsupport::runInChild(
      [&] {
        aStream* s = nullptr;
        return aStream_CreateSerial(device.c_str(), aSERIAL_115200, false, 0, 0, &s) == aErrPermission ? 0 : 1;
      },
      /*dropRoot=*/true);
  EXPECT_EQ(status, 0);
}

// The raw peer stands in for the module driver's node: opened plainly,
// without any terminal set-up, a read returns one byte or nothing at once.
TEST(PtyPeerAsDriverNode, PlainReadsReturnAByteOrNothing) {
  testsupport::TempDir dir;
  std::string node = dir.file("tessarine.0000BEEF");
  auto peer = std::make_unique<testsupport::PtyPeer>();
  peer->makeRaw();
  peer->publishAs(node);
  int fd = open(node.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  char byte = 0;
  EXPECT_EQ(read(fd, &byte, 1), 0);
  ASSERT_TRUE(peer->send("\x06"));
  pollfd entry{fd, POLLIN, 0};
  ASSERT_EQ(poll(&entry, 1, 2000), 1);
  ssize_t got = read(fd, &byte, 1);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(byte, 6);
  EXPECT_EQ(write(fd, "\xAD\x00", 2), 2);
  EXPECT_EQ(peer->receive(2, 2000), std::string("\xAD\x00", 2));
  close(fd);
  peer.reset();
  struct stat info {};
  EXPECT_NE(lstat(node.c_str(), &info), 0) << "the published name outlived the peer";
}

}  // namespace
