// Link: finding a module, opening or sharing its link, and the address
// query.

#include "Tessarine2/objects/Link.h"

#include <cstring>
#include <new>

#include "Tessarine2/common/aDebug.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/objects/LinkImpl.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

// getStatus() without a link.
constexpr linkState kNoLinkStatus = 8;
constexpr uint16_t kConnectPolls = 200;
constexpr uint64_t kConnectPollMS = 10;
constexpr uint64_t kAddressWaitMS = 1000;

// Takes a link record found by enumeration when it has the wanted model
// (any model when the wanted one is 0); the reference is the target record.
bool cbModelCallback(const linkSpec* spec, bool* taken, void* reference) {
  linkSpec* target = static_cast<linkSpec*>(reference);
  if (target->model != 0 && spec->model != target->model) {
    return true;
  }
  std::memcpy(target, spec, sizeof *target);
  *taken = true;
  return false;
}

// The answer to an address query: the first empty packet, from any address.
bool MatchMagic(const aPacket* packet, const void*) { return packet->dataSize == 0; }

}  // namespace

bool _fallbackHelper(aErr result, linkType type, uint8_t fallback) {
  const bool retryable = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
  return retryable && (type == USB || type == AWEAVE) && fallback != 0;
}

// --- impl

Link::impl::impl(Link* linkOwner, const char* linkName)
    : owner(linkOwner),
      linkRef(0),
      logger(nullptr),
      asyncThread(nullptr),
      asyncQueue(LINK_ASYNC_SLOTS),
      streamSerial(0),
      filterLink(0),
      closing(false),
      name(nullptr),
      linkSpecifier(nullptr),
      logLink(0),
      logToken(0),
      logWanted(false) {
  if (linkName != nullptr) {
    const size_t length = strnlen(linkName, LINK_NAME_MAX);
    name = new (std::nothrow) char[length + 1];
    if (name != nullptr) {
      std::memcpy(name, linkName, length);
      name[length] = '\0';
    }
  }
}

Link::impl::~impl() { delete[] name; }

aErr Link::impl::setSpecifier(const linkSpec* specifier) {
  if (owner->isConnected()) {
    return aErrBusy;
  }
  linkSpec* copy = aLinkSpec_Copy(specifier);
  if (copy == nullptr) {
    return specifier == nullptr ? aErrParam : aErrMemory;
  }
  if (linkSpecifier != nullptr) {
    aLinkSpec_Destroy(&linkSpecifier);
  }
  linkSpecifier = copy;
  return aErrNone;
}

aErr Link::impl::getSpecifier(linkSpec* specifier) const {
  if (specifier == nullptr) {
    return aErrParam;
  }
  if (linkSpecifier == nullptr) {
    return aErrNotFound;
  }
  std::memcpy(specifier, linkSpecifier, sizeof *specifier);
  return aErrNone;
}

linkID Link::impl::linkCreateHelper(const linkSpec& spec, linkID share, aErr* err) {
  *err = aErrNone;
  switch (spec.type) {
    case USB:
      if (config.enabled != 0) {
        return aLink_CreateServer(spec.serial_num, &config.port, &config.networkInterface, config.localOnly != 0);
      }
      return aLink_CreateUSB(spec.serial_num);
    case TCPIP:
      return aLink_CreateTCPIP(spec.t.ip.ip_address, static_cast<uint16_t>(spec.t.ip.ip_port));
    case SERIAL: {
      // The port name runs to the end of the record and may lack its NUL.
      char port[sizeof spec.t.serial.port + 1];
      std::memcpy(port, spec.t.serial.port, sizeof spec.t.serial.port);
      port[sizeof spec.t.serial.port] = '\0';
      return aLink_CreateSerial(spec.serial_num, port, spec.t.serial.baudrate);
    }
    case AWEAVE:
      if (config.enabled == 0) {
        *err = aErrConfiguration;
        return 0;
      }
      return aLink_CreateClient(spec.t.ip.ip_address, static_cast<uint16_t>(spec.t.ip.ip_port), share);
    default:
      *err = aErrMode;
      return 0;
  }
}

