// The module USB driver: libusb back end and kernel-node back end behind one
// record.

#include "Tessarine2/posix/tnusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "Tessarine2/common/aFile.h"
#include "Tessarine2/posix/tnusb_context.h"
#include "Tessarine2/posix/unix_streampoll.h"

namespace {

constexpr size_t kSerialTextSize = 52;
// The string descriptor is read into a zeroed buffer of this size.
constexpr int kSerialStringSize = 50;
constexpr size_t kReceiveBufferSize = 6401;
constexpr size_t kNodePathSize = 96;  // prefix and a whole serial field

constexpr uint8_t kEndpointDirectionIn = 0x80;
// Bit 1 of bmAttributes: bulk (2) or interrupt (3).
constexpr uint8_t kEndpointBulkOrInterrupt = 0x02;

}  // namespace

struct tnusb_device {
  uint32_t mode = TNUSB_MODE_KERNEL;
  char serial[kSerialTextSize] = {};
  int descriptor = -1;  // the node (kernel mode); -1 when none
  libusb_device_handle* handle = nullptr;
  std::atomic<uint32_t> state{TNUSB_STATE_NONE};
  uint8_t interface = 0;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  // Reader side only.
  uint8_t receive[kReceiveBufferSize] = {};
  uint32_t available = 0;
  const uint8_t* readPosition = nullptr;
  // Consecutive aErrIO results of reads and writes; saturates at 255.
  std::atomic<uint8_t> errorCount{0};
};

namespace {

void sNodePath(char* path, const char* serialText) {
  snprintf(path, kNodePathSize, "%s%s", TNUSB_KERNEL_NODE_PREFIX, serialText);
}

void sCloseHandle(tnusb_device* device) {
  if (device->handle != nullptr) {
    libusb_close(device->handle);
    device->handle = nullptr;
  }
}

aErr sClaimError(int result) {
  switch (result) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

// The device of the list whose serial string is serialText, opened and
// claimed. The search stops at the first module whose string matches.
aErr sOpenMatching(tnusb_device* device, libusb_device* candidate, const char* serialText, bool* matched) {
  libusb_device_handle* handle = nullptr;
  if (libusb_open(candidate, &handle) != LIBUSB_SUCCESS) {
    return aErrNotFound;
  }
  libusb_device_descriptor descriptor{};
  char text[kSerialStringSize] = {};
  if (libusb_get_device_descriptor(candidate, &descriptor) != LIBUSB_SUCCESS ||
      libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, reinterpret_cast<unsigned char*>(text),
                                         sizeof text) < 0 ||
      strncmp(text, serialText, sizeof text) != 0) {
    libusb_close(handle);
    return aErrNotFound;
  }
  *matched = true;
  snprintf(device->serial, sizeof device->serial, "%s", serialText);
  device->handle = handle;
  device->state.store(TNUSB_STATE_OPENED);
  if (find_usb_endpoints(device) != LIBUSB_SUCCESS) {
    device->state.store(TNUSB_STATE_CLOSED);
    sCloseHandle(device);
    return aErrConfiguration;
  }
  int claim = libusb_claim_interface(handle, device->interface);
  if (claim != LIBUSB_SUCCESS) {
    device->state.store(TNUSB_STATE_CLOSED);
    sCloseHandle(device);
    return sClaimError(claim);
  }
  device->state.store(TNUSB_STATE_CLAIMED);
  device->errorCount.store(0);
  return aErrNone;
}

aErr sLibusbOpen(tnusb_device* device, const char* serialText) {
  if (device->mode != TNUSB_MODE_LIBUSB) {
    return aErrMode;
  }
  if (device->state.load() == TNUSB_STATE_NONE) {
    return aErrResource;
  }
  // Without a context there are no devices; libusb must never be handed
  // NULL, which would mean its default context.
  Tessarine_libusb_init();
  libusb_context* context = Tessarine_libusb_context();
  if (context == nullptr) {
    return aErrInitialization;
  }
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    return aErrNotFound;
  }
  aErr result = aErrNotFound;
  for (ssize_t i = 0; i < count; ++i) {
    if (!is_tessarine_device(list[i])) {
      continue;
    }
    bool matched = false;
    result = sOpenMatching(device, list[i], serialText, &matched);
    if (matched) {
      break;
    }
  }
  libusb_free_device_list(list, 1);
  return result;
}

