#include "tests/sim/usb/UsbTestbed.h"

#include <cstdio>
#include <stdexcept>

#include "tests/sim/usb/UsbDeviceModelImpl.h"

namespace testsupport::usb {

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char pair[3];
  for (uint8_t byte : bytes) {
    snprintf(pair, sizeof pair, "%02X", byte);
    out += pair;
  }
  return out;
}

std::string nodeOf(int bus, int address) {
  char node[32];
  snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, address);
  return node;
}

// Each device is the only one of its bus; a device that enumerates again
// takes the place of the one that left.
std::string sysfsPathOf(int bus) { return "/sys/devices/usb" + std::to_string(bus); }

}  // namespace

UsbTestbed::UsbTestbed() {
  testbed_ = umockdev_testbed_new();
  if (testbed_ == nullptr) {
    throw std::runtime_error("cannot make a umockdev testbed");
  }
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root != nullptr ? root : "";
  g_free(root);
}

UsbTestbed::~UsbTestbed() {
  for (auto& device : devices_) {
    umockdev_testbed_detach_ioctl(testbed_, device->deviceNode().c_str(), nullptr);
  }
  devices_.clear();
  g_object_unref(testbed_);
}

// The device as udev and sysfs show it: one device per bus. The attributes
// are those libusb reads (bus and device number, speed, active
// configuration, descriptors) and those udev shows.
std::string UsbTestbed::sysfsRecord(const UsbDeviceDescription& description, int bus, int address) const {
  char head[512];
  std::string node = nodeOf(bus, address);
  snprintf(head, sizeof head,
           "P: /devices/usb%d\n"
           "N: %s\n"
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DEVNAME=%s\n"
           "E: BUSNUM=%03d\n"
           "E: DEVNUM=%03d\n"
           "E: PRODUCT=%x/%x/100\n"
           "A: busnum=%d\\n\n"
           "A: devnum=%d\\n\n"
           "A: speed=480\\n\n"
           "A: bConfigurationValue=1\\n\n"
           "A: idVendor=%04x\\n\n"
           "A: idProduct=%04x\\n\n",
           bus, node.substr(std::string("/dev/").size()).c_str(), node.c_str(), bus, address, description.vendorId,
           description.productId, bus, address, description.vendorId, description.productId);
  std::string record = head;
  if (description.serial && description.serial->find('\n') == std::string::npos) {
    record += "A: serial=" + *description.serial + "\\n\n";
  }
  record += "H: descriptors=" + hex(descriptorBlob(description)) + "\n";
  return record;
}

UsbDeviceModel& UsbTestbed::add(const UsbDeviceDescription& description) {
  std::lock_guard<std::mutex> hold(mutex_);
  return plugIn(description, ++buses_, 1, nullptr);
}

// Adding the record announces the device to udev ("add").
UsbDeviceModel& UsbTestbed::plugIn(const UsbDeviceDescription& description, int bus, int address,
                                   const std::function<void(UsbDeviceModel&)>& prepare) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, sysfsRecord(description, bus, address).c_str(), &error)) {
    std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("cannot add a USB device: " + message);
  }
  auto device = std::make_unique<UsbDeviceModel>(description);
  device->impl().node = nodeOf(bus, address);
  device->impl().bus = bus;
  device->impl().address = address;
  if (prepare) {
    prepare(*device);
  }
  device->impl().attach(testbed_);
  devices_.push_back(std::move(device));
  return *devices_.back();
}

void UsbTestbed::remove(UsbDeviceModel& device) {
  device.unplug();
  std::lock_guard<std::mutex> hold(mutex_);
  if (device.impl().removed) {
    return;
  }
  device.impl().removed = true;
  // udev reads the removed device's properties from sysfs: announce first.
  const std::string path = sysfsPathOf(device.impl().bus);
  umockdev_testbed_uevent(testbed_, path.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, path.c_str());
}

UsbDeviceModel& UsbTestbed::replug(const UsbDeviceModel& removed,
                                   const std::function<void(UsbDeviceModel&)>& prepare) {
  std::lock_guard<std::mutex> hold(mutex_);
  const UsbDeviceModel::Impl& old = *removed.impl_;
  if (!old.removed) {
    throw std::logic_error("a device must leave the bus before it enumerates again");
  }
  // Device numbers run 1 to 127 on a bus before they wrap.
  const int address = old.address % 127 + 1;
  return plugIn(old.description, old.bus, address, prepare);
}

}  // namespace testsupport::usb
