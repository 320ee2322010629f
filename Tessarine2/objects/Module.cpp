#include "Tessarine2/objects/Module.h"

#include <cstring>
#include <new>

#include "Tessarine2/common/aDebug.h"
#include "Tessarine2/common/aTime.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

constexpr uint8_t kCommandDebug = 23;
constexpr uint8_t kCommandCapability = 73;
constexpr uint8_t kCapabilityHasUEI = 1;
constexpr uint8_t kCapabilityClassQuantity = 4;
constexpr uint8_t kCapabilitySubClassQuantity = 5;
constexpr uint8_t kCapabilityEntityGroup = 6;

// Address queries of the auto-networking: the first and three more.
constexpr int kAddressAttempts = 4;
constexpr uint64_t kAddressRetryMS = 5;

// A raw packet is [command, data...].
constexpr uint8_t kRawDataMax = aPACKET_MAX_DATA - 1;

}  // namespace

Module::Module(uint8_t address, uint8_t modelFilter) : Module(address, true, modelFilter) {}

Module::Module(uint8_t address, bool mode, uint8_t modelFilter)
    : link(new (std::nothrow) Link("Link")), moduleAddress(address), networkingMode(mode), model(modelFilter) {}

Module::~Module() {
  delete link;
  link = nullptr;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) {
    return aErrParam;
  }
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (link == nullptr) {
    return aErrInitialization;
  }
  const aErr err = link->discoverAndConnect(type, serialNumber, model);
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectFromSpec(linkSpec spec) {
  if (link == nullptr) {
    return aErrInitialization;
  }
  if (link->isConnected()) {
    return aErrBusy;
  }
  link->setLinkSpecifier(spec);
  const aErr err = link->connect();
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::reconnect() {
  if (link == nullptr) {
    return aErrInitialization;
  }
  aErr err = link->connect();
  if (err == aErrNone) {
    err = _autoNetwork();
    // A module that gives no address is not back: a link left open would
    // make every later reconnect fail at once without trying.
    if (err != aErrNone) {
      link->disconnect();
    }
  }
  return err;
}

aErr Module::connectThroughLinkModule(Module* router) {
  if (link == nullptr) {
    return aErrInitialization;
  }
  if (link->isConnected()) {
    return aErrNone;
  }
  if (router == nullptr) {
    return aErrParam;
  }
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  aErr err = router->getLinkSpecifier(&spec);
  Link* routerLink = router->getLink();
  if (routerLink == nullptr) {
    return aErrInitialization;
  }
  aWeaveConfig config;
  if (err == aErrNone) {
    routerLink->getConfig(&config);
    setConfig(config);
  }
  if (err == aErrNone && config.enabled != 0) {
    // Through the router's local module-sharing server.
    spec.type = AWEAVE;
    spec.t.ip.ip_address = config.networkInterface;
    spec.t.ip.ip_port = config.port;
  }
  if (err == aErrNone) {
    err = link->setLinkSpecifier(spec);
  }
  if (err == aErrNone) {
    err = link->connectThroughLinkModule(*routerLink);
  }
  if (err == aErrNone) {
    // No address query through the router: the module keeps its address.
    networkingMode = false;
  }
  return err;
}

bool Module::isConnected() { return link != nullptr && link->isConnected(); }

linkState Module::getStatus() { return link == nullptr ? 8 : link->getStatus(); }

aErr Module::disconnect() { return link == nullptr ? aErrInitialization : link->disconnect(); }

uint8_t Module::getModuleAddress() { return moduleAddress; }

void Module::setModuleAddress(uint8_t address) { moduleAddress = address; }

aErr Module::getLinkSpecifier(linkSpec* spec) { return link == nullptr ? aErrNotReady : link->getLinkSpecifier(spec); }

aErr Module::getConfig(aWeaveConfig* config) {
  if (link == nullptr) {
    return aErrNotReady;
  }
  if (config == nullptr) {
    return aErrParam;
  }
  return link->getConfig(config);
}

aErr Module::setConfig(aWeaveConfig config) { return link == nullptr ? aErrNotReady : link->setConfig(config); }

Link* Module::getLink() { return link; }

void Module::setNetworkingMode(bool mode) { networkingMode = mode; }

aErr Module::enablePacketLog(const char* fileName) {
  return link == nullptr ? aErrConfiguration : link->enablePacketLog(fileName);
}

aErr Module::disablePacketLog() { return link == nullptr ? aErrConfiguration : link->disablePacketLog(); }

aErr Module::debug(const uint8_t* data, uint8_t length) {
  if (!isConnected()) {
    return aErrConnection;
  }
  if (length > kRawDataMax) {
    return aErrParam;
  }
  if (data == nullptr && length != 0) {
    return aErrParam;
  }
  const uint8_t pattern[] = {kCommandDebug};
  // An echo still queued answers an earlier call, one that timed out.
  link->dropMatchingPackets(moduleAddress, pattern, sizeof pattern);
  aErr err = link->sendPacket(moduleAddress, kCommandDebug, length, data);
  if (err != aErrNone) {
    return err;
  }
  uint8_t answer[aPACKET_MAX_DATA];
  uint8_t answerLength = sizeof pattern;
  err = link->receivePacket(moduleAddress, pattern, &answerLength, answer);
  if (err != aErrNone) {
    return err;
  }
  if (answerLength != length + 1 || (length != 0 && std::memcmp(&answer[1], data, length) != 0)) {
    return aErrIO;
  }
  return aErrNone;
}

aErr Module::capability(const uint8_t* request, uint8_t length, uint8_t answerLength, uint8_t* last) {
  if (!isConnected()) {
    return aErrConnection;
  }
  const uint8_t pattern[] = {kCommandCapability};
  // As for the echo: only an answer that comes after this request is its.
  link->dropMatchingPackets(moduleAddress, pattern, sizeof pattern);
  // request[0] is the command byte.
  aErr err = link->sendPacket(moduleAddress, request[0], static_cast<uint8_t>(length - 1), request + 1);
  if (err != aErrNone) {
    return err;
  }
  uint8_t answer[aPACKET_MAX_DATA];
  uint8_t received = sizeof pattern;
  err = link->receivePacket(moduleAddress, pattern, &received, answer);
  if (err != aErrNone) {
    return err;
  }
  // The answer echoes the request before its one answer byte.
  if (received != answerLength || std::memcmp(answer, request, answerLength - 1) != 0) {
    return aErrUnknown;
  }
  *last = answer[answerLength - 1];
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if (flags != 0 && flags != 0x40 && flags != 0x80) {
    return aErrParam;
  }
  const uint8_t request[] = {kCommandCapability, kCapabilityHasUEI, command, option, index, flags};
  uint8_t answer = 0;
  const aErr err = capability(request, sizeof request, 6, &answer);
  return err == aErrNone ? answer : err;
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
  if (count == nullptr) {
    return aErrParam;
  }
  *count = 0;
  const uint8_t request[] = {kCommandCapability, kCapabilityClassQuantity, command};
  return capability(request, sizeof request, 4, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count) {
  if (count == nullptr) {
    return aErrParam;
  }
  *count = 0;
  const uint8_t request[] = {kCommandCapability, kCapabilitySubClassQuantity, command, index};
  return capability(request, sizeof request, 5, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
  if (group == nullptr) {
    return aErrParam;
  }
  *group = 0;
  const uint8_t request[] = {kCommandCapability, kCapabilityEntityGroup, command, index};
  return capability(request, sizeof request, 5, group);
}

aErr Module::_autoNetwork() {
  if (!networkingMode || link == nullptr) {
    return aErrNone;
  }
  uint8_t address = 0;
  aErr err = aErrNotReady;
  int attempts = 0;
  while (err == aErrNotReady && attempts < kAddressAttempts) {
    err = link->getModuleAddress(&address);
    ++attempts;
    if (err != aErrNone) {
      aTime_MSSleep(kAddressRetryMS);
    }
  }
  if (attempts == kAddressAttempts) {
    aTessarine_Trace(aDEBUG_AUTONETWORK, "BOO! Failed to autoNetwork");
  }
  if (address != 0 && address != moduleAddress) {
    moduleAddress = address;
  }
  return err;
}

}  // namespace Tessarine
}  // namespace Zeltrova
