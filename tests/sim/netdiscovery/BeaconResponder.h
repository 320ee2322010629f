#ifndef TESTS_SIM_NETDISCOVERY_BEACONRESPONDER_H
#define TESTS_SIM_NETDISCOVERY_BEACONRESPONDER_H

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/netdiscovery/NetworkSpec.h"

typedef struct _zactor_t zactor_t;

namespace netsim {

// The beacon side of a module-sharing server on a real interface. Its CZMQ
// beacon actor listens on UDP port 8585 for beacons that begin with
// "Tessarine2-Discovery"; on the first one it hears it publishes its
// 128-byte network record every 100 ms and falls silent once more than 2 s
// have passed, checked at least once a second; the next beacon heard after
// that starts a new period. A server whose model is still 0 reads beacons
// and answers nothing. The record advertises the address that the beacon
// actor reports for its interface.
//
// The beacon actor uses CZMQ's interface setting as it stands when start()
// runs ("" picks the first interface).
class BeaconResponder {
 public:
  struct Options {
    ServerIdentity identity;  // the address is taken from the beacon actor
    // Bytes published instead of the record (a server that answers wrongly).
    std::optional<std::vector<uint8_t>> answer;
    int publishIntervalMS = 100;
    // Time between hearing a beacon and starting to publish.
    int publishDelayMS = 0;
  };

  explicit BeaconResponder(Options options);
  ~BeaconResponder();
  BeaconResponder(const BeaconResponder&) = delete;
  BeaconResponder& operator=(const BeaconResponder&) = delete;

  // False when the beacon actor could not bind an interface.
  bool start();
  void stop();

  // The address text the beacon actor bound.
  const std::string& hostname() const { return hostname_; }
  // Beacons with the discovery payload heard, and publishing periods begun.
  int beaconsHeard() const { return heard_.load(); }
  int periods() const { return periods_.load(); }

 private:
  void serve();

  Options options_;
  std::string hostname_;
  std::vector<uint8_t> published_;
  zactor_t* beacon_ = nullptr;
  int stopEvent_ = -1;
  // The serving loop is a thread of our own, joined on stop, rather than a
  // CZMQ actor, whose start and end are signalled through ZeroMQ.
  std::thread thread_;
  std::atomic<int> heard_{0};
  std::atomic<int> periods_{0};
};

}  // namespace netsim

#endif