aErr sKernelOpen(tnusb_device* device, const char* serialText) {
  if (device->mode != TNUSB_MODE_KERNEL) {
    return aErrMode;
  }
  snprintf(device->serial, sizeof device->serial, "%s", serialText);
  char path[kNodePathSize];
  sNodePath(path, device->serial);
  // O_NOCTTY: a node that is a terminal never becomes ours to control.
  int descriptor = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    return errno == EBUSY ? aErrBusy : aErrIO;
  }
  device->descriptor = descriptor;
  return aErrNone;
}

// Refills the receive buffer with one bulk IN transfer. Bytes that came are
// kept and delivered whatever the transfer's end: a time-out, a stall, an
// overflow or a bus error still delivers what was transferred before it, and
// a lasting fault shows again at the next transfer.
aErr sLibusbTransferIn(tnusb_device* device) {
  int transferred = 0;
  int result = libusb_bulk_transfer(device->handle, device->inEndpoint, device->receive, TNUSB_BULK_IN_SIZE,
                                    &transferred, TNUSB_BULK_IN_TIMEOUT_MS);
  if (transferred > 0 && transferred <= TNUSB_BULK_IN_SIZE) {
    device->available = static_cast<uint32_t>(transferred);
    device->readPosition = device->receive;
  }
  if (result == LIBUSB_ERROR_PIPE) {
    libusb_clear_halt(device->handle, device->inEndpoint);
  }
  if (result == LIBUSB_SUCCESS || device->available > 0) {
    return aErrNone;
  }
  return result == LIBUSB_ERROR_PIPE || result == LIBUSB_ERROR_TIMEOUT ? aErrNotReady : aErrIO;
}

bool sTakeByte(tnusb_device* device, uint8_t* byte) {
  if (device->available == 0) {
    return false;
  }
  *byte = *device->readPosition++;
  --device->available;
  return true;
}

aErr sLibusbRead(tnusb_device* device, uint8_t* byte) {
  if (device->mode != TNUSB_MODE_LIBUSB) {
    return aErrMode;
  }
  bool delivered = sTakeByte(device, byte);
  aErr result = aErrNone;
  if (!delivered) {
    switch (device->state.load()) {
      case TNUSB_STATE_CLOSED:
        result = aErrConnection;
        break;
      case TNUSB_STATE_CREATED:
      case TNUSB_STATE_OPENED:
        result = aErrNotReady;
        break;
      case TNUSB_STATE_CLAIMED:
        result = sLibusbTransferIn(device);
        delivered = sTakeByte(device, byte);
        break;
      default:
        result = aErrIO;
        break;
    }
  }
  result = _handleErrorTolerance(device, result);
  if (!delivered && result == aErrNone) {
    return aErrNotReady;
  }
  return result;
}

// One bulk OUT transfer of a chunk; adds the bytes the device took to *sent.
int sTransferOut(tnusb_device* device, const uint8_t* data, int length, int* sent) {
  uint8_t chunk[TNUSB_BULK_OUT_CHUNK];
  memcpy(chunk, data, static_cast<size_t>(length));
  int transferred = 0;
  int result = libusb_bulk_transfer(device->handle, device->outEndpoint, chunk, length, &transferred,
                                    TNUSB_BULK_OUT_TIMEOUT_MS);
  if (result == LIBUSB_SUCCESS) {
    transferred = length;
  }
  if (transferred > 0) {
    *sent += transferred < length ? transferred : length;
  }
  return result;
}