aErr Link::impl::connectHelper(linkID share) {
  if (linkSpecifier == nullptr) {
    return aErrConfiguration;
  }
  aErr err = aErrNone;
  // Only a creation's own result is ever stored: it carries the use that
  // this Link later gives back.
  const linkID created = linkCreateHelper(*linkSpecifier, share, &err);
  if (err != aErrNone) {
    return err;
  }
  if (created == 0) {
    return aErrConnection;
  }
  linkRef = created;
  linkChanged();
  return waitForLink(kConnectPolls);
}

aErr Link::impl::waitForLink(uint16_t polls) {
  linkState status = aLink_GetStatus(linkRef);
  switch (status) {
    case kLinkStateStopped:
    case kLinkStateStarting:
    case kLinkStateSyncing: {
      uint16_t made = 0;
      while (status != kLinkStateRunning && made < polls) {
        aTime_MSSleep(kConnectPollMS);
        status = aLink_GetStatus(linkRef);
        ++made;
      }
      return status == kLinkStateRunning ? aErrNone : aErrConnection;
    }
    case kLinkStateRunning:
      return aErrNone;
    case kLinkStateStopping:
      return aErrBusy;
    case kLinkStateNoStream:
    case kLinkStateIOError:
    case kLinkStatePacketError:
      return aErrConnection;
    default:
      return aErrDuplicate;
  }
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link& owningLink) {
  linkSpec* spec = nullptr;
  if (serialNumber != 0) {
    spec = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
  } else {
    spec = aLinkSpec_Create(type);
    if (spec == nullptr) {
      return aErrMemory;
    }
    spec->model = model;
    if (aDiscovery_EnumerateModules(type, cbModelCallback, spec, config.networkInterface) == 0) {
      aLinkSpec_Destroy(&spec);
    }
  }
  if (spec == nullptr) {
    return aErrNotFound;
  }
  // Refused while connected; connect() then reports the held link.
  setSpecifier(spec);
  aLinkSpec_Destroy(&spec);
  return owningLink.connect();
}

void Link::impl::releaseLink() {
  if (linkRef == 0) {
    return;
  }
  // The worker is stopped before linkRef changes: a callback may be using
  // the link at this moment.
  closeStreams();
  aLink_Destroy(&linkRef);
  closeDone();
  linkChanged();
}

// --- Link

Link::Link(const char* name) : m_impl(new (std::nothrow) impl(this, name)) {}

Link::Link(linkSpec specifier, const char* name) : Link(name) {
  if (m_impl != nullptr) {
    m_impl->setSpecifier(&specifier);
  }
}

Link::~Link() {
  if (m_impl == nullptr) {
    return;
  }
  // The filter first, wherever it is, so that no reader calls into the
  // impl any more; the worker even without a link, since it may outlive a
  // disconnect.
  m_impl->closeStreams();
  if (m_impl->linkRef != 0) {
    aLink_Destroy(&m_impl->linkRef);
  }
  if (m_impl->linkSpecifier != nullptr) {
    aLinkSpec_Destroy(&m_impl->linkSpecifier);
  }
  m_impl->dropLogWriter();
  delete m_impl;
  m_impl = nullptr;
}

aErr Link::getConfig(aWeaveConfig* config) {
  if (config == nullptr) {
    return aErrParam;
  }
  if (m_impl == nullptr) {
    return aErrInitialization;
  }
  *config = m_impl->config;
  return aErrNone;
}

