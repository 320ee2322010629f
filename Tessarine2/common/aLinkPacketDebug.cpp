// A link's packet log: made on the first enable with the link's chosen
// capacity, kept until the link is torn down.

#include <cstdio>

#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aLinkManagerInternal.h"

namespace {

// Runs op on the link's log under its mutex; aErrNotReady without a log.
template <typename Op>
aErr sWithLog(linkID id, Op op) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr) {
    return aErrParam;
  }
  aPacketLog* log = link->packetLog.load(std::memory_order_acquire);
  if (log == nullptr) {
    return aErrNotReady;
  }
  aMutex* sema = link->logSema.load(std::memory_order_acquire);
  aMutex_Lock(sema);
  aErr err = op(log);
  aMutex_Unlock(sema);
  return err;
}

}  // namespace

aErr aLink_PacketDebug_SetLogSize(linkID id, int32_t size) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr || size > aLINK_MAX_LOG_SIZE) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(link->control);
  if (link->packetLog.load() != nullptr) {
    return aErrBusy;
  }
  link->logSize = size < 0 ? 0 : size;
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(linkID id) {
  aLinkPin pin(id);
  aLinkRecord* link = pin.link();
  if (link == nullptr) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(link->control);
  if (link->logSize == 0) {
    link->logSize = aLINK_DEFAULT_LOG_SIZE;
  }
  // The mutex exists before the log is published: the reader and writer
  // take it as soon as they see the log.
  if (link->logSema.load() == nullptr) {
    char name[aMUTEX_MAX_NAME + 1];
    snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
    link->logSema.store(aMutex_Create(name), std::memory_order_release);
  }
  aMutex* sema = link->logSema.load();
  if (sema == nullptr) {
    return aErrResource;
  }
  if (link->packetLog.load() == nullptr) {
    aPacketLog* log = aPacketLog_Create(static_cast<uint32_t>(link->logSize));
    if (log == nullptr) {
      return aErrResource;
    }
    link->packetLog.store(log, std::memory_order_release);
  }
  aMutex_Lock(sema);
  link->packetLog.load()->enabled = 1;
  aMutex_Unlock(sema);
  return aErrNone;
}

aErr aLink_PacketDebug_Disable(linkID id) {
  return sWithLog(id, [](aPacketLog* log) {
    log->enabled = 0;
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Read(linkID id, int32_t* kind, uint32_t* length, uint8_t* buffer) {
  return sWithLog(id, [&](aPacketLog* log) { return aPacketLog_Get(log, kind, length, buffer); });
}

aErr aLink_PacketDebug_Write(linkID id, int kind, uint32_t length, const uint8_t* bytes) {
  return sWithLog(id, [&](aPacketLog* log) { return aPacketLog_Put(log, kind, length, bytes); });
}
