#include "tests/sim/usb/UsbDescriptors.h"

namespace testsupport::usb {

namespace {

constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;
constexpr uint8_t kStringDescriptorType = 3;
constexpr uint8_t kInterfaceDescriptorType = 4;
constexpr uint8_t kEndpointDescriptorType = 5;
constexpr uint16_t kUSB2 = 0x0200;
constexpr uint16_t kUSEnglish = 0x0409;
constexpr uint8_t kControlMaxPacket = 64;
constexpr uint8_t kBusPowered = 0x80;
constexpr uint8_t k100mA = 50;  // in 2 mA units

void put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

InterfaceSpec moduleInterface(uint8_t number) {
  InterfaceSpec spec;
  spec.number = number;
  spec.endpoints = {{0x81, kBulkEndpoint, 64}, {0x02, kBulkEndpoint, 64}};
  return spec;
}

std::vector<uint8_t> deviceDescriptor(const UsbDeviceDescription& device) {
  std::vector<uint8_t> out = {18, kDeviceDescriptorType};
  put16(out, kUSB2);
  out.insert(out.end(), {0, 0, 0, kControlMaxPacket});  // class in the interfaces
  put16(out, device.vendorId);
  put16(out, device.productId);
  put16(out, 0x0100);  // device release
  out.push_back(kManufacturerString);
  out.push_back(kProductString);
  out.push_back(device.serial ? kSerialString : 0);
  out.push_back(1);  // one configuration
  return out;
}

std::vector<uint8_t> configurationDescriptor(const UsbDeviceDescription& device) {
  std::vector<uint8_t> body;
  uint8_t interfaceCount = 0;
  for (const InterfaceSpec& interface : device.interfaces) {
    if (interface.alternate == 0) {
      ++interfaceCount;
    }
    body.insert(body.end(), {9, kInterfaceDescriptorType, interface.number, interface.alternate,
                             static_cast<uint8_t>(interface.endpoints.size()), interface.interfaceClass,
                             interface.subclass, interface.protocol, 0});
    for (const EndpointSpec& endpoint : interface.endpoints) {
      body.insert(body.end(), {7, kEndpointDescriptorType, endpoint.address, endpoint.attributes});
      put16(body, endpoint.maxPacket);
      body.push_back(endpoint.attributes == kInterruptEndpoint ? 1 : 0);  // interval
    }
  }
  std::vector<uint8_t> out = {9, kConfigurationDescriptorType};
  put16(out, static_cast<uint16_t>(9 + body.size()));
  out.insert(out.end(), {interfaceCount, 1, 0, kBusPowered, k100mA});
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> descriptorBlob(const UsbDeviceDescription& device) {
  std::vector<uint8_t> out = deviceDescriptor(device);
  std::vector<uint8_t> configuration = configurationDescriptor(device);
  out.insert(out.end(), configuration.begin(), configuration.end());
  return out;
}

std::vector<uint8_t> stringDescriptor(const std::string& text) {
  // bLength is one byte: at most 126 characters.
  size_t characters = text.size() > 126 ? 126 : text.size();
  std::vector<uint8_t> out = {static_cast<uint8_t>(2 + 2 * characters), kStringDescriptorType};
  for (size_t i = 0; i < characters; ++i) {
    put16(out, static_cast<uint8_t>(text[i]));
  }
  return out;
}

std::vector<uint8_t> languageDescriptor() {
  std::vector<uint8_t> out = {4, kStringDescriptorType};
  put16(out, kUSEnglish);
  return out;
}

}  // namespace testsupport::usb
