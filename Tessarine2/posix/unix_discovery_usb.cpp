// USB branch of module enumeration: every device that looks like a module
// and names itself by an eight-digit hexadecimal serial-number string.

#include <libusb.h>

#include <cctype>
#include <cstdlib>

#include "Tessarine2/posix/tnusb_context.h"
#include "Tessarine2/posix/tnusb_driver.h"
#include "Tessarine2/posix/unix_discovery.h"

namespace {

// The serial-number string is read into a buffer of this size; only a
// string of exactly kSerialDigits characters names a module.
constexpr int kSerialStringSize = 32;
constexpr int kSerialDigits = 8;

// The serial number of an eight-character string. Upper and lower case both
// parse; a string with anything but hexadecimal digits names no module.
bool sParseSerial(const char* text, uint32_t* serial) {
  for (int i = 0; i < kSerialDigits; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  *serial = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
  return true;
}

// Fills the linkSpec from the device when it is a module. The device is opened only
// to read its serial-number string and is closed again.
bool sDescribe(libusb_device* device, linkSpec* spec) {
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) != LIBUSB_SUCCESS) {
    return false;
  }
  libusb_device_descriptor descriptor{};
  unsigned char text[kSerialStringSize] = {};
  uint32_t serial = 0;
  bool module = libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
                libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text) ==
                    kSerialDigits &&
                sParseSerial(reinterpret_cast<const char*>(text), &serial);
  libusb_close(handle);
  if (!module) {
    return false;
  }
  spec->serial_num = serial;
  spec->model = descriptor.idProduct & 0xFF;
  spec->t.usb.usb_id = serial;
  return true;
}

}  // namespace

uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryCallback callback, void* reference) {
  // No context means no USB: libusb must never be handed NULL, which would
  // stand for its own default context.
  Tessarine_libusb_init();
  libusb_context* context = Tessarine_libusb_context();
  if (context == nullptr) {
    return 0;
  }
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    return 0;
  }
  uint8_t taken = 0;
  bool more = true;
  for (ssize_t i = 0; i < count && more; ++i) {
    if (!is_tessarine_device(list[i])) {
      continue;
    }
    linkSpec* spec = aLinkSpec_Create(USB);
    if (spec == nullptr) {
      break;
    }
    if (sDescribe(list[i], spec)) {
      bool took = false;
      more = callback(spec, &took, reference);
      if (took) {
        ++taken;
      }
    }
    aLinkSpec_Destroy(&spec);
  }
  libusb_free_device_list(list, 1);
  return taken;
}
