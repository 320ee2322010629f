// USB stream: an aStream over one module USB driver record.

#include <cstdio>
#include <new>

#include "Tessarine2/common/aStreamUSB.h"
#include "Tessarine2/posix/tnusb_driver.h"

namespace {

constexpr uint16_t kUSBStreamCheck = 0xDEAD;

struct USBStream {
  uint32_t serial = 0;
  tnusb_device* device = nullptr;
  uint16_t check = 0;
};

bool aVALIDUSBSTREAM(const USBStream* record) { return record != nullptr && record->check == kUSBStreamCheck; }

aErr sUSBGet(uint8_t* byte, void* reference) {
  USBStream* record = static_cast<USBStream*>(reference);
  if (!aVALIDUSBSTREAM(record)) {
    return aErrParam;
  }
  return tnusb_get_from_device(record->device, byte);
}

aErr sUSBWrite(const uint8_t* data, size_t length, void* reference) {
  USBStream* record = static_cast<USBStream*>(reference);
  if (!aVALIDUSBSTREAM(record)) {
    return aErrParam;
  }
  return tnusb_write_to_device(record->device, data, length);
}

aErr sUSBPut(uint8_t byte, void* reference) { return sUSBWrite(&byte, 1, reference); }

aErr sUSBWait(uint32_t timeoutMS, void* reference) {
  USBStream* record = static_cast<USBStream*>(reference);
  if (!aVALIDUSBSTREAM(record)) {
    return aErrParam;
  }
  return tnusb_wait_readable(record->device, timeoutMS);
}

// Frees the device record and the stream record even when the close fails:
// the handle or node is released either way, and the caller's stream is gone.
aErr sUSBDelete(void* reference) {
  USBStream* record = static_cast<USBStream*>(reference);
  if (!aVALIDUSBSTREAM(record)) {
    return aErrParam;
  }
  aErr result = tnusb_close_tessarine_device(record->device);
  tnusb_destroy(&record->device);
  record->check = 0;
  delete record;
  return result;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serial, aStream** result) {
  if (result == nullptr) {
    return aErrParam;
  }
  *result = nullptr;
  if (serial == 0) {
    return aErrParam;
  }
  char serialText[16];
  snprintf(serialText, sizeof serialText, "%08X", serial);
  const bool kernel = tnusb_is_kernel_driver_installed(serial);

  USBStream* record = new (std::nothrow) USBStream();
  if (record == nullptr) {
    return aErrMemory;
  }
  record->serial = serial;
  record->device = tnusb_create_usb(kernel ? TNUSB_MODE_KERNEL : TNUSB_MODE_LIBUSB);
  if (record->device == nullptr) {
    delete record;
    return aErrResource;
  }
  aErr err = tnusb_open_tessarine_device(record->device, serialText);
  if (err != aErrNone) {
    tnusb_destroy(&record->device);
    delete record;
    return err;
  }
  record->check = kUSBStreamCheck;
  aStream* stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, record);
  if (stream == nullptr) {
    sUSBDelete(record);
    return aErrMemory;
  }
  if (kernel) {
    // Node reads answer at once; the reader waits on the node instead of
    // retrying. Libusb reads wait in the transfer.
    aStream_SetWaitProc(stream, sUSBWait);
  }
  *result = stream;
  return aErrNone;
}
