#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <vector>

#include "Tessarine2/common/aDefs.h"
#include "Tessarine2/common/aVersion.h"
#include "Tessarine2/objects/I2CClass.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "Tessarine2/objects/SystemClass.h"
#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"
#include "updater/support/Log.h"

using Zeltrova::Tessarine::I2CClass;
using Zeltrova::Tessarine::Link;
using Zeltrova::Tessarine::Module;
using Zeltrova::Tessarine::SystemClass;

namespace {

// Capability command, option 0xFF: the module's firmware build.
//   request [73, 0xFF]  ->  reply [73, 0xFF, build (4, big-endian)]
constexpr uint8_t kCapabilityCommand = 73;
constexpr uint8_t kBuildOption = 0xFF;
constexpr uint8_t kBuildReplyLength = 6;
constexpr uint8_t kPacketRoom = 28;

// The router search: the module address every direct connection starts
// with (the module's own replaces it), the even I2C addresses probed and the
// bus speed used.
constexpr uint8_t kFirstAddress = 2;
constexpr uint8_t kProbeFirst = 2;
constexpr uint8_t kProbeBound = 253;
constexpr uint8_t kBusSpeed = 3;
// Where the transport words start in a link record.
constexpr size_t kTransportOffset = 24;

uint32_t loopbackInterface() { return htonl(INADDR_LOOPBACK); }

struct LinkLookup {
  uint32_t serialNumber;
  linkType found;
};

}  // namespace

bool _discovered_device(const linkSpec* spec, bool* taken, void* reference) {
  auto* list = static_cast<std::vector<DeviceInfo>*>(reference);
  DeviceInfo entry;
  entry.spec = *spec;
  list->push_back(entry);
  *taken = true;
  return true;
}

bool _discovered_link(const linkSpec* spec, bool* taken, void* reference) {
  auto* lookup = static_cast<LinkLookup*>(reference);
  *taken = true;
  if (spec->serial_num != lookup->serialNumber) {
    return true;
  }
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serial_num,
           static_cast<int>(spec->type));
  lookup->found = spec->type;
  return false;
}

linkType _discover_link_type(uint32_t serialNumber) {
  for (linkType type : {linkType(USB), linkType(TCPIP)}) {
    LinkLookup lookup{serialNumber, 0};
    aDiscovery_EnumerateModules(type, _discovered_link, &lookup, loopbackInterface());
    if (lookup.found != 0) {
      return lookup.found;
    }
  }
  return 0;
}

uint32_t _get_build_number(Module& module) {
  Link* link = module.getLink();
  if (link == nullptr) return 0;
  const uint8_t address = module.getModuleAddress();
  const uint8_t option = kBuildOption;
  if (link->sendPacket(address, kCapabilityCommand, 1, &option) != aErrNone) {
    return 0;
  }
  const uint8_t pattern[2] = {kCapabilityCommand, kBuildOption};
  uint8_t reply[kPacketRoom] = {};
  uint8_t length = sizeof pattern;
  if (link->receivePacket(address, pattern, &length, reply) != aErrNone || length != kBuildReplyLength) {
    return 0;
  }
  return (uint32_t(reply[2]) << 24) | (uint32_t(reply[3]) << 16) | (uint32_t(reply[4]) << 8) | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& entry) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr err = system.getVersion(&version);
  if (err != aErrNone) return err;
  entry.major = static_cast<uint8_t>(aVersion_ParseMajor(version));
  entry.minor = static_cast<uint8_t>(aVersion_ParseMinor(version));
  entry.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone) return err;
  entry.spec.module = address;
  err = system.getRouter(&address);
  if (err != aErrNone) return err;
  entry.spec.router = address;
  return aErrNone;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> list;
  std::vector<linkType> types;
  if (type == 0) {
    types = {USB, TCPIP};
  } else {
    types = {type};
  }
  for (linkType each : types) {
    aDiscovery_EnumerateModules(each, _discovered_device, &list, loopbackInterface());
  }

  // One connection at a time: each Module is gone before the next entry.
  for (DeviceInfo& entry : list) {
    entry.modelName = aDefs_GetModelName(entry.spec.model);
    Module module(kFirstAddress, 0);
    if (_disableWeave(module, display) != aErrNone) {
      continue;
    }
    aErr err = module.connectFromSpec(entry.spec);
    if (err != aErrNone) {
      entry.error = err;
      continue;
    }
    entry.build = _get_build_number(module);
    entry.error = _get_version(module, entry);
    module.disconnect();
  }
  return list;
}

std::vector<DeviceInfo> Updater::Discover_TNNetwork_Devices(unsigned routerSerial, linkType type) {
  std::vector<DeviceInfo> list;
  if (type == 0) {
    type = _discover_link_type(routerSerial);
  }
  linkSpec* found = aDiscovery_FindModule(type, routerSerial, loopbackInterface());
  if (found == nullptr) {
    return list;
  }
  std::unique_ptr<linkSpec, void (*)(linkSpec*)> routerSpec(found, [](linkSpec* spec) { aLinkSpec_Destroy(&spec); });
  Log::log(DEBUG_Updater, "Found Link Module");

  Module router(kFirstAddress, 0);
  if (_disableWeave(router, display) != aErrNone) {
    return list;
  }
  aErr err = router.connectFromSpec(*routerSpec);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", err);
    return list;
  }

  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", err);
    router.disconnect();
    return list;
  }

  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(kBusSpeed);
  const uint8_t routerAddress = router.getModuleAddress();

  for (unsigned a = kProbeFirst; a < kProbeBound; a += 2) {
    const uint8_t address = static_cast<uint8_t>(a);
    if (address == routerAddress) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const uint8_t probe[2] = {0, 0};
    if (bus.write(address, sizeof probe, probe) != aErrNone) continue;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, 0);
    _disableWeave(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone) continue;

    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
      module.disconnect();
      continue;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    DeviceInfo entry;
    // The transport words are the router's: the module is reached through it.
    std::memcpy(reinterpret_cast<uint8_t*>(&entry.spec) + kTransportOffset,
                reinterpret_cast<const uint8_t*>(routerSpec.get()) + kTransportOffset,
                sizeof(linkSpec) - kTransportOffset);
    entry.spec.type = type;
    entry.spec.serial_num = serial;
    entry.spec.router = routerAddress;
    entry.spec.router_serial_num = routerSerial;
    entry.address = address;
    entry.build = _get_build_number(module);
    entry.error = _get_version(module, entry);
    uint8_t model = 0;
    aErr modelErr = system.getModel(&model);
    if (modelErr != aErrNone) {
      entry.error = modelErr;
    } else {
      entry.spec.model = model;
      entry.modelName = aDefs_GetModelName(model);
    }
    module.disconnect();
    list.push_back(entry);
  }

  routerSystem.routeToMe(0);
  router.disconnect();
  return list;
}
