#include "Tessarine2/common/discover_aweave.h"

#include <new>

#include "Tessarine2/common/aNetworkDiscovery.h"
#include "Tessarine2/common/zBeaconInterface.h"

namespace {

// As many interfaces as the servers look at when they choose theirs.
constexpr uint32_t kMaxInterfaces = 50;

}  // namespace

bool _isNewSpec(const std::vector<linkSpec>& specs, const linkSpec& spec) {
  for (const linkSpec& known : specs) {
    if (known.serial_num == spec.serial_num) return true;
  }
  return false;
}

void aWeaveSpecCollector::offer(const linkSpec& spec) {
  if (!keepGoing_ || _isNewSpec(known_, spec)) return;
  try {
    known_.push_back(spec);
  } catch (const std::bad_alloc&) {
    // A record that cannot be remembered could be offered twice; leave it.
    return;
  }
  bool taken = false;
  keepGoing_ = callback_(&spec, &taken, reference_);
  if (taken) ++count_;
}

uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* reference, uint32_t networkInterface) {
  if (callback == nullptr) return 0;
  bool local = networkInterface == 0 || networkInterface == aDiscovery_Loopback();
  uint32_t interfaces[kMaxInterfaces];
  uint32_t interfaceCount = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  if (local || interfaceCount == 0) return _findLinkSpecs_multicast(callback, reference);

  // The beacon can only run on one of the interfaces that CZMQ lists; on any
  // other it would bind nothing and CZMQ would complain on standard error.
  bool listed = false;
  for (uint32_t i = 0; i < interfaceCount && !listed; ++i) listed = interfaces[i] == networkInterface;
  if (!listed) return 0;

  char interfaceText[16];
  if (aDiscovery_ConvertIPv4Interface(networkInterface, interfaceText, sizeof(interfaceText)) == 0) return 0;
  return _findLinkSpecs_beaconHelper(interfaceText, callback, reference);
}

uint8_t _findLinkSpecs_beaconHelper(const char* interfaceText, aDiscoveryCallback callback, void* reference) {
  // Held from before the beacon actor exists until after it is gone: the
  // actor reads CZMQ's interface setting on its own thread.
  if (!zBeaconInterface_backupSetAndLock(interfaceText)) return 0;
  uint8_t count = _findLinkSpecs_beacon(callback, reference);
  zBeaconInterface_restoreAndUnlock();
  return count;
}
