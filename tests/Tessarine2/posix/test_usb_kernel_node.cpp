// The USB stream through the module kernel driver's node. A raw pty stands
// in for the node: a read of one byte returns it, or nothing at once. Each
// test runs in a child with a mount namespace of its own and a fresh /dev,
// so the node is made there and nothing is left in the machine's /dev.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "Tessarine2/common/aStreamUSB.h"
#include "Tessarine2/posix/tnusb_context.h"
#include "Tessarine2/posix/tnusb_driver.h"
#include "tests/sim/ChildProcess.h"
#include "tests/sim/PtyPeer.h"
#include "tests/sim/usb/LibusbSpy.h"

namespace {

namespace spy = testsupport::usb::spy;
using std::chrono::milliseconds;

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr const char* kNode = "/dev/tessarine.0000ABCD";

int64_t msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A pty, and a path that reaches its device side from the private /dev. A
// pty's device side opens only through its own devpts, which the private
// /dev hides: an open descriptor of it, named in /proc, keeps it reachable.
struct Pty {
  testsupport::PtyPeer peer;
  std::string path;
};

// Runs body in a child whose /dev is an empty tmpfs of its own; what body
// checks with EXPECT shows in the child's output, and any failure fails the
// child. The pty is made first: it needs the machine's /dev.
void withPrivateDev(const std::function<void(Pty&)>& body) {
  int status = testsupport::runInChild(
      [&] {
        Pty pty;
        pty.peer.makeRaw();
        int device = open(pty.peer.devicePath().c_str(), O_RDWR | O_NOCTTY);
        if (device < 0) {
          perror("pty");
          return 2;
        }
        pty.path = "/proc/self/fd/" + std::to_string(device);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
          perror("private /dev");
          return 2;
        }
        body(pty);
        return ::testing::Test::HasFailure() ? 1 : 0;
      },
      false);
  EXPECT_EQ(status, 0);
}

TEST(UsbKernelNode, StreamGoesThroughTheNodeAndNeverTouchesLibusb) {
  withPrivateDev([](Pty& pty) {
    testsupport::PtyPeer& peer = pty.peer;
    ASSERT_EQ(symlink(pty.path.c_str(), kNode), 0);
    EXPECT_TRUE(tnusb_is_kernel_driver_installed(kSerial));
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);

    EXPECT_EQ(aStream_Write(stream, "\x04\x01\x07", 3), aErrNone);
    EXPECT_EQ(peer.receive(3, 1000), std::string("\x04\x01\x07", 3));

    // Nothing waiting: the read answers at once; the wait blocks instead.
    uint8_t byte;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(msSince(start), 150);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 200), aErrTimeout);
    EXPECT_GE(msSince(start), 190);

    ASSERT_TRUE(peer.send("xy"));
    EXPECT_EQ(aStream_WaitReadable(stream, 1000), aErrNone);
    char two[2];
    EXPECT_EQ(aStream_Read(stream, two, 2), aErrNone);
    EXPECT_EQ(std::string(two, 2), "xy");

    // The far end hangs up: reads fail.
    peer.hangUp();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

    EXPECT_EQ(spy::totalCalls(), 0);
    EXPECT_EQ(Tessarine_libusb_context(), nullptr);
  });
}

TEST(UsbKernelNode, NodeThatCannotBeOpenedIsAnIOError) {
  withPrivateDev([](Pty&) {
    // A device number no driver answers.
    ASSERT_EQ(mknod(kNode, S_IFCHR | 0600, makedev(4095, 4095)), 0);
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrIO);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(spy::totalCalls(), 0);
  });
}

TEST(UsbKernelNode, DirectoryOfTheNodesNameIsNoNode) {
  withPrivateDev([](Pty&) {
    ASSERT_EQ(mkdir(kNode, 0755), 0);
    EXPECT_FALSE(tnusb_is_kernel_driver_installed(kSerial));
    EXPECT_FALSE(tnusb_is_kernel_driver_installed(0x0000ABCE));
  });
}

}  // namespace
