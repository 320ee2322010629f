#ifndef TESTS_SIM_USB_LIBUSBSPY_H
#define TESTS_SIM_USB_LIBUSBSPY_H

// A link-time stand-in in front of the libusb calls the device library
// makes (ld --wrap, see the target tessarine_libusb_spy): it counts every
// call and passes it on to the real libusb, and it can make two calls fail
// where the emulated kernel cannot:
// - libusb_init: the emulated bus cannot make the context fail;
// - libusb_claim_interface with LIBUSB_ERROR_ACCESS: libusb never derives
//   that from a usbfs claim;
// - libusb_open with LIBUSB_ERROR_ACCESS: umockdev's preload library ends
//   the process when a device node may not be opened.
// Calls the test program makes itself are counted too.

namespace testsupport::usb::spy {

enum class Call {
  Init,
  Exit,
  GetDeviceList,
  FreeDeviceList,
  Open,
  Close,
  GetDeviceDescriptor,
  GetStringDescriptorAscii,
  GetConfigDescriptor,
  FreeConfigDescriptor,
  GetDevice,
  ClaimInterface,
  ReleaseInterface,
  BulkTransfer,
  ClearHalt,
  Count,
};

int calls(Call call);
// Every call of every kind.
int totalCalls();
// Opens that succeeded minus closes.
int openHandles();
// Device lists handed out minus lists freed with their devices unreferenced.
int heldDeviceLists();

// libusb_init answers this (a LIBUSB_ERROR) without making a context;
// 0 lets the real call through.
void failInit(int result);
// libusb_claim_interface answers this without claiming; 0 lets the real
// call through.
void failClaim(int result);
// The next count calls of libusb_open answer result without opening.
void failOpens(int result, int count);

}  // namespace testsupport::usb::spy

#endif
