#ifndef TESTS_SIM_USB_USBDESCRIPTORS_H
#define TESTS_SIM_USB_USBDESCRIPTORS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport::usb {

// The maker's USB vendor id, as modules carry it.
constexpr uint16_t kModuleVendorId = 0x2F1A;

// Endpoint transfer types (bmAttributes bits 0-1).
enum : uint8_t {
  kControlEndpoint = 0,
  kIsochronousEndpoint = 1,
  kBulkEndpoint = 2,
  kInterruptEndpoint = 3,
};

struct EndpointSpec {
  uint8_t address;     // bit 7 set: IN
  uint8_t attributes;  // transfer type
  uint16_t maxPacket = 64;
};

struct InterfaceSpec {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0xFF;
  uint8_t subclass = 0x88;
  uint8_t protocol = 0x10;
  std::vector<EndpointSpec> endpoints;
};

// A module's vendor interface: class 0xFF, subclass 0x88, protocol 0x10,
// bulk IN 0x81 and bulk OUT 0x02.
InterfaceSpec moduleInterface(uint8_t number = 0);

// Everything an emulated device shows the host. The defaults describe a
// module of model 4 with serial number 0x0000ABCD.
struct UsbDeviceDescription {
  uint16_t vendorId = kModuleVendorId;
  uint16_t productId = 0x0004;
  // The serial-number string; none (iSerialNumber 0) when empty.
  std::optional<std::string> serial = std::string("0000ABCD");
  std::string manufacturer = "Zeltrova";
  std::string product = "Tessarine module";
  // Configuration 1, the only one.
  std::vector<InterfaceSpec> interfaces = {moduleInterface()};
};

// String indices of the device descriptor.
enum : uint8_t {
  kManufacturerString = 1,
  kProductString = 2,
  kSerialString = 3,
};

// The device descriptor followed by the configuration descriptor with its
// interfaces and endpoints: what sysfs shows as "descriptors".
std::vector<uint8_t> descriptorBlob(const UsbDeviceDescription& device);
std::vector<uint8_t> deviceDescriptor(const UsbDeviceDescription& device);
std::vector<uint8_t> configurationDescriptor(const UsbDeviceDescription& device);
// A string descriptor (UTF-16LE of the ASCII text); index 0 is the language
// list (US English only).
std::vector<uint8_t> stringDescriptor(const std::string& text);
std::vector<uint8_t> languageDescriptor();

}  // namespace testsupport::usb

#endif
