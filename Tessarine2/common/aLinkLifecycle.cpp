// Creation, release and reset of links through the link table.
//
// Teardown order (last release), written down once here:
//   1. the entry leaves the table together with the last use, so no look-up
//      finds it and a creator of the same module waits until step 9;
//   2. the user packet filter is removed;
//   3. the link stops: everything queued is written, force-route off last;
//   4. an attached module-sharing server is destroyed;
//   5. the companion link loses the use this one held;
//   6. both FIFOs are destroyed, waking every waiter;
//   7. operations still inside the record finish;
//   8. packet, packet log and mutexes are freed, then the stream;
//   9. the record and the entry are freed.

#include <cstring>

#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aServer_ZeroMQ.h"
#include "Tessarine2/common/aStream_ZeroMQClient.h"
#include "Tessarine2/common/aStreamUSB.h"
#include "Tessarine2/common/aTime.h"

namespace {

constexpr int kResetStreamTries = 20;
constexpr uint64_t kResetRetryPauseMS = 100;

// Serial rates in the order of the serial stream's speed index.
constexpr uint32_t kSerialRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

int sSerialSpeedIndex(uint32_t baudRate) {
  for (size_t i = 0; i < sizeof kSerialRates / sizeof kSerialRates[0]; ++i) {
    if (kSerialRates[i] == baudRate) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void sTeardown(aLinkEntry* entry) {
  aLinkRecord* link = entry->link;
  if (link != nullptr && link->userFilterSema != nullptr) {
    aMutex_Lock(link->userFilterSema);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    aMutex_Unlock(link->userFilterSema);
  }
  if (link != nullptr) {
    aLink_Stop(link);
  }
  if (entry->server != nullptr) {
    aServer_Destroy(&entry->server);
  }
  if (entry->companion != 0) {
    linkID companion = entry->companion;
    entry->companion = 0;
    aLink_Destroy(&companion);
  }
  if (link != nullptr) {
    aLink_DestroyFifos(link);
  }
  sAwaitUnpinned(entry);
  if (link != nullptr) {
    aLink_ReleaseRecord(link);
    if (link->stream != nullptr) {
      aStream_Destroy(&link->stream);
    }
    link->check = 0;
    delete link;
    entry->link = nullptr;
  }
  sRetireEntry(entry);
}

// A creation that failed after its entry was made: nothing stays behind.
linkID sAbandon(linkID id) {
  aLinkEntry* entry = sAbandonEntry(id);
  if (entry != nullptr) {
    sTeardown(entry);
  }
  return 0;
}

aErr sMakeStream(const aLinkEntry* entry, aStream** stream) {
  switch (entry->transport) {
    case kLinkTransportTCPIP:
      return aStream_CreateSocket(entry->identifier, static_cast<uint16_t>(entry->port), stream);
    case kLinkTransportClient:
      return aStream_CreateClient(entry->identifier, static_cast<uint16_t>(entry->port), stream);
    case kLinkTransportUSB:
      return aStream_CreateUSB(entry->identifier, stream);
    default:
      // A serial port's name and rate, or a caller's stream, are not kept.
      return aErrParam;
  }
}

// Init and start of a freshly claimed entry around its stream. The record
// keeps the stream from the init on, so a failure's teardown destroys it.
aErr sInitAndStart(linkID id, aStream* stream) {
  if (aLink_Init(id, stream) == 0) {
    return aErrConnection;
  }
  return aLink_Start(id);
}

}  // namespace

linkID aLink_AbandonCreation(linkID id) { return sAbandon(id); }

linkID aLink_CreateUSB(uint32_t serialNumber) {
  linkID id = 0;
  aLinkClaim claim = sClaimIdentifier(serialNumber, 0, 0, kLinkTransportUSB, aLinkClaimMode::ShareOrCreateUSB, &id);
  if (claim != aLinkClaim::Created) {
    return claim == aLinkClaim::Shared ? id : 0;
  }
  aStream* stream = nullptr;
  aErr err = aStream_CreateUSB(serialNumber, &stream);
  if (err != aErrNone) {
    return sAbandon(id);
  }
  err = sInitAndStart(id, stream);
  if (err == aErrNone) {
    err = aLink_Sync(id);
  }
  if (err == aErrNone) {
    // Force-route again: the module may have dropped the first one while
    // out of step.
    err = aLink_ForceRoute(id, 1);
  }
  if (err != aErrNone) {
    return sAbandon(id);
  }
  sPublishEntry(id);
  return id;
}

linkID aLink_CreateTCPIP(uint32_t address, uint16_t port) {
  linkID id = 0;
  aLinkClaim claim = sClaimIdentifier(address, port, 0, kLinkTransportTCPIP, aLinkClaimMode::ShareOrCreate, &id);
  if (claim != aLinkClaim::Created) {
    return claim == aLinkClaim::Shared ? id : 0;
  }
  aStream* stream = nullptr;
  if (aStream_CreateSocket(address, port, &stream) != aErrNone) {
    return sAbandon(id);
  }
  if (sInitAndStart(id, stream) != aErrNone) {
    return sAbandon(id);
  }
  sPublishEntry(id);
  return id;
}

linkID aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  const int speed = sSerialSpeedIndex(baudRate);
  linkID id = 0;
  // An existing link to the module is shared whatever rate is asked for;
  // a new one needs a rate the port knows.
  aLinkClaim claim = sClaimIdentifier(serialNumber, 0, 0, kLinkTransportSerial,
                                      speed < 0 ? aLinkClaimMode::ShareOnly : aLinkClaimMode::ShareOrCreate, &id);
  if (claim != aLinkClaim::Created) {
    return claim == aLinkClaim::Shared ? id : 0;
  }
  aStream* stream = nullptr;
  if (aStream_CreateSerial(portName, speed, false, 0, 0, &stream) != aErrNone) {
    return sAbandon(id);
  }
  if (sInitAndStart(id, stream) != aErrNone) {
    return sAbandon(id);
  }
  sPublishEntry(id);
  return id;
}

linkID aLink_Create(aStream* stream) {
  if (stream == nullptr) {
    // A link without a stream would start, and run, on nothing.
    return 0;
  }
  linkID id = sCreate(kLinkIdentifierStream, 0, kLinkTransportStream);
  if (id == 0) {
    aStream_Destroy(&stream);
    return 0;
  }
  if (sInitAndStart(id, stream) != aErrNone) {
    return sAbandon(id);
  }
  sPublishEntry(id);
  return id;
}

linkID aLink_Create(const linkSpec* spec) {
  if (spec == nullptr) {
    return 0;
  }
  switch (spec->type) {
    case USB:
      return aLink_CreateUSB(spec->serial_num);
    case TCPIP:
      return aLink_CreateTCPIP(spec->t.ip.ip_address, static_cast<uint16_t>(spec->t.ip.ip_port));
    case SERIAL: {
      // The name runs to the end of the record; it may lack its NUL.
      char port[sizeof spec->t.serial.port + 1];
      memcpy(port, spec->t.serial.port, sizeof spec->t.serial.port);
      port[sizeof spec->t.serial.port] = '\0';
      return aLink_CreateSerial(spec->serial_num, port, spec->t.serial.baudrate);
    }
    default:
      return 0;
  }
}

aErr aLink_Destroy(linkID* link) {
  if (link == nullptr) {
    return aErrParam;
  }
  const linkID id = *link;
  *link = 0;
  aLinkEntry* entry = nullptr;
  switch (sReleaseUse(id, &entry)) {
    case aLinkRelease::NotFound:
      return aErrParam;
    case aLinkRelease::StillUsed:
      return aErrNone;
    case aLinkRelease::Last:
      break;
  }
  sTeardown(entry);
  return aErrNone;
}

aErr aLink_Reset(linkID id) {
  aLinkPin pin(id);
  aLinkEntry* entry = pin.entry();
  aLinkRecord* link = pin.link();
  if (entry == nullptr || link == nullptr) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(link->control);
  aLink_StopLocked(link);
  aLink_DestroyFifos(link);
  if (link->stream != nullptr) {
    aStream_Destroy(&link->stream);
  }
  aStream* stream = nullptr;
  aErr err = aErrParam;
  for (int attempt = 0; attempt < kResetStreamTries; ++attempt) {
    err = sMakeStream(entry, &stream);
    if (err == aErrNone) {
      break;
    }
    stream = nullptr;
    aTime_MSSleep(kResetRetryPauseMS);
  }
  if (err != aErrNone) {
    // Stopped, without a stream, with empty FIFOs: callers' waits end at
    // once and a later reset may try again.
    aLink_ReinitRecord(link, nullptr);
    return err;
  }
  if (!aLink_ReinitRecord(link, stream)) {
    return aErrResource;
  }
  return aLink_StartLocked(link);
}
