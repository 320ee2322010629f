#ifndef TESTS_SIM_USB_USBDEVICEMODELIMPL_H
#define TESTS_SIM_USB_USBDEVICEMODELIMPL_H

// Inside of UsbDeviceModel, shared by the device behaviour
// (UsbDeviceModel.cpp) and the usbfs request handling (UsbfsRequests.cpp).

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/sim/usb/UsbDeviceModel.h"

namespace testsupport::usb {

// One transfer (URB) the host submitted. The two data records are the
// emulation's copies of the host's urb and of its buffer: what is written
// into them reaches the host when the urb is reaped.
struct Urb {
  // The connection (the host's open file) it came on: usbfs reaps and
  // discards a urb only through the file that submitted it.
  UMockdevIoctlClient* owner = nullptr;
  uint64_t key = 0;  // the host's address of its urb: how a discard names it
  UMockdevIoctlData* record = nullptr;
  UMockdevIoctlData* buffer = nullptr;
  uint8_t endpoint = 0;
  bool in = false;
  size_t capacity = 0;
  // Takes no more data: only the host's discard (its time-out) ends it.
  bool stuck = false;

  usbdevfs_urb* header() const { return reinterpret_cast<usbdevfs_urb*>(record->data); }
  uint8_t* data() const { return buffer != nullptr ? buffer->data : nullptr; }
  size_t actual() const { return static_cast<size_t>(header()->actual_length); }
  void release();
};

struct UsbDeviceModel::Impl : std::enable_shared_from_this<UsbDeviceModel::Impl> {
  explicit Impl(const UsbDeviceDescription& description);
  ~Impl();

  // --- device behaviour; every member below is guarded by lock ---
  mutable std::mutex lock;
  mutable std::condition_variable changed;

  UsbDeviceDescription description;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configurationDescriptor;
  std::string node;
  int bus = 0;
  int address = 0;       // the device number on the bus
  bool removed = false;  // left the testbed's sysfs; guarded by the testbed

  HostWriteHandler hostWrite;
  std::string toHost;
  std::string fromHost;
  std::vector<size_t> outLengths;
  std::deque<TransferFault> inFaults;
  std::deque<TransferFault> outFaults;
  std::set<uint8_t> halted;   // endpoint addresses
  std::set<uint8_t> claimed;  // interface numbers
  int claimError = 0;
  bool gone = false;
  UsbCounters counters;

  std::list<Urb> waiting;    // submitted, not finished
  std::deque<Urb> finished;  // finished, for the host to reap

  bool knowsEndpoint(uint8_t address) const;
  bool knowsInterface(uint8_t number) const;
  // Starts a bulk transfer: finishes it at once or leaves it waiting. The
  // bytes the device took for a bulk OUT are appended to *taken.
  void startBulk(Urb urb, std::string* taken);
  // Answers a control transfer at once.
  void startControl(Urb urb);
  // Moves bytes queued for the host into waiting IN transfers.
  void feedWaitingIn();
  void finish(Urb urb, int status);
  // The host gave up on the urb named key: false when no such urb waits.
  bool discard(UMockdevIoctlClient* owner, uint64_t key);
  // Takes the oldest finished urb of the connection.
  bool takeFinished(UMockdevIoctlClient* owner, Urb* urb);
  void unplug();

  // --- usbfs requests (UsbfsRequests.cpp) ---
  UMockdevIoctlBase* handler = nullptr;
  std::vector<gulong> signals;
  // Every connection the host made to the node; a closed one shows as no
  // longer connected.
  std::vector<UMockdevIoctlClient*> clients;
  int connectedClients() const;
  // The emulation thread's main context, where held reaps are answered.
  GMainContext* worker = nullptr;
  int holdMS = 1;
  // A reap held until a urb of its connection finishes or the hold ends.
  struct HeldReap {
    UMockdevIoctlClient* client;
    GSource* timer;
    GSource* wake;
  };
  std::vector<HeldReap> held;
  // Connections whose last reap found nothing: the next empty one is held.
  std::set<UMockdevIoctlClient*> idleReapers;
  bool closing = false;

  // Connects the request handler to the device node of the testbed.
  void attach(UMockdevTestbed* testbed);
  // Stops answering: held reaps are let go, the handler's callbacks are
  // disconnected and every GLib object the model holds is released, on the
  // emulation thread. The testbed detaches the node first.
  void shutDown();
  void releaseGLibState();
  // lock held: a held reap of the connection is answered soon on the
  // emulation thread.
  void wakeHeldReap(UMockdevIoctlClient* client);
};

}  // namespace testsupport::usb

#endif
