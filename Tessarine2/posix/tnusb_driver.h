#ifndef TESSARINE2_POSIX_TNUSB_DRIVER_H
#define TESSARINE2_POSIX_TNUSB_DRIVER_H

#include <libusb.h>

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"

// The module USB driver: one open module, reached either through the module
// kernel driver's node "/dev/tessarine.%08X" or, when there is none, through
// libusb on the module's vendor-specific bulk interface.
//
// What a device must offer to count as a module:
// - the maker's vendor id and a product id below 0x8000; the low byte of the
//   product id is the model number;
// - a serial-number string of exactly the eight upper-case hexadecimal
//   digits of the module's serial number ("%08X");
// - in configuration 0, an alternate setting of class 0xFF, subclass 0x88,
//   protocol 0x10 with a bulk (or interrupt) IN and OUT endpoint.

// The maker's USB vendor id. Discovery matches on it too.
constexpr uint16_t TNUSB_VENDOR_ID = 0x2F1A;
// Product ids with bit 15 set belong to other products of the maker.
constexpr uint16_t TNUSB_PRODUCT_ID_LIMIT = 0x8000;
constexpr uint8_t TNUSB_INTERFACE_CLASS = 0xFF;
constexpr uint8_t TNUSB_INTERFACE_SUBCLASS = 0x88;
constexpr uint8_t TNUSB_INTERFACE_PROTOCOL = 0x10;

// Bulk IN transfers and their time-out: an idle module's read returns after
// this long, which bounds how long stopping a link waits for its reader.
constexpr int TNUSB_BULK_IN_SIZE = 800;
constexpr unsigned TNUSB_BULK_IN_TIMEOUT_MS = 1000;
// Bulk OUT: a packet (at most 30 bytes) goes out as one chunk.
constexpr int TNUSB_BULK_OUT_CHUNK = 50;
constexpr unsigned TNUSB_BULK_OUT_TIMEOUT_MS = 50;
constexpr int TNUSB_MAX_CHUNK_PASSES = 100;
// Consecutive I/O errors that are absorbed; the next one fails the device.
constexpr unsigned TNUSB_TOLERATED_IO_ERRORS = 4;
constexpr int TNUSB_MAX_KERNEL_WRITES = 1000;

// "/dev/tessarine.%08X" of the module's serial number.
constexpr const char* TNUSB_KERNEL_NODE_PREFIX = "/dev/tessarine.";

enum : uint32_t {
  TNUSB_MODE_KERNEL = 0,
  TNUSB_MODE_LIBUSB = 1,
};

enum : uint32_t {
  TNUSB_STATE_NONE = 0,     // a zeroed record
  TNUSB_STATE_CREATED = 1,  // record made
  TNUSB_STATE_CLOSED = 2,   // after a failed open or a close
  TNUSB_STATE_OPENED = 3,   // handle open, interface not claimed yet
  TNUSB_STATE_CLAIMED = 4,  // reads and writes move data
  TNUSB_STATE_FAILED = 5,   // too many I/O errors: every later transfer is aErrIO
};

// One open module. Owned by its USB stream.
//
// Threads: one reader (tnusb_get_from_device) and one writer
// (tnusb_write_to_device) may run at the same time; they share only the
// error count and the state, which are atomic. Open, close and destroy run
// while neither does.
struct tnusb_device;

// True when "/dev/tessarine.%08X" exists and is no directory.
bool tnusb_is_kernel_driver_installed(uint32_t serial);

// A new record in state created; NULL when memory is short. The libusb mode
// makes the process's libusb context first when there is none (a failure
// shows at the open).
tnusb_device* tnusb_create_usb(uint32_t mode);

// Opens the module whose serial-number text ("%08X") is given.
// Libusb: aErrNotFound when no module has it (devices that cannot be opened
// are skipped), aErrConfiguration without the bulk interface, aErrBusy when
// another process holds the interface, aErrPermission, aErrUnknown for other
// claim failures, aErrInitialization without a libusb context.
// Kernel node: aErrBusy, else aErrIO when the node cannot be opened.
aErr tnusb_open_tessarine_device(tnusb_device* device, const char* serialText);

// Delivers one byte: 0 with the byte, aErrNotReady when none came (in libusb
// mode after waiting up to TNUSB_BULK_IN_TIMEOUT_MS), aErrIO when the device
// failed or the node's far end hung up, aErrConnection when it is closed.
// Bytes of a bulk transfer that ended in a time-out, stall, overflow or bus
// error are delivered.
aErr tnusb_get_from_device(tnusb_device* device, uint8_t* byte);

// Sends the bytes; no byte goes out twice. Libusb: aErrWrite when data is
// left after TNUSB_MAX_CHUNK_PASSES chunk passes, aErrIO (absorbed while
// tolerated) when a transfer failed on the way.
aErr tnusb_write_to_device(tnusb_device* device, const uint8_t* data, size_t length);

// Kernel node: waits up to timeoutMS for the node to have something to read
// (0, or aErrTimeout). Libusb reads wait by themselves: 0 at once.
aErr tnusb_wait_readable(tnusb_device* device, uint32_t timeoutMS);

// Releases the interface and closes the handle, or closes the node
// (aErrCancel when that close fails). The record stays for tnusb_destroy.
aErr tnusb_close_tessarine_device(tnusb_device* device);

// Closes whatever is still open, frees the record and clears the pointer;
// aErrParam for a NULL pointer.
aErr tnusb_destroy(tnusb_device** device);

uint32_t tnusb_get_mode(const tnusb_device* device);
uint32_t tnusb_get_state(const tnusb_device* device);

// True when the device descriptor can be read and names the maker's vendor
// id with a product id below TNUSB_PRODUCT_ID_LIMIT.
bool is_tessarine_device(libusb_device* device);

// Finds the bulk interface of the open handle and its two endpoints: 0 when
// both were found; the descriptor's libusb error, or LIBUSB_ERROR_NO_DEVICE
// without a handle, without the interface or without both endpoints.
int find_usb_endpoints(tnusb_device* device);

// Counts consecutive aErrIO results: the first TNUSB_TOLERATED_IO_ERRORS
// become 0, the next one fails the device, which then stays failed (the
// count saturates). Any other result clears the count and passes unchanged.
aErr _handleErrorTolerance(tnusb_device* device, aErr result);

#endif
