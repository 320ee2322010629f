// The usbfs requests of the device node, as libusb's Linux back end makes
// them, answered from the device model on the emulation's thread.

#include <errno.h>
#include <linux/usb/ch9.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "tests/sim/usb/UsbDeviceModelImpl.h"

namespace testsupport::usb {

namespace {

using Impl = UsbDeviceModel::Impl;

// What the emulated kernel offers: one urb per bulk transfer of any length.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr size_t kSetupSize = 8;

// Records handed to the emulation thread through GLib (callback data) are
// made, read and freed under this lock: GLib's own hand-over uses locks the
// thread sanitizer cannot see, and this one it can.
std::mutex& handOff() {
  static std::mutex lock;
  return lock;
}

// Keeps the model alive for as long as GLib holds a callback into it.
struct Keep {
  std::shared_ptr<Impl> impl;
};

Keep* newKeep(const std::shared_ptr<Impl>& impl) {
  std::lock_guard<std::mutex> hold(handOff());
  return new Keep{impl};
}

Impl* implOf(gpointer data) {
  std::lock_guard<std::mutex> hold(handOff());
  return static_cast<Keep*>(data)->impl.get();
}

void dropKeep(gpointer data) {
  std::lock_guard<std::mutex> hold(handOff());
  delete static_cast<Keep*>(data);
}

void dropClosureKeep(gpointer data, GClosure*) { dropKeep(data); }

void dropSource(GSource*& source) {
  if (source != nullptr) {
    g_source_destroy(source);
    g_source_unref(source);
    source = nullptr;
  }
}

void answer(UMockdevIoctlClient* client, int error) {
  umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
}

// Hands a finished urb back to the host (nullptr: nothing finished yet).
void answerReap(UMockdevIoctlClient* client, Urb* urb) {
  if (urb == nullptr) {
    answer(client, EAGAIN);
    return;
  }
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*),
                                                         nullptr);
  if (slot == nullptr) {
    urb->release();
    answer(client, EFAULT);
    return;
  }
  umockdev_ioctl_data_set_ptr(slot, 0, urb->record);
  umockdev_ioctl_data_unref(slot);
  urb->release();
  answer(client, 0);
}

// A held reap's wake-up: which connection's reap to answer.
struct HeldKeep {
  std::shared_ptr<Impl> impl;
  UMockdevIoctlClient* client;
};

void dropHeldKeep(gpointer data) {
  std::lock_guard<std::mutex> hold(handOff());
  delete static_cast<HeldKeep*>(data);
}

gboolean answerHeldReap(gpointer data) {
  Impl* device;
  UMockdevIoctlClient* client;
  {
    std::lock_guard<std::mutex> hold(handOff());
    device = static_cast<HeldKeep*>(data)->impl.get();
    client = static_cast<HeldKeep*>(data)->client;
  }
  bool wasHeld = false;
  Urb urb;
  {
    std::lock_guard<std::mutex> hold(device->lock);
    for (auto it = device->held.begin(); it != device->held.end(); ++it) {
      if (it->client == client) {
        dropSource(it->timer);
        dropSource(it->wake);
        device->held.erase(it);
        wasHeld = true;
        break;
      }
    }
    if (wasHeld && device->takeFinished(client, &urb)) {
      device->idleReapers.erase(client);
    }
  }
  if (wasHeld) {
    answerReap(client, urb.record != nullptr ? &urb : nullptr);
    g_object_unref(client);
  }
  return G_SOURCE_REMOVE;
}

GSource* attachToWorker(Impl* device, UMockdevIoctlClient* client, GSource* source) {
  HeldKeep* keep;
  {
    std::lock_guard<std::mutex> hold(handOff());
    keep = new HeldKeep{device->shared_from_this(), client};
  }
  g_source_set_callback(source, answerHeldReap, keep, dropHeldKeep);
  g_source_attach(source, device->worker);
  return source;
}

