#include "tests/Tessarine2/objects/LinkWraps.h"

#include <cstring>

// The wrapped symbols are the core's C++ names as the linker sees them.
extern "C" {
linkSpec* __real__Z16aLinkSpec_Createj(linkType type);
linkID __real__Z18aLink_CreateClientjti(uint32_t address, uint16_t port, linkID existing);
aErr __real__Z15aLink_PutPacketiPK7aPacket(linkID link, const aPacket* packet);
}

namespace objtest {

namespace {
WrapScript gScript;
std::atomic<aErr> gPutFailure{aErrNone};
}  // namespace

WrapScript& script() { return gScript; }

void resetScript() {
  gScript = WrapScript();
  gPutFailure.store(aErrNone);
}

void setPutFailure(aErr code) { gPutFailure.store(code); }

aErr putFailure() { return gPutFailure.load(); }

}  // namespace objtest

extern "C" {

linkSpec* __wrap__Z21aDiscovery_FindModulejjj(linkType type, uint32_t serialNumber, uint32_t) {
  objtest::script().findCalls.push_back(type);
  auto found = objtest::script().found.find(type);
  if (found == objtest::script().found.end() || found->second.serial_num != serialNumber) {
    return nullptr;
  }
  return aLinkSpec_Copy(&found->second);
}

uint8_t __wrap__Z27aDiscovery_EnumerateModulesjPFbPK8linkSpecPbPvES3_j(linkType type, aDiscoveryCallback callback,
                                                                       void* reference, uint32_t) {
  objtest::script().enumerateCalls.push_back(type);
  uint8_t taken = 0;
  for (const linkSpec& spec : objtest::script().enumerated) {
    if (spec.type != type) {
      continue;
    }
    bool take = false;
    const bool more = callback(&spec, &take, reference);
    if (take) {
      ++taken;
    }
    if (!more) {
      break;
    }
  }
  return taken;
}

linkSpec* __wrap__Z16aLinkSpec_Createj(linkType type) {
  if (objtest::script().noSpecMemory) {
    return nullptr;
  }
  return __real__Z16aLinkSpec_Createj(type);
}

linkID __wrap__Z18aLink_CreateServerjPtPjb(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, bool) {
  objtest::script().serverCalls.push_back(serialNumber);
  const linkID link = objtest::script().server ? objtest::script().server() : 0;
  if (link != 0) {
    *port = objtest::script().serverPort;
    *networkInterface = objtest::script().serverInterface;
  }
  return link;
}

linkID __wrap__Z18aLink_CreateClientjti(uint32_t address, uint16_t port, linkID existing) {
  objtest::script().clientCalls.push_back({address, port, existing});
  if (existing != 0) {
    return __real__Z18aLink_CreateClientjti(address, port, existing);
  }
  return objtest::script().client ? objtest::script().client() : 0;
}

aErr __wrap__Z15aLink_PutPacketiPK7aPacket(linkID link, const aPacket* packet) {
  const aErr failure = objtest::putFailure();
  if (failure != aErrNone) {
    return failure;
  }
  return __real__Z15aLink_PutPacketiPK7aPacket(link, packet);
}

}  // extern "C"