aErr sLibusbWrite(tnusb_device* device, const uint8_t* data, size_t length) {
  if (device->mode != TNUSB_MODE_LIBUSB) {
    return aErrMode;
  }
  switch (device->state.load()) {
    case TNUSB_STATE_CLOSED:
      return aErrConnection;
    case TNUSB_STATE_CREATED:
    case TNUSB_STATE_OPENED:
      return aErrNotReady;
    case TNUSB_STATE_CLAIMED:
      break;
    default:
      return _handleErrorTolerance(device, aErrIO);
  }
  size_t done = 0;
  bool failed = false;
  // Every pass sends what is left of the current chunk: bytes the device
  // reported as taken are never sent again, whatever failed after them.
  for (int pass = 0; pass < TNUSB_MAX_CHUNK_PASSES && done < length; ++pass) {
    size_t left = length - done;
    int chunk = left < static_cast<size_t>(TNUSB_BULK_OUT_CHUNK) ? static_cast<int>(left) : TNUSB_BULK_OUT_CHUNK;
    int sent = 0;
    int result = sTransferOut(device, data + done, chunk, &sent);
    done += static_cast<size_t>(sent);
    if (result == LIBUSB_SUCCESS) {
      continue;
    }
    if (result == LIBUSB_ERROR_PIPE) {
      if (libusb_clear_halt(device->handle, device->outEndpoint) != LIBUSB_SUCCESS) {
        failed = true;
      }
      continue;
    }
    if (sent == chunk) {
      continue;
    }
    // Once more at once with the rest of the chunk.
    int rest = chunk - sent;
    int again = 0;
    result = sTransferOut(device, data + done, rest, &again);
    done += static_cast<size_t>(again);
    if (result != LIBUSB_SUCCESS) {
      failed = true;
    }
  }
  aErr result = done < length ? aErrWrite : failed ? aErrIO : aErrNone;
  return _handleErrorTolerance(device, result);
}

bool sHungUp(int descriptor) {
  pollfd entry{descriptor, POLLIN, 0};
  return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

aErr sKernelRead(tnusb_device* device, uint8_t* byte) {
  if (device->mode != TNUSB_MODE_KERNEL || device->descriptor < 0) {
    return aErrMode;
  }
  ssize_t got = read(device->descriptor, byte, 1);
  if (got == 1) {
    return aErrNone;
  }
  if (got == 0) {
    // Nothing waiting, or a node whose far end is gone for good: that one
    // would answer "nothing" for ever and keep a waiting reader spinning.
    return sHungUp(device->descriptor) ? aErrIO : aErrNotReady;
  }
  if (errno == EFAULT || errno == EAGAIN || errno == EINTR) {
    return aErrNotReady;
  }
  return aErrIO;
}

aErr sKernelWrite(tnusb_device* device, const uint8_t* data, size_t length) {
  if (device->mode != TNUSB_MODE_KERNEL || device->descriptor < 0) {
    return aErrMode;
  }
  size_t done = 0;
  for (int call = 0; call < TNUSB_MAX_KERNEL_WRITES && done < length; ++call) {
    ssize_t written = write(device->descriptor, data + done, length - done);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return aErrIO;
    }
    done += static_cast<size_t>(written);
  }
  return done < length ? aErrIO : aErrNone;
}

aErr sLibusbClose(tnusb_device* device) {
  if (device->mode != TNUSB_MODE_LIBUSB || device->handle == nullptr) {
    return aErrMode;
  }
  // A device that is gone refuses the release; the close frees it anyway.
  libusb_release_interface(device->handle, device->interface);
  sCloseHandle(device);
  device->state.store(TNUSB_STATE_CLOSED);
  device->interface = 0;
  device->inEndpoint = 0;
  device->outEndpoint = 0;
  return aErrNone;
}

aErr sKernelClose(tnusb_device* device) {
  if (device->mode != TNUSB_MODE_KERNEL) {
    return aErrMode;
  }
  if (device->descriptor < 0) {
    return aErrNone;
  }
  int result = close(device->descriptor);
  // The descriptor is gone after close() whatever it answered (Linux).
  device->descriptor = -1;
  device->state.store(TNUSB_STATE_CLOSED);
  return result != 0 ? aErrCancel : aErrNone;
}

}  // namespace

bool tnusb_is_kernel_driver_installed(uint32_t serial) {
  char text[kSerialTextSize];
  snprintf(text, sizeof text, "%08X", serial);
  char path[kNodePathSize];
  sNodePath(path, text);
  return aFile_Exists(path);
}

tnusb_device* tnusb_create_usb(uint32_t mode) {
  tnusb_device* device = new (std::nothrow) tnusb_device();
  if (device == nullptr) {
    return nullptr;
  }
  device->mode = mode;
  device->state.store(TNUSB_STATE_CREATED);
  if (mode == TNUSB_MODE_LIBUSB) {
    Tessarine_libusb_init();
    device->readPosition = device->receive;
  }
  return device;
}

aErr tnusb_open_tessarine_device(tnusb_device* device, const char* serialText) {
  if (device == nullptr || serialText == nullptr) {
    return aErrParam;
  }
  return device->mode == TNUSB_MODE_LIBUSB ? sLibusbOpen(device, serialText) : sKernelOpen(device, serialText);
}

