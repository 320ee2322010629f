#include "Tessarine2/posix/tnusb_context.h"

#include <mutex>

namespace {

// Constant-initialised: usable from any thread at any time, also before main.
std::mutex sContextLock;
libusb_context* _libusbContext = nullptr;

}  // namespace

aErr Tessarine_libusb_init() {
  std::lock_guard<std::mutex> hold(sContextLock);
  if (_libusbContext != nullptr) {
    return aErrNone;
  }
  libusb_context* made = nullptr;
  if (libusb_init(&made) != LIBUSB_SUCCESS || made == nullptr) {
    return aErrInitialization;
  }
  _libusbContext = made;
  return aErrNone;
}

libusb_context* Tessarine_libusb_context() {
  std::lock_guard<std::mutex> hold(sContextLock);
  return _libusbContext;
}

void Tessarine_libusb_exit() {
  std::lock_guard<std::mutex> hold(sContextLock);
  if (_libusbContext != nullptr) {
    libusb_exit(_libusbContext);
    _libusbContext = nullptr;
  }
}