// libusb reaps until a reap finds nothing, then polls the node, which is
// always ready, and reaps again. The first empty reap is answered at once;
// a second one in a row is held.
void reap(Impl* device, UMockdevIoctlClient* client) {
  Urb urb;
  {
    std::lock_guard<std::mutex> hold(device->lock);
    if (device->takeFinished(client, &urb)) {
      device->idleReapers.erase(client);
    } else if (device->idleReapers.insert(client).second || device->holdMS <= 0 || device->closing) {
      // answered at once below
    } else {
      g_object_ref(client);
      GSource* timer = g_timeout_source_new(static_cast<guint>(device->holdMS));
      device->held.push_back({client, attachToWorker(device, client, timer), nullptr});
      return;
    }
  }
  answerReap(client, urb.record != nullptr ? &urb : nullptr);
}

// A number the request points at (interface, endpoint).
bool readNumber(UMockdevIoctlClient* client, unsigned int* number) {
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                         sizeof(unsigned int), nullptr);
  if (data == nullptr) {
    return false;
  }
  std::memcpy(number, data->data, sizeof *number);
  umockdev_ioctl_data_unref(data);
  return true;
}

void capabilities(UMockdevIoctlClient* client) {
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                         sizeof(uint32_t), nullptr);
  if (data == nullptr) {
    answer(client, EFAULT);
    return;
  }
  std::memcpy(data->data, &kCapabilities, sizeof kCapabilities);
  umockdev_ioctl_data_unref(data);
  answer(client, 0);
}

int claim(Impl* device, unsigned int number) {
  std::lock_guard<std::mutex> hold(device->lock);
  if (device->gone) {
    return ENODEV;
  }
  if (device->claimError != 0) {
    return device->claimError;
  }
  if (!device->knowsInterface(static_cast<uint8_t>(number))) {
    return ENOENT;
  }
  device->claimed.insert(static_cast<uint8_t>(number));
  ++device->counters.claims;
  device->counters.lastClaim = static_cast<int>(number);
  return 0;
}

int release(Impl* device, unsigned int number) {
  std::lock_guard<std::mutex> hold(device->lock);
  if (device->gone) {
    return ENODEV;
  }
  if (device->claimed.erase(static_cast<uint8_t>(number)) == 0) {
    return EINVAL;
  }
  ++device->counters.releases;
  return 0;
}

int clearHalt(Impl* device, unsigned int endpoint) {
  std::lock_guard<std::mutex> hold(device->lock);
  if (device->gone) {
    return ENODEV;
  }
  if (!device->knowsEndpoint(static_cast<uint8_t>(endpoint))) {
    return ENOENT;
  }
  device->halted.erase(static_cast<uint8_t>(endpoint));
  ++device->counters.clearHalts;
  return 0;
}

void submit(Impl* device, UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Urb urb;
  urb.record = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (urb.record == nullptr) {
    answer(client, EFAULT);
    return;
  }
  usbdevfs_urb* header = urb.header();
  if (header->buffer_length > 0) {
    urb.buffer = umockdev_ioctl_data_resolve(urb.record, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(header->buffer_length), nullptr);
    if (urb.buffer == nullptr) {
      urb.release();
      answer(client, EFAULT);
      return;
    }
  }
  urb.owner = client;
  urb.key = urb.record->client_addr;
  urb.endpoint = header->endpoint;
  urb.in = (header->endpoint & USB_DIR_IN) != 0;
  urb.capacity = static_cast<size_t>(header->buffer_length);

  const bool control = header->type == USBDEVFS_URB_TYPE_CONTROL;
  int error = 0;
  {
    std::lock_guard<std::mutex> hold(device->lock);
    if (device->gone) {
      error = ENODEV;
    } else if (control) {
      error = urb.capacity < kSetupSize ? EINVAL : 0;
    } else if ((header->type != USBDEVFS_URB_TYPE_BULK && header->type != USBDEVFS_URB_TYPE_INTERRUPT) ||
               !device->knowsEndpoint(urb.endpoint)) {
      error = ENOENT;
    }
  }
  if (error != 0) {
    urb.release();
    answer(client, error);
    return;
  }
  // The answer copies the urb back to the host: that happens before the urb
  // is shared with the threads that feed the device.
  answer(client, 0);
  std::string taken;
  UsbDeviceModel::HostWriteHandler handler;
  {
    std::lock_guard<std::mutex> hold(device->lock);
    if (control) {
      device->startControl(urb);
    } else {
      device->startBulk(urb, &taken);
      handler = device->hostWrite;
    }
  }
  if (!taken.empty() && handler) {
    handler(taken);
  }
}

