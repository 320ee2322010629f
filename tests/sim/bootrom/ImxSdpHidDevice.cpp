#include "tests/sim/bootrom/ImxSdpHidDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace bootrom {

namespace {

constexpr char kHidrawNode[] = "/dev/hidraw0";
constexpr size_t kInputReportBytes = 64;
constexpr size_t kHabReportBytes = 4;
constexpr size_t kPaddedReportBytes = 65;
// Output reports as the descriptor sizes them, report id included: a
// command is exactly this long, a data report at most this long.
constexpr size_t kCommandReportBytes = 1 + 16;
constexpr size_t kDataReportBytes = 1 + 1024;

// Vendor page 0xFF00 with the four SDP reports: 1 out (16 bytes), 2 out
// (1024 bytes), 3 in (4 bytes), 4 in (64 bytes).
const uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02,
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,
    0xC0,
};

std::string hex(const uint8_t* data, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0xF];
  }
  return text;
}

// The USB device, its HID interface, the HID device and its hidraw node,
// as the kernel lays them out in sysfs.
std::string deviceTree() {
  const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  const std::string intf = usb + "/1-1:1.0";
  const std::string hid = intf + "/0003:1FC9:0130.0001";
  return "P: " + usb + "\n"
         "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=002\n"
         "A: idVendor=1fc9\nA: idProduct=0130\nA: bcdDevice=0001\nA: busnum=1\nA: devnum=2\n"
         "A: manufacturer=NXP SEMICONDUCTOR INC.\nA: product=SE Blank RT Family\n"
         "\n"
         "P: " + intf + "\n"
         "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\nA: bInterfaceClass=03\n"
         "\n"
         "P: " + hid + "\n"
         "E: SUBSYSTEM=hid\nE: HID_ID=0003:00001FC9:00000130\nE: HID_NAME=NXP SEMICONDUCTOR INC. SE Blank RT Family\n"
         "E: HID_PHYS=usb-0000:00:14.0-1/input0\nE: HID_UNIQ=SDP0001\n"
         "H: report_descriptor=" + hex(kReportDescriptor, sizeof kReportDescriptor) + "\n"
         "\n"
         "P: " + hid + "/hidraw/hidraw0\n"
         "N: hidraw0\n"
         "L: device=../../../0003:1FC9:0130.0001\n"
         "E: SUBSYSTEM=hidraw\nE: DEVNAME=" + kHidrawNode + "\nE: MAJOR=243\nE: MINOR=0\nA: dev=243:0\n";
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* error = nullptr;
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* size = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
    if (size == nullptr) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    const int value = static_cast<int>(sizeof kReportDescriptor);
    std::memcpy(size->data, &value, sizeof value);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }
  if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* descriptor = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &error);
    if (descriptor == nullptr) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    hidraw_report_descriptor* d = reinterpret_cast<hidraw_report_descriptor*>(descriptor->data);
    d->size = sizeof kReportDescriptor;
    std::memcpy(d->value, kReportDescriptor, sizeof kReportDescriptor);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
  return TRUE;
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  int error = 0;
  int result = static_cast<ImxSdpHidDevice*>(self)->handleWrite(arg->data, static_cast<size_t>(arg->data_len), &error);
  umockdev_ioctl_client_complete(client, result, error);
  return TRUE;
}

gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  int error = 0;
  int result = static_cast<ImxSdpHidDevice*>(self)->handleRead(arg->data, static_cast<size_t>(arg->data_len), &error);
  umockdev_ioctl_client_complete(client, result, error);
  return TRUE;
}

}  // namespace

struct ImxSdpHidDevice::Impl {
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  // The node is a pseudo-terminal: hidapi polls its device side before it
  // reads, so one byte sits there while reports wait, and none otherwise.
  int master = -1;
  int device = -1;
};

ImxSdpHidDevice::ImxSdpHidDevice(ImxSdpRom& rom, HidDeviceOptions options)
    : ImxSdpHidDevice(rom, nullptr, options) {}

