#ifndef TESSARINE2_COMMON_DISCOVER_AWEAVE_H
#define TESSARINE2_COMMON_DISCOVER_AWEAVE_H

#include <cstdint>
#include <vector>

#include "Tessarine2/common/aDiscover.h"

// Pieces of the discovery of module-sharing servers, shared between its
// beacon client, its local multicast client and the entry point
// aDiscovery_Enumerate_aWeaveModules. Not part of the library's interface.

// True when a record with the same serial number is already among records
// (despite the name: it tells whether the record is already known).
bool _isNewSpec(const std::vector<linkSpec>& specs, const linkSpec& spec);

// One discovery run's answers: offers each server once to the caller's
// callback, counts the taken ones (in 8 bits) and remembers whether the
// callback asked to stop.
class aWeaveSpecCollector {
 public:
  aWeaveSpecCollector(aDiscoveryCallback callback, void* reference) : callback_(callback), reference_(reference) {}

  // A 128-byte answer; offered unless its serial number came before.
  void offer(const linkSpec& spec);

  bool keepGoing() const { return keepGoing_; }
  uint8_t count() const { return count_; }

 private:
  aDiscoveryCallback callback_;
  void* reference_;
  std::vector<linkSpec> known_;
  bool keepGoing_ = true;
  uint8_t count_ = 0;
};

// Beacon discovery on CZMQ's current interface setting; the count taken.
uint8_t _findLinkSpecs_beacon(aDiscoveryCallback callback, void* reference);
// Beacon discovery with CZMQ's interface set to interfaceText (a dotted
// address) under the beacon-interface lock; 0 when the lock cannot be had.
uint8_t _findLinkSpecs_beaconHelper(const char* interfaceText, aDiscoveryCallback callback, void* reference);
// Local multicast discovery over the loopback slots; the count taken.
uint8_t _findLinkSpecs_multicast(aDiscoveryCallback callback, void* reference);

#endif
