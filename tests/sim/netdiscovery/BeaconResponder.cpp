#include "tests/sim/netdiscovery/BeaconResponder.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace netsim {

namespace {

constexpr int kBeaconPort = 8585;
const char kFilter[] = "Tessarine2-Discovery";
constexpr size_t kFilterLength = sizeof(kFilter) - 1;
constexpr int64_t kPublishPeriodMS = 2000;
constexpr int kBrokerWakeMS = 1000;

}  // namespace

BeaconResponder::BeaconResponder(Options options) : options_(std::move(options)) {}

BeaconResponder::~BeaconResponder() { stop(); }

bool BeaconResponder::start() {
  beacon_ = zactor_new(zbeacon, nullptr);
  if (beacon_ == nullptr) return false;
  zsock_send(beacon_, "si", "CONFIGURE", kBeaconPort);
  char* hostname = zstr_recv(beacon_);
  hostname_ = hostname != nullptr ? hostname : "";
  zstr_free(&hostname);
  in_addr advertised{};
  if (inet_pton(AF_INET, hostname_.c_str(), &advertised) != 1) {
    stop();
    return false;
  }
  std::memcpy(options_.identity.address.data(), &advertised, 4);
  published_ = options_.answer ? *options_.answer : makeNetworkSpec(options_.identity);

  zsock_send(beacon_, "sb", "SUBSCRIBE", reinterpret_cast<const byte*>(kFilter), kFilterLength);
  stopEvent_ = eventfd(0, EFD_CLOEXEC);
  if (stopEvent_ < 0) {
    stop();
    return false;
  }
  thread_ = std::thread([this] { serve(); });
  return true;
}

void BeaconResponder::stop() {
  // The serving thread uses the beacon actor: it ends first.
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t written = write(stopEvent_, &one, sizeof(one));
    (void)written;
    thread_.join();
  }
  if (stopEvent_ >= 0) close(stopEvent_);
  stopEvent_ = -1;
  zactor_destroy(&beacon_);
}

void BeaconResponder::serve() {
  bool publishing = false;
  int64_t publishAt = -1;  // a delayed period waiting to begin
  int64_t lastPublish = 0;

  for (;;) {
    int wait = kBrokerWakeMS;
    if (publishAt >= 0) wait = static_cast<int>(std::max<int64_t>(0, publishAt - zclock_mono()));
    zmq_pollitem_t items[2] = {{nullptr, stopEvent_, ZMQ_POLLIN, 0}, {zsock_resolve(beacon_), 0, ZMQ_POLLIN, 0}};
    if (zmq_poll(items, 2, wait) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (items[0].revents != 0) break;

    if (items[1].revents != 0) {
      char* sender = zstr_recv(beacon_);
      zframe_t* payload = zsock_rcvmore(beacon_) ? zframe_recv(beacon_) : nullptr;
      bool discovery = payload != nullptr && zframe_size(payload) >= kFilterLength &&
                       std::memcmp(zframe_data(payload), kFilter, kFilterLength) == 0;
      zframe_destroy(&payload);
      zstr_free(&sender);
      if (discovery) {
        ++heard_;
        if (options_.identity.model != 0 && !publishing && publishAt < 0) {
          publishAt = zclock_mono() + options_.publishDelayMS;
        }
      }
    }

    int64_t now = zclock_mono();
    if (publishAt >= 0 && now >= publishAt) {
      zsock_send(beacon_, "sbi", "PUBLISH", published_.data(), published_.size(), options_.publishIntervalMS);
      publishing = true;
      lastPublish = now;
      publishAt = -1;
      ++periods_;
    }
    if (publishing && now - lastPublish > kPublishPeriodMS) {
      zstr_sendx(beacon_, "SILENCE", nullptr);
      publishing = false;
    }
  }
}

}  // namespace netsim
