#include "tests/sim/usb/LibusbSpy.h"

#include <libusb.h>

#include <atomic>

namespace testsupport::usb::spy {

namespace {

std::atomic<int> sCalls[static_cast<int>(Call::Count)];
std::atomic<int> sOpened{0};
std::atomic<int> sListsOut{0};
std::atomic<int> sListsReleased{0};
std::atomic<int> sInitResult{0};
std::atomic<int> sClaimResult{0};
std::atomic<int> sOpenResult{0};
std::atomic<int> sOpenFailures{0};

void count(Call call) { ++sCalls[static_cast<int>(call)]; }

}  // namespace

int calls(Call call) { return sCalls[static_cast<int>(call)]; }

int totalCalls() {
  int total = 0;
  for (const auto& each : sCalls) {
    total += each;
  }
  return total;
}

int openHandles() { return sOpened - calls(Call::Close); }

int heldDeviceLists() { return sListsOut - sListsReleased; }

void failInit(int result) { sInitResult = result; }

void failClaim(int result) { sClaimResult = result; }

void failOpens(int result, int count) {
  sOpenResult = result;
  sOpenFailures = count;
}

}  // namespace testsupport::usb::spy

using testsupport::usb::spy::Call;
namespace spy = testsupport::usb::spy;

extern "C" {

int __real_libusb_init(libusb_context** context);
void __real_libusb_exit(libusb_context* context);
ssize_t __real_libusb_get_device_list(libusb_context* context, libusb_device*** list);
void __real_libusb_free_device_list(libusb_device** list, int unrefDevices);
int __real_libusb_open(libusb_device* device, libusb_device_handle** handle);
void __real_libusb_close(libusb_device_handle* handle);
int __real_libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor);
int __real_libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                              int length);
int __real_libusb_get_config_descriptor(libusb_device* device, uint8_t index, libusb_config_descriptor** config);
void __real_libusb_free_config_descriptor(libusb_config_descriptor* config);
libusb_device* __real_libusb_get_device(libusb_device_handle* handle);
int __real_libusb_claim_interface(libusb_device_handle* handle, int interface);
int __real_libusb_release_interface(libusb_device_handle* handle, int interface);
int __real_libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                                int* transferred, unsigned int timeout);
int __real_libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint);

int __wrap_libusb_init(libusb_context** context) {
  spy::count(Call::Init);
  int forced = spy::sInitResult;
  if (forced != 0) {
    if (context != nullptr) {
      *context = nullptr;
    }
    return forced;
  }
  return __real_libusb_init(context);
}

void __wrap_libusb_exit(libusb_context* context) {
  spy::count(Call::Exit);
  __real_libusb_exit(context);
}

ssize_t __wrap_libusb_get_device_list(libusb_context* context, libusb_device*** list) {
  spy::count(Call::GetDeviceList);
  ssize_t count = __real_libusb_get_device_list(context, list);
  if (count >= 0) {
    ++spy::sListsOut;
  }
  return count;
}

void __wrap_libusb_free_device_list(libusb_device** list, int unrefDevices) {
  spy::count(Call::FreeDeviceList);
  if (list != nullptr && unrefDevices != 0) {
    ++spy::sListsReleased;
  }
  __real_libusb_free_device_list(list, unrefDevices);
}

int __wrap_libusb_open(libusb_device* device, libusb_device_handle** handle) {
  spy::count(Call::Open);
  if (spy::sOpenFailures.fetch_sub(1) > 0) {
    return spy::sOpenResult;
  }
  spy::sOpenFailures = 0;
  int result = __real_libusb_open(device, handle);
  if (result == LIBUSB_SUCCESS) {
    ++spy::sOpened;
  }
  return result;
}

void __wrap_libusb_close(libusb_device_handle* handle) {
  spy::count(Call::Close);
  __real_libusb_close(handle);
}

int __wrap_libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
  spy::count(Call::GetDeviceDescriptor);
  return __real_libusb_get_device_descriptor(device, descriptor);
}

int __wrap_libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                              int length) {
  spy::count(Call::GetStringDescriptorAscii);
  return __real_libusb_get_string_descriptor_ascii(handle, index, data, length);
}

int __wrap_libusb_get_config_descriptor(libusb_device* device, uint8_t index, libusb_config_descriptor** config) {
  spy::count(Call::GetConfigDescriptor);
  return __real_libusb_get_config_descriptor(device, index, config);
}

void __wrap_libusb_free_config_descriptor(libusb_config_descriptor* config) {
  spy::count(Call::FreeConfigDescriptor);
  __real_libusb_free_config_descriptor(config);
}

libusb_device* __wrap_libusb_get_device(libusb_device_handle* handle) {
  spy::count(Call::GetDevice);
  return __real_libusb_get_device(handle);
}

int __wrap_libusb_claim_interface(libusb_device_handle* handle, int interface) {
  spy::count(Call::ClaimInterface);
  int forced = spy::sClaimResult;
  return forced != 0 ? forced : __real_libusb_claim_interface(handle, interface);
}

int __wrap_libusb_release_interface(libusb_device_handle* handle, int interface) {
  spy::count(Call::ReleaseInterface);
  return __real_libusb_release_interface(handle, interface);
}

int __wrap_libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                                int* transferred, unsigned int timeout) {
  spy::count(Call::BulkTransfer);
  return __real_libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}

int __wrap_libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
  spy::count(Call::ClearHalt);
  return __real_libusb_clear_halt(handle, endpoint);
}

}  // extern "C"
