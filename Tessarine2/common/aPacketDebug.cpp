#include <cstdlib>

#include "Tessarine2/common/aPacketLog.h"

namespace {

uint32_t sUsed(const aPacketLog* log) {
  return (log->writeIndex + log->capacity - log->readIndex) % log->capacity;
}

uint32_t sAdvance(const aPacketLog* log, uint32_t index, uint32_t by) {
  return static_cast<uint32_t>((static_cast<uint64_t>(index) + by) % log->capacity);
}

void sDropOldest(aPacketLog* log) {
  uint8_t length = log->ring[sAdvance(log, log->readIndex, 1)];
  log->readIndex = sAdvance(log, log->readIndex, 2u + length);
}

void sWriteByte(aPacketLog* log, uint8_t byte) {
  log->ring[log->writeIndex] = byte;
  log->writeIndex = sAdvance(log, log->writeIndex, 1);
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t capacity) {
  if (capacity < aPACKETLOG_MIN_CAPACITY) {
    // The modulo arithmetic needs a ring, and a ring of 1 or 2 bytes holds
    // no record at all.
    return nullptr;
  }
  aPacketLog* log = static_cast<aPacketLog*>(std::calloc(1, sizeof(aPacketLog)));
  if (log == nullptr) {
    return nullptr;
  }
  log->ring = static_cast<uint8_t*>(std::malloc(capacity));
  if (log->ring == nullptr) {
    std::free(log);
    return nullptr;
  }
  log->capacity = capacity;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, int kind, uint32_t length, const uint8_t* bytes) {
  if (log == nullptr || log->ring == nullptr || (bytes == nullptr && length > 0)) {
    return aErrParam;
  }
  if (length > aPACKETLOG_MAX_ENTRY) {
    // The length byte cannot say how long it is.
    return aErrOverrun;
  }
  const uint64_t needed = static_cast<uint64_t>(length) + 2;
  if (needed >= log->capacity) {
    return aErrOverrun;
  }
  while (needed >= log->capacity - sUsed(log)) {
    sDropOldest(log);
  }
  sWriteByte(log, static_cast<uint8_t>(kind));
  sWriteByte(log, static_cast<uint8_t>(length));
  for (uint32_t i = 0; i < length; ++i) {
    sWriteByte(log, bytes[i]);
  }
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, int32_t* kind, uint32_t* length, uint8_t* buffer) {
  if (log == nullptr || log->ring == nullptr || kind == nullptr || length == nullptr) {
    return aErrParam;
  }
  if (log->readIndex == log->writeIndex) {
    return aErrNotFound;
  }
  const uint8_t recordLength = log->ring[sAdvance(log, log->readIndex, 1)];
  if (*length < recordLength) {
    *length = recordLength;
    return aErrOverrun;
  }
  if (buffer == nullptr && recordLength > 0) {
    return aErrParam;
  }
  *kind = log->ring[log->readIndex];
  uint32_t from = sAdvance(log, log->readIndex, 2);
  for (uint32_t i = 0; i < recordLength; ++i) {
    buffer[i] = log->ring[from];
    from = sAdvance(log, from, 1);
  }
  *length = recordLength;
  log->readIndex = from;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) {
    return aErrNone;
  }
  (*log)->enabled = 0;
  std::free((*log)->ring);
  std::free(*log);
  *log = nullptr;
  return aErrNone;
}
