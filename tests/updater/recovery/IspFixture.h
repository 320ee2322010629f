#ifndef TESTS_UPDATER_RECOVERY_ISPFIXTURE_H
#define TESTS_UPDATER_RECOVERY_ISPFIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/sim/bootrom/Lpc17xxIspLine.h"
#include "tests/sim/bootrom/Lpc17xxIspRom.h"
#include "tests/sim/bootrom/SerialRomPeer.h"
#include "updater/recovery/NXPSerialClass.h"

// An LPC17xx boot ROM on a paced pseudo-terminal line (its UART follows
// auto-baud and "B") and the client on its port.
class IspTest : public ::testing::Test {
 protected:
  // Declared in teardown order: the client lets go of the port before the
  // ROM's line goes away.
  bootrom::Lpc17xxIspRom rom;
  bootrom::SerialRomPeer peer{bootrom::lpcIspLineHandler(rom), bootrom::lpcIspLineOptions()};
  NXPSerialClass isp;

  void connect(unsigned baud = 115200) { ASSERT_EQ(isp.Connect(peer.devicePath().c_str(), baud), aErrNone); }

  // Connected and past the auto-baud handshake, as both recovery roads
  // leave the ROM.
  void connectAndSync() {
    connect();
    ASSERT_EQ(isp.Sync(), aErrNone);
  }

  static long msSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  }
};

#endif
