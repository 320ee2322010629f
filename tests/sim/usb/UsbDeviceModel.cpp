// The device's behaviour: what it does with the transfers the host submits.

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "tests/sim/usb/UsbDeviceModelImpl.h"

namespace testsupport::usb {

void Urb::release() {
  if (buffer != nullptr) {
    umockdev_ioctl_data_unref(buffer);
    buffer = nullptr;
  }
  if (record != nullptr) {
    umockdev_ioctl_data_unref(record);
    record = nullptr;
  }
}

UsbDeviceModel::Impl::Impl(const UsbDeviceDescription& wanted)
    : description(wanted),
      deviceDescriptor(testsupport::usb::deviceDescriptor(wanted)),
      configurationDescriptor(testsupport::usb::configurationDescriptor(wanted)) {}

// Everything of GLib's went in shutDown().
UsbDeviceModel::Impl::~Impl() = default;

bool UsbDeviceModel::Impl::knowsEndpoint(uint8_t address) const {
  for (const InterfaceSpec& interface : description.interfaces) {
    for (const EndpointSpec& endpoint : interface.endpoints) {
      if (endpoint.address == address) {
        return true;
      }
    }
  }
  return false;
}

bool UsbDeviceModel::Impl::knowsInterface(uint8_t number) const {
  return std::any_of(description.interfaces.begin(), description.interfaces.end(),
                     [number](const InterfaceSpec& interface) { return interface.number == number; });
}

namespace {

// Moves up to limit bytes between the urb and the device: IN from the bytes
// queued for the host, OUT into what the host wrote.
void moveBytes(UsbDeviceModel::Impl& device, Urb& urb, size_t limit, std::string* taken) {
  usbdevfs_urb* header = urb.header();
  size_t actual = urb.actual();
  size_t room = urb.capacity - actual;
  size_t count = std::min(limit, room);
  if (urb.in) {
    count = std::min(count, device.toHost.size());
    std::memcpy(urb.data() + actual, device.toHost.data(), count);
    device.toHost.erase(0, count);
  } else {
    std::string bytes(reinterpret_cast<const char*>(urb.data() + actual), count);
    device.fromHost += bytes;
    if (taken != nullptr) {
      *taken += bytes;
    }
  }
  header->actual_length = static_cast<int>(actual + count);
  device.changed.notify_all();
}

}  // namespace

void UsbDeviceModel::Impl::startBulk(Urb urb, std::string* taken) {
  ++counters.bulkSubmits;
  urb.header()->actual_length = 0;
  if (!urb.in) {
    outLengths.push_back(urb.capacity);
  }
  if (gone) {
    finish(urb, -ESHUTDOWN);
    return;
  }
  if (halted.count(urb.endpoint) != 0) {
    finish(urb, -EPIPE);
    return;
  }
  std::deque<TransferFault>& faults = urb.in ? inFaults : outFaults;
  if (!faults.empty()) {
    TransferFault fault = faults.front();
    faults.pop_front();
    switch (fault.kind) {
      case TransferFault::Kind::Stall:
        halted.insert(urb.endpoint);
        finish(urb, -EPIPE);
        return;
      case TransferFault::Kind::Hang:
        urb.stuck = true;
        waiting.push_back(urb);
        changed.notify_all();
        return;
      case TransferFault::Kind::Partial:
        moveBytes(*this, urb, fault.bytes, taken);
        urb.stuck = true;
        waiting.push_back(urb);
        return;
      case TransferFault::Kind::BusError:
        moveBytes(*this, urb, fault.bytes, taken);
        finish(urb, -EPROTO);
        return;
      case TransferFault::Kind::Overflow:
        moveBytes(*this, urb, fault.bytes, taken);
        finish(urb, -EOVERFLOW);
        return;
    }
  }
  if (!urb.in) {
    moveBytes(*this, urb, urb.capacity, taken);
    finish(urb, 0);
  } else if (!toHost.empty()) {
    moveBytes(*this, urb, urb.capacity, nullptr);
    finish(urb, 0);
  } else {
    waiting.push_back(urb);
    changed.notify_all();
  }
}

void UsbDeviceModel::Impl::feedWaitingIn() {
  for (auto it = waiting.begin(); it != waiting.end() && !toHost.empty();) {
    // A transfer left behind by a closed connection takes nothing.
    if (!it->in || it->stuck || !umockdev_ioctl_client_get_connected(it->owner)) {
      ++it;
      continue;
    }
    Urb urb = *it;
    it = waiting.erase(it);
    moveBytes(*this, urb, urb.capacity, nullptr);
    finish(urb, 0);
  }
}

void UsbDeviceModel::Impl::finish(Urb urb, int status) {
  urb.header()->status = status;
  finished.push_back(urb);
  changed.notify_all();
  wakeHeldReap(urb.owner);
}

bool UsbDeviceModel::Impl::takeFinished(UMockdevIoctlClient* owner, Urb* urb) {
  for (auto it = finished.begin(); it != finished.end(); ++it) {
    if (it->owner == owner) {
      *urb = *it;
      finished.erase(it);
      return true;
    }
  }
  return false;
}

bool UsbDeviceModel::Impl::discard(UMockdevIoctlClient* owner, uint64_t key) {
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (it->owner == owner && it->key == key) {
      Urb urb = *it;
      waiting.erase(it);
      ++counters.discards;
      // The bytes moved before the discard stay with the urb.
      finish(urb, -ENOENT);
      return true;
    }
  }
  return false;
}

