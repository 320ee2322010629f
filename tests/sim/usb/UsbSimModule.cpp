#include "tests/sim/usb/UsbSimModule.h"

#include <cstdio>

namespace testsupport::usb {

void attachToUsb(simmodule::ModuleEngine& engine, UsbDeviceModel& usb, std::function<void()> leave) {
  usb.setHostWriteHandler([&engine](const std::string& bytes) {
    engine.hostWrote(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  });
  if (!leave) {
    leave = [&usb] { usb.unplug(); };
  }
  engine.attach(
      [&usb](const uint8_t* bytes, size_t length) {
        usb.queueForHost(std::string(reinterpret_cast<const char*>(bytes), length));
      },
      std::move(leave));
  engine.hostConnected();
}

UsbDeviceDescription UsbSimModule::description(const simmodule::ModuleIdentity& identity) {
  UsbDeviceDescription d;
  char serial[9];
  std::snprintf(serial, sizeof serial, "%08X", identity.serial);
  d.serial = std::string(serial);
  d.productId = identity.model;
  return d;
}

UsbSimModule::UsbSimModule(UsbTestbed& bus, const simmodule::ModuleIdentity& identity,
                           const simmodule::UpgradeCommand::Settings& settings, simmodule::UpgradeCommand::Mode mode,
                           Restart restart)
    : bus_(bus), restart_(std::move(restart)), table_(engine_, kAddress), upgrade_(engine_, kAddress, settings) {
  simmodule::addSystemEntity(table_, identity);
  table_.setBuild(identity.build);
  upgrade_.setMode(mode);
  UsbDeviceModel& first = bus_.add(description(identity));
  {
    std::lock_guard<std::mutex> hold(mutex_);
    usb_ = &first;
  }
  attach(first);
  thread_ = std::thread([this] { restarts(); });
}

// The thread first, so that no device is added behind the engine's back,
// then the engine's hold on the device.
UsbSimModule::~UsbSimModule() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  engine_.detach();
}

void UsbSimModule::attach(UsbDeviceModel& device) {
  attachToUsb(engine_, device, [this, &device] { left(device); });
}

// The host sees the device go at once (its transfers end); taking it off
// the bus is left to the module's thread, away from the emulation thread
// that is answering the host's request.
void UsbSimModule::left(UsbDeviceModel& device) {
  device.unplug();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (leaving_ != nullptr || usb_ != &device) return;
    leaving_ = &device;
  }
  changed_.notify_all();
}

void UsbSimModule::restarts() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    changed_.wait(hold, [&] { return stopping_ || leaving_ != nullptr; });
    if (stopping_) return;
    UsbDeviceModel* gone = leaving_;
    hold.unlock();
    engine_.detach();
    bus_.remove(*gone);
    if (restart_.observer) restart_.observer(false, *gone);
    hold.lock();
    ++departures_;
    changed_.notify_all();
    const bool back = restart_.returnAfter.has_value();
    const auto due = std::chrono::steady_clock::now() + restart_.returnAfter.value_or(std::chrono::milliseconds(0));
    if (back) {
      changed_.wait_until(hold, due, [&] { return stopping_; });
    } else {
      changed_.wait(hold, [&] { return stopping_; });
    }
    if (stopping_) return;
    hold.unlock();
    UsbDeviceModel& next = bus_.replug(*gone, [this](UsbDeviceModel& device) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        usb_ = &device;
        leaving_ = nullptr;
      }
      attach(device);
    });
    if (restart_.observer) restart_.observer(true, next);
    hold.lock();
    ++returns_;
    changed_.notify_all();
  }
}

UsbDeviceModel& UsbSimModule::usb() {
  std::lock_guard<std::mutex> hold(mutex_);
  return *usb_;
}

const UsbDeviceModel& UsbSimModule::usb() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return *usb_;
}

int UsbSimModule::departures() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return departures_;
}

int UsbSimModule::returns() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return returns_;
}

bool UsbSimModule::awaitReturns(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, timeout, [&] { return returns_ >= count; });
}

}  // namespace testsupport::usb