void discardRequest(Impl* device, UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  uint64_t key = 0;
  if (arg->data_len >= static_cast<gint>(sizeof key)) {
    std::memcpy(&key, arg->data, sizeof key);
  }
  bool found;
  {
    std::lock_guard<std::mutex> hold(device->lock);
    found = device->discard(client, key);
  }
  answer(client, found ? 0 : EINVAL);
}

gboolean onRequest(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Impl* device = implOf(data);
  {
    std::lock_guard<std::mutex> hold(device->lock);
    if (device->worker == nullptr) {
      device->worker = g_main_context_ref_thread_default();
    }
  }
  unsigned int number = 0;
  switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES:
      capabilities(client);
      break;
    case USBDEVFS_CLAIMINTERFACE:
      answer(client, readNumber(client, &number) ? claim(device, number) : EFAULT);
      break;
    case USBDEVFS_RELEASEINTERFACE:
      answer(client, readNumber(client, &number) ? release(device, number) : EFAULT);
      break;
    case USBDEVFS_CLEAR_HALT:
      answer(client, readNumber(client, &number) ? clearHalt(device, number) : EFAULT);
      break;
    case USBDEVFS_SUBMITURB:
      submit(device, client);
      break;
    case USBDEVFS_DISCARDURB:
      discardRequest(device, client);
      break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      reap(device, client);
      break;
    default: {
      std::lock_guard<std::mutex> hold(device->lock);
      ++device->counters.unknownRequests;
    }
      answer(client, ENOTTY);
      break;
  }
  return TRUE;
}

void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Impl* device = implOf(data);
  std::lock_guard<std::mutex> hold(device->lock);
  if (device->worker == nullptr) {
    device->worker = g_main_context_ref_thread_default();
  }
  ++device->counters.opens;
  device->clients.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
}

// The descriptor a GET_DESCRIPTOR request asks for; false when there is none.
bool descriptorFor(const Impl& device, uint16_t value, std::vector<uint8_t>* out) {
  uint8_t type = static_cast<uint8_t>(value >> 8);
  uint8_t index = static_cast<uint8_t>(value & 0xFF);
  switch (type) {
    case USB_DT_DEVICE:
      *out = device.deviceDescriptor;
      return true;
    case USB_DT_CONFIG:
      *out = device.configurationDescriptor;
      return index == 0;
    case USB_DT_STRING:
      switch (index) {
        case 0:
          *out = languageDescriptor();
          return true;
        case kManufacturerString:
          *out = stringDescriptor(device.description.manufacturer);
          return true;
        case kProductString:
          *out = stringDescriptor(device.description.product);
          return true;
        case kSerialString:
          if (device.description.serial) {
            *out = stringDescriptor(*device.description.serial);
            return true;
          }
          return false;
        default:
          return false;
      }
    default:
      return false;
  }
}

}  // namespace

void UsbDeviceModel::Impl::startControl(Urb urb) {
  ++counters.controlSubmits;
  if (gone) {
    finish(urb, -ESHUTDOWN);
    return;
  }
  usb_ctrlrequest setup;
  std::memcpy(&setup, urb.data(), sizeof setup);
  uint16_t value = le16toh(setup.wValue);
  uint16_t length = le16toh(setup.wLength);
  urb.in = (setup.bRequestType & USB_DIR_IN) != 0;
  urb.header()->actual_length = 0;
  std::vector<uint8_t> reply;
  bool known = setup.bRequestType == (USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE) &&
               setup.bRequest == USB_REQ_GET_DESCRIPTOR && descriptorFor(*this, value, &reply);
  if (!known) {
    // A request the device does not know: the control pipe stalls once.
    finish(urb, -EPIPE);
    return;
  }
  size_t count = std::min({reply.size(), static_cast<size_t>(length), urb.capacity - kSetupSize});
  std::memcpy(urb.data() + kSetupSize, reply.data(), count);
  urb.header()->actual_length = static_cast<int>(count);
  finish(urb, 0);
}

