#ifndef TESTS_SIM_USB_USBDEVICEMODEL_H
#define TESTS_SIM_USB_USBDEVICEMODEL_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/usb/UsbDescriptors.h"

namespace testsupport::usb {

class UsbTestbed;

// What happens to one bulk transfer in place of the normal behaviour.
struct TransferFault {
  enum class Kind {
    // The endpoint halts: this transfer and every later one on it end with
    // a stall until the host clears the halt.
    Stall,
    // The device never answers (NAKs): the host's time-out ends the
    // transfer, without data.
    Hang,
    // `bytes` move, then the device NAKs: the host's time-out ends the
    // transfer with those bytes.
    Partial,
    // `bytes` move, then the transfer fails with a bus error.
    BusError,
    // IN only: `bytes` move, then the device sends more than the host asked
    // for (babble).
    Overflow,
  };
  Kind kind;
  size_t bytes = 0;
};

// What the host did to the device, as the emulated kernel saw it.
struct UsbCounters {
  int opens = 0;      // device node opened
  int claims = 0;     // successful interface claims
  int lastClaim = -1; // interface number of the last successful claim
  int releases = 0;   // successful interface releases
  int clearHalts = 0;
  int bulkSubmits = 0;
  int controlSubmits = 0;
  int discards = 0;   // transfers the host gave up on (its time-outs)
  int unknownRequests = 0;
};

// One emulated USB device: the far side of the usbfs requests that the real
// libusb makes on the device node (claim and release, submit, reap and
// discard of transfers, clear halt), driven by a scriptable model.
//
// - Bulk OUT: the device takes what the host sends and hands it to the
//   host-write handler; every transfer's length is recorded.
// - Bulk IN: a transfer waits until bytes are queued for the host (or the
//   host's time-out ends it); it completes with what is queued, up to its
//   length.
// - Control: the standard descriptor requests; anything else stalls.
// - Faults: per-transfer faults queued in order for each direction, a
//   refused claim, and unplugging.
//
// A module engine sits behind it with two calls: setHostWriteHandler (bytes
// the host wrote) and queueForHost (bytes for the host to read).
//
// Threads: the usbfs requests are answered on the emulation's own thread;
// every public operation may be called from any thread. The host-write
// handler runs on the emulation thread, without the model's lock held, so
// it may call queueForHost.
//
// Made by UsbTestbed::add, which also attaches it to a device node.
class UsbDeviceModel {
 public:
  struct Impl;
  explicit UsbDeviceModel(const UsbDeviceDescription& description);
  ~UsbDeviceModel();
  UsbDeviceModel(const UsbDeviceModel&) = delete;
  UsbDeviceModel& operator=(const UsbDeviceModel&) = delete;

  const UsbDeviceDescription& description() const;
  // "/dev/bus/usb/BBB/DDD" of the device.
  const std::string& deviceNode() const;
  // Its bus number and device number (address) on the bus.
  int busNumber() const;
  int deviceNumber() const;

  using HostWriteHandler = std::function<void(const std::string& bytes)>;
  void setHostWriteHandler(HostWriteHandler handler);

  // Bytes for the host's bulk IN transfers. A waiting transfer completes at
  // once.
  void queueForHost(const std::string& bytes);
  // Queued bytes no transfer took yet.
  size_t queuedForHost() const;

  // Every byte the device took from bulk OUT transfers, in order.
  std::string hostWrote() const;
  // Waits until the device has taken at least count bytes.
  bool awaitHostWrote(size_t count, std::chrono::milliseconds timeout) const;
  // The length of every bulk OUT transfer the host submitted, in order.
  std::vector<size_t> outTransferLengths() const;
  // Waits until the host has a bulk IN transfer waiting for data.
  bool awaitInWaiting(std::chrono::milliseconds timeout) const;

  // Faults for the next transfers of one direction, used in order.
  void failNextIn(TransferFault fault);
  void failNextOut(TransferFault fault);
  // Claims answer this errno from now on (EBUSY, ENODEV, ...); 0 accepts.
  void refuseClaims(int error);
  // The device is gone: waiting transfers end with "device removed", and
  // every later request fails with ENODEV. The node stays until the testbed
  // goes.
  void unplug();
  bool unplugged() const;

  UsbCounters counters() const;
  // Opens of the node not closed yet.
  int openNow() const;
  // Waits until every open of the node has been closed again. A close
  // reaches the emulation a moment after the host made it, and umockdev
  // tells of it by no event, so this looks every few milliseconds.
  bool awaitAllClosed(std::chrono::milliseconds timeout) const;

  // How long a reap that finds no finished transfer is held before it
  // answers "nothing yet". libusb reaps until a reap finds nothing, then
  // polls the node for writability, which a socket always has, and so reaps
  // again at once: without the hold the host would spin while a transfer
  // waits. The first empty reap after a finished one is answered at once;
  // the next ones are held. A transfer that finishes meanwhile is answered
  // at once; a request from another host thread on the same open node waits
  // behind the held reap (the emulation answers one request of a node at a
  // time), much like the 1 ms frames of a full-speed bus. Zero never holds.
  // Default: 1 ms.
  void setReapHold(std::chrono::milliseconds hold);

 private:
  friend class UsbTestbed;
  Impl& impl() { return *impl_; }

  std::shared_ptr<Impl> impl_;
};

}  // namespace testsupport::usb

#endif
