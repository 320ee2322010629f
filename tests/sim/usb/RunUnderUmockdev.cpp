// Linked into a test program that uses the emulated USB bus: before main,
// the program starts itself again with umockdev's preload library unless it
// already runs with it.

#include "tests/sim/usb/UmockdevPreload.h"

namespace {

const bool sRunning = (testsupport::usb::runUnderUmockdev(), true);

}  // namespace