int UsbDeviceModel::Impl::connectedClients() const {
  int connected = 0;
  for (UMockdevIoctlClient* client : clients) {
    if (umockdev_ioctl_client_get_connected(client)) {
      ++connected;
    }
  }
  return connected;
}

void UsbDeviceModel::Impl::wakeHeldReap(UMockdevIoctlClient* client) {
  if (worker == nullptr || closing) {
    return;
  }
  for (HeldReap& each : held) {
    if (each.client == client && each.wake == nullptr) {
      GSource* source = g_idle_source_new();
      g_source_set_priority(source, G_PRIORITY_HIGH);
      each.wake = attachToWorker(this, client, source);
    }
  }
}

void UsbDeviceModel::Impl::attach(UMockdevTestbed* testbed) {
  handler = umockdev_ioctl_base_new();
  signals = {
      g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(onRequest), newKeep(shared_from_this()),
                            dropClosureKeep, GConnectFlags(0)),
      g_signal_connect_data(handler, "client-connected", G_CALLBACK(onConnected), newKeep(shared_from_this()),
                            dropClosureKeep, GConnectFlags(0)),
  };
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler, &error)) {
    std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("cannot attach the usbfs handler to " + node + ": " + message);
  }
}

namespace {

// A piece of the model's teardown run on the emulation thread, which the
// caller waits for.
struct Teardown {
  Impl* device = nullptr;
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
};

gboolean releaseOnWorker(gpointer data) {
  Teardown* teardown = static_cast<Teardown*>(data);
  Impl* device;
  {
    std::lock_guard<std::mutex> hold(handOff());
    device = teardown->device;
  }
  device->releaseGLibState();
  std::lock_guard<std::mutex> hold(teardown->lock);
  teardown->done = true;
  teardown->finished.notify_all();
  return G_SOURCE_REMOVE;
}

}  // namespace

void UsbDeviceModel::Impl::shutDown() {
  GMainContext* context = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock);
    closing = true;
    if (worker != nullptr) {
      context = g_main_context_ref(worker);
    }
  }
  if (context == nullptr) {
    // Nothing ever reached the emulation thread.
    releaseGLibState();
    return;
  }
  // GLib guards its own state with locks the thread sanitizer cannot see:
  // the objects the emulation thread used are let go on that thread.
  std::unique_ptr<Teardown> made;
  {
    std::lock_guard<std::mutex> hold(handOff());
    made = std::make_unique<Teardown>();
    made->device = this;
  }
  Teardown& teardown = *made;
  g_main_context_invoke_full(context, G_PRIORITY_HIGH, releaseOnWorker, &teardown, nullptr);
  std::unique_lock<std::mutex> hold(teardown.lock);
  teardown.finished.wait(hold, [&] { return teardown.done; });
  hold.unlock();
  g_main_context_unref(context);
}

void UsbDeviceModel::Impl::releaseGLibState() {
  std::vector<HeldReap> letGo;
  std::vector<UMockdevIoctlClient*> connections;
  std::vector<Urb> urbs;
  {
    std::lock_guard<std::mutex> hold(lock);
    letGo.swap(held);
    for (HeldReap& each : letGo) {
      dropSource(each.timer);
      dropSource(each.wake);
    }
    connections.swap(clients);
    urbs.assign(waiting.begin(), waiting.end());
    urbs.insert(urbs.end(), finished.begin(), finished.end());
    waiting.clear();
    finished.clear();
  }
  for (HeldReap& each : letGo) {
    answer(each.client, ENODEV);
    g_object_unref(each.client);
  }
  if (handler != nullptr) {
    // Drops the callbacks' hold on the model.
    for (gulong id : signals) {
      g_signal_handler_disconnect(handler, id);
    }
    signals.clear();
    g_object_unref(handler);
    handler = nullptr;
  }
  for (Urb& urb : urbs) {
    urb.release();
  }
  for (UMockdevIoctlClient* each : connections) {
    g_object_unref(each);
  }
  std::lock_guard<std::mutex> hold(lock);
  if (worker != nullptr) {
    g_main_context_unref(worker);
    worker = nullptr;
  }
}

}  // namespace testsupport::usb