aErr Link::setConfig(aWeaveConfig config) {
  if (m_impl == nullptr) {
    return aErrInitialization;
  }
  if (isConnected()) {
    return aErrPermission;
  }
  m_impl->config = config;
  return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  if (m_impl == nullptr) {
    return aErrInitialization;
  }
  const aErr first = m_impl->discoveryAndConnectHelper(type, serialNumber, model, *this);
  if (!_fallbackHelper(first, type, m_impl->config.fallback)) {
    return first;
  }
  aTessarine_Trace(aDEBUG_LINK, "Executing Fallback: %s\n", type == AWEAVE ? "USB" : "aWeave");
  const linkType other = type == AWEAVE ? USB : AWEAVE;
  return m_impl->discoveryAndConnectHelper(other, serialNumber, model, *this);
}

aErr Link::connect() {
  if (m_impl == nullptr) {
    return aErrInitialization;
  }
  if (m_impl->linkRef != 0) {
    return aErrConnection;
  }
  return m_impl->connectHelper(0);
}

aErr Link::connectThroughLinkModule(Link& other) {
  if (m_impl == nullptr || other.m_impl == nullptr || other.m_impl->linkRef == 0) {
    return aErrInitialization;
  }
  // The router's id is passed to the creation, never kept as it is: this
  // Link holds it only as the creation's result, with a use of its own.
  // A link held before is given back once the new one is in place, so a
  // link shared with the router stays open throughout.
  const linkID previous = m_impl->linkRef;
  m_impl->linkRef = 0;
  const aErr err = m_impl->connectHelper(other.m_impl->linkRef);
  if (previous != 0) {
    const linkID kept = m_impl->linkRef;
    m_impl->linkRef = previous;
    m_impl->releaseLink();
    m_impl->linkRef = kept;
    m_impl->linkChanged();
  }
  return err;
}

bool Link::isConnected() {
  return m_impl != nullptr && m_impl->linkRef != 0 && aLink_GetStatus(m_impl->linkRef) == kLinkStateRunning;
}

linkState Link::getStatus() {
  if (m_impl == nullptr || m_impl->linkRef == 0) {
    return kNoLinkStatus;
  }
  return aLink_GetStatus(m_impl->linkRef);
}

aErr Link::disconnect() {
  if (m_impl != nullptr) {
    m_impl->releaseLink();
  }
  return aErrNone;
}

aErr Link::reset() {
  if (m_impl != nullptr && m_impl->linkRef != 0) {
    aLink_Reset(m_impl->linkRef);
    // Subscriptions outlive the reset: their filter goes back on the link
    // in case the reset did not keep it.
    bool subscribed = false;
    {
      std::lock_guard<std::mutex> hold(m_impl->streamLock);
      subscribed = !m_impl->streams.empty();
    }
    if (subscribed) {
      m_impl->installStreamFilter(true);
    }
  }
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (address == nullptr) {
    return aErrParam;
  }
  *address = 0;
  if (!isConnected()) {
    return aErrNotReady;
  }
  aTessarine_Trace(aDEBUG_LINK, "getModuleAddress");
  const uint8_t none = 0;
  aPacket* query = aPacket_CreateWithData(aPACKET_ADDR_SYNC, 0, &none);
  if (query == nullptr) {
    return aErrResource;
  }
  aLink_PutPacket(m_impl->linkRef, query);
  aPacket_Destroy(&query);
  aTessarine_Trace(aDEBUG_LINK, "getModuleAddress wait");
  aPacket* answer = aLink_AwaitFirst(m_impl->linkRef, MatchMagic, nullptr, kAddressWaitMS);
  if (answer == nullptr) {
    return aErrNotReady;
  }
  *address = answer->address;
  aPacket_Destroy(&answer);
  return aErrNone;
}

const char* Link::getName() { return m_impl == nullptr ? nullptr : m_impl->getName(); }

aErr Link::getLinkSpecifier(linkSpec* specifier) {
  if (m_impl == nullptr) {
    return aErrInitialization;
  }
  return m_impl->getSpecifier(specifier);
}

aErr Link::setLinkSpecifier(linkSpec specifier) {
  if (m_impl == nullptr) {
    return aErrInitialization;
  }
  return m_impl->setSpecifier(&specifier);
}

}  // namespace Tessarine
}  // namespace Zeltrova
