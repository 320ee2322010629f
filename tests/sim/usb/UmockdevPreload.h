#ifndef TESTS_SIM_USB_UMOCKDEVPRELOAD_H
#define TESTS_SIM_USB_UMOCKDEVPRELOAD_H

#include <string>
#include <vector>

namespace testsupport::usb {

// umockdev's preload library, which sends a process's device and sysfs
// accesses into the testbed named by $UMOCKDEV_DIR.
constexpr const char* kUmockdevPreload = "libumockdev-preload.so.0";

// True when this process runs with the preload library.
bool umockdevPreloaded();

// The environment changes a program needs to run with the preload library
// (what umockdev-wrapper does): LD_PRELOAD with the library in front; for
// AddressSanitizer builds, ASAN_OPTIONS that let another library come
// before its runtime ("verify_asan_link_order=0"); for ThreadSanitizer
// builds, TSAN_OPTIONS that leave out what uninstrumented libraries (GLib,
// umockdev) do to memory, whose ordering by GLib's futex locks the
// sanitizer cannot see ("ignore_noninstrumented_modules=1"). As NAME=value
// entries.
std::vector<std::string> umockdevEnvironment();

// Applies umockdevEnvironment() to this process's environment.
void applyUmockdevEnvironment();

// Starts this program again with the preload library, unless it already has
// it: a test program that uses the emulated USB bus calls this before
// anything else (RunUnderUmockdev.cpp does it before main), so it runs the
// same by hand, under ctest or under umockdev-wrapper. Returns only when
// the preload library is already there; aborts when the program cannot be
// started again.
void runUnderUmockdev();

}  // namespace testsupport::usb

#endif