ImxSdpHidDevice::ImxSdpHidDevice(ImxSdpRom& rom, UMockdevTestbed* shared, HidDeviceOptions options)
    : impl_(new Impl), rom_(rom), options_(options) {
  impl_->testbed = shared != nullptr ? static_cast<UMockdevTestbed*>(g_object_ref(shared)) : umockdev_testbed_new();
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(impl_->testbed, deviceTree().c_str(), &error)) {
    std::string message = error != nullptr ? error->message : "unknown";
    g_clear_error(&error);
    g_object_unref(impl_->testbed);
    delete impl_;
    throw std::runtime_error("umockdev device tree: " + message);
  }
  impl_->master = umockdev_testbed_get_dev_fd(impl_->testbed, kHidrawNode);
  char name[128];
  if (impl_->master < 0 || ptsname_r(impl_->master, name, sizeof name) != 0) {
    g_object_unref(impl_->testbed);
    delete impl_;
    throw std::runtime_error("umockdev gave the hidraw node no terminal");
  }
  // Straight to the kernel: through libc the preload library would take the
  // terminal for the emulated device and send our own ioctls to ourselves.
  impl_->device = static_cast<int>(syscall(SYS_openat, AT_FDCWD, name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios raw{};
  tcgetattr(impl_->master, &raw);
  cfmakeraw(&raw);
  tcsetattr(impl_->master, TCSANOW, &raw);

  impl_->handler = umockdev_ioctl_base_new();
  g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
  g_signal_connect(impl_->handler, "handle-read", G_CALLBACK(onRead), this);
  g_signal_connect(impl_->handler, "handle-write", G_CALLBACK(onWrite), this);
  if (impl_->device < 0 || !umockdev_testbed_attach_ioctl(impl_->testbed, kHidrawNode, impl_->handler, &error)) {
    std::string message = error != nullptr ? error->message : "cannot open the node's terminal";
    g_clear_error(&error);
    if (impl_->device >= 0) {
      close(impl_->device);
    }
    g_object_unref(impl_->handler);
    g_object_unref(impl_->testbed);
    delete impl_;
    throw std::runtime_error("umockdev hidraw node: " + message);
  }
}

ImxSdpHidDevice::~ImxSdpHidDevice() {
  // The handler goes first so that no answer starts while the rest is torn
  // down. umockdev's worker thread may outlive the testbed, so an answer
  // already running is waited for through our own lock, and one that comes
  // late finds the device detached.
  umockdev_testbed_detach_ioctl(impl_->testbed, kHidrawNode, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    detached_ = true;
  }
  g_object_unref(impl_->handler);
  close(impl_->device);
  g_object_unref(impl_->testbed);
  delete impl_;
}

std::string ImxSdpHidDevice::rootDir() const {
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  std::string path = root != nullptr ? root : "";
  g_free(root);
  return path;
}

std::vector<std::vector<uint8_t>> ImxSdpHidDevice::reportsWritten() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

void ImxSdpHidDevice::setOptions(const HidDeviceOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_ = options;
}

void ImxSdpHidDevice::updateReadiness() {
  if (!reports_.empty() && !readable_) {
    if (write(impl_->master, "r", 1) == 1) {
      readable_ = true;
    }
  } else if (reports_.empty() && readable_) {
    tcflush(impl_->device, TCIFLUSH);
    readable_ = false;
  }
}

// Reports are built at their full size and filled in place: inserting into
// a one-byte vector trips GCC's -Warray-bounds at -O3.
void ImxSdpHidDevice::queueFrames(const std::vector<SdpFrame>& frames) {
  for (const SdpFrame& frame : frames) {
    if (frame.habMode) {
      std::vector<uint8_t> report(options_.padHabReport ? kPaddedReportBytes : 1 + kHabReportBytes, 0);
      report[0] = SDP_HAB_REPORT_ID;
      const size_t n = std::min(frame.bytes.size(), report.size() - 1);
      std::copy(frame.bytes.begin(), frame.bytes.begin() + static_cast<long>(n), report.begin() + 1);
      reports_.push_back(std::move(report));
      continue;
    }
    // Input report 4 always carries 64 bytes; a shorter answer is padded
    // (only the deliberately short answers of a fault stay short).
    size_t at = 0;
    do {
      const size_t n = std::min(frame.bytes.size() - at, kInputReportBytes);
      std::vector<uint8_t> report(1 + (frame.bytes.size() >= 4 ? kInputReportBytes : n), 0);
      report[0] = SDP_RESPONSE_REPORT_ID;
      std::copy(frame.bytes.begin() + static_cast<long>(at), frame.bytes.begin() + static_cast<long>(at + n),
                report.begin() + 1);
      reports_.push_back(std::move(report));
      at += n;
    } while (at < frame.bytes.size());
  }
}

int ImxSdpHidDevice::handleWrite(const uint8_t* data, size_t length, int* error) {
  std::vector<SdpFrame> frames;
  if (length > 0) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (detached_) {
        *error = ENODEV;
        return -1;
      }
      written_.emplace_back(data, data + length);
    }
    // The device takes only the reports its descriptor declares, at their
    // sizes; the host sees anything else fail.
    const bool command = data[0] == SDP_COMMAND_REPORT_ID && length == kCommandReportBytes;
    const bool image = data[0] == SDP_DATA_REPORT_ID && length > 1 && length <= kDataReportBytes;
    if (!command && !image) {
      *error = EPIPE;
      return -1;
    }
    if (command) {
      frames = rom_.command(data + 1);
    } else {
      frames = rom_.data(data + 1, length - 1, nullptr, true);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (detached_) {
    *error = ENODEV;
    return -1;
  }
  queueFrames(frames);
  updateReadiness();
  return static_cast<int>(length);
}

int ImxSdpHidDevice::handleRead(uint8_t* data, size_t length, int* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (detached_) {
    *error = ENODEV;
    return -1;
  }
  if (options_.failReads) {
    *error = EIO;
    return -1;
  }
  if (reports_.empty()) {
    *error = EAGAIN;
    return -1;
  }
  std::vector<uint8_t> report = reports_.front();
  reports_.pop_front();
  updateReadiness();
  size_t n = report.size() < length ? report.size() : length;
  std::memcpy(data, report.data(), n);
  return static_cast<int>(n);
}

}  // namespace bootrom