aErr tnusb_get_from_device(tnusb_device* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) {
    return aErrParam;
  }
  return device->mode == TNUSB_MODE_LIBUSB ? sLibusbRead(device, byte) : sKernelRead(device, byte);
}

aErr tnusb_write_to_device(tnusb_device* device, const uint8_t* data, size_t length) {
  if (device == nullptr || (data == nullptr && length > 0)) {
    return aErrParam;
  }
  return device->mode == TNUSB_MODE_LIBUSB ? sLibusbWrite(device, data, length)
                                           : sKernelWrite(device, data, length);
}

aErr tnusb_wait_readable(tnusb_device* device, uint32_t timeoutMS) {
  if (device == nullptr) {
    return aErrParam;
  }
  if (device->mode == TNUSB_MODE_LIBUSB) {
    return aErrNone;
  }
  return aStream_PollDescriptor(device->descriptor, timeoutMS);
}

aErr tnusb_close_tessarine_device(tnusb_device* device) {
  if (device == nullptr) {
    return aErrParam;
  }
  return device->mode == TNUSB_MODE_LIBUSB ? sLibusbClose(device) : sKernelClose(device);
}

aErr tnusb_destroy(tnusb_device** device) {
  if (device == nullptr || *device == nullptr) {
    return aErrParam;
  }
  sCloseHandle(*device);
  if ((*device)->descriptor >= 0) {
    close((*device)->descriptor);
  }
  delete *device;
  *device = nullptr;
  return aErrNone;
}

uint32_t tnusb_get_mode(const tnusb_device* device) { return device != nullptr ? device->mode : TNUSB_MODE_KERNEL; }

uint32_t tnusb_get_state(const tnusb_device* device) {
  return device != nullptr ? device->state.load() : TNUSB_STATE_NONE;
}

bool is_tessarine_device(libusb_device* device) {
  if (device == nullptr) {
    return false;
  }
  libusb_device_descriptor descriptor{};
  return libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
         descriptor.idVendor == TNUSB_VENDOR_ID && descriptor.idProduct < TNUSB_PRODUCT_ID_LIMIT;
}

int find_usb_endpoints(tnusb_device* device) {
  if (device == nullptr || device->handle == nullptr) {
    return LIBUSB_ERROR_NO_DEVICE;
  }
  libusb_config_descriptor* config = nullptr;
  int result = libusb_get_config_descriptor(libusb_get_device(device->handle), 0, &config);
  if (result != LIBUSB_SUCCESS) {
    return result;
  }
  const libusb_interface_descriptor* found = nullptr;
  for (int i = 0; i < config->bNumInterfaces && found == nullptr; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting && found == nullptr; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass == TNUSB_INTERFACE_CLASS && setting.bInterfaceSubClass == TNUSB_INTERFACE_SUBCLASS &&
          setting.bInterfaceProtocol == TNUSB_INTERFACE_PROTOCOL) {
        found = &setting;
      }
    }
  }
  uint8_t in = 0;
  uint8_t out = 0;
  if (found != nullptr) {
    for (int e = 0; e < found->bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& endpoint = found->endpoint[e];
      if ((endpoint.bmAttributes & kEndpointBulkOrInterrupt) == 0) {
        continue;
      }
      if (endpoint.bEndpointAddress & kEndpointDirectionIn) {
        in = endpoint.bEndpointAddress;
      } else {
        out = endpoint.bEndpointAddress;
      }
    }
  }
  // 0 stands for "not found": endpoint 0 is the control pipe, never listed.
  bool complete = found != nullptr && in != 0 && out != 0;
  if (complete) {
    device->interface = found->bInterfaceNumber;
    device->inEndpoint = in;
    device->outEndpoint = out;
  }
  libusb_free_config_descriptor(config);
  return complete ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

aErr _handleErrorTolerance(tnusb_device* device, aErr result) {
  if (device == nullptr) {
    return result;
  }
  if (result != aErrIO) {
    device->errorCount.store(0);
    return result;
  }
  uint8_t before = device->errorCount.load();
  while (before < UINT8_MAX && !device->errorCount.compare_exchange_weak(before, static_cast<uint8_t>(before + 1))) {
  }
  if (before < TNUSB_TOLERATED_IO_ERRORS && device->state.load() != TNUSB_STATE_FAILED) {
    return aErrNone;
  }
  device->state.store(TNUSB_STATE_FAILED);
  return aErrIO;
}