void UsbDeviceModel::Impl::unplug() {
  gone = true;
  while (!waiting.empty()) {
    Urb urb = waiting.front();
    waiting.pop_front();
    finish(urb, -ESHUTDOWN);
  }
  changed.notify_all();
}

// --- public interface ---

UsbDeviceModel::UsbDeviceModel(const UsbDeviceDescription& description)
    : impl_(std::make_shared<Impl>(description)) {}

UsbDeviceModel::~UsbDeviceModel() { impl_->shutDown(); }

const UsbDeviceDescription& UsbDeviceModel::description() const { return impl_->description; }

const std::string& UsbDeviceModel::deviceNode() const { return impl_->node; }

int UsbDeviceModel::busNumber() const { return impl_->bus; }

int UsbDeviceModel::deviceNumber() const { return impl_->address; }

void UsbDeviceModel::setHostWriteHandler(HostWriteHandler handler) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->hostWrite = std::move(handler);
}

void UsbDeviceModel::queueForHost(const std::string& bytes) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->toHost += bytes;
  impl_->feedWaitingIn();
}

size_t UsbDeviceModel::queuedForHost() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->toHost.size();
}

std::string UsbDeviceModel::hostWrote() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->fromHost;
}

bool UsbDeviceModel::awaitHostWrote(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(impl_->lock);
  return impl_->changed.wait_for(hold, timeout, [&] { return impl_->fromHost.size() >= count; });
}

std::vector<size_t> UsbDeviceModel::outTransferLengths() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->outLengths;
}

bool UsbDeviceModel::awaitInWaiting(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(impl_->lock);
  return impl_->changed.wait_for(hold, timeout, [&] {
    return std::any_of(impl_->waiting.begin(), impl_->waiting.end(), [](const Urb& urb) { return urb.in; });
  });
}

void UsbDeviceModel::failNextIn(TransferFault fault) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->inFaults.push_back(fault);
}

void UsbDeviceModel::failNextOut(TransferFault fault) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->outFaults.push_back(fault);
}

void UsbDeviceModel::refuseClaims(int error) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->claimError = error;
}

void UsbDeviceModel::unplug() {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->unplug();
}

bool UsbDeviceModel::unplugged() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->gone;
}

UsbCounters UsbDeviceModel::counters() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->counters;
}

int UsbDeviceModel::openNow() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->connectedClients();
}

bool UsbDeviceModel::awaitAllClosed(std::chrono::milliseconds timeout) const {
  constexpr std::chrono::milliseconds kLook(5);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (openNow() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kLook);
  }
  return true;
}

void UsbDeviceModel::setReapHold(std::chrono::milliseconds hold) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->holdMS = static_cast<int>(hold.count());
}

}  // namespace testsupport::usb
