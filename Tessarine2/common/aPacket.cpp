#include "Tessarine2/common/aPacket.h"

#include <cstring>
#include <new>

namespace {

// Every fresh record is a copy of this one.
const aPacket kTemplate = {aPACKET_CHECK, 0, 0, 0, {0}};

// curSize never wraps: once past the longest wire form it stays there, so a
// stream of bytes fed after an error can never bring it back into the range
// that indexes the data.
constexpr uint8_t kCurSizeCeiling = aPACKET_MAX_WIRE + 1;

aPacket* newPacket() { return new (std::nothrow) aPacket(kTemplate); }

}  // namespace

aPacket* aPacket_Create() { return newPacket(); }

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAX_DATA) {
    return nullptr;
  }
  aPacket* p = newPacket();
  if (p == nullptr) {
    return nullptr;
  }
  p->address = address;
  p->dataSize = length;
  std::memcpy(p->data, data, length);
  p->curSize = static_cast<uint8_t>(length + 2);
  return p;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAX_DATA) {
    return nullptr;
  }
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

namespace {

aErr dataByte(const aPacket* packet, uint8_t* out, uint8_t index, uint8_t mask) {
  if (out == nullptr) {
    return aErrParam;
  }
  if (!aVALIDPACKET(packet) || packet->dataSize <= index || index >= aPACKET_MAX_DATA) {
    return aErrPacket;
  }
  *out = packet->data[index] & mask;
  return aErrNone;
}

}  // namespace

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out) { return dataByte(packet, out, 0, 0xFF); }

aErr aPacket_GetOption(const aPacket* packet, uint8_t* out) { return dataByte(packet, out, 1, 0x3F); }

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out) { return dataByte(packet, out, 2, 0x1F); }

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) {
    return aErrParam;
  }
  packet->curSize = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

// Byte-wise building: the first byte is the address (non-zero and even), the
// second the data length (at most 28), then the data. An error never resets
// the record; the caller resets it and resynchronises the link.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) {
    return aErrParam;
  }
  if (packet->curSize < kCurSizeCeiling) {
    packet->curSize++;
  }
  if (packet->curSize > aPACKET_MAX_WIRE) {
    return aErrOverrun;
  }
  if (packet->address == 0) {
    if (byte == 0 || (byte & 1) != 0) {
      return aErrPacket;
    }
    packet->address = byte;
    return aErrNone;
  }
  if (packet->dataSize == 0) {
    packet->dataSize = byte;  // kept even when too large, as a record of what came
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  // curSize is 3..30 here once an address and a length were taken in order;
  // anything else means the record was fed out of order, so nothing is stored.
  if (packet->curSize > packet->dataSize + 2 || packet->curSize < 3) {
    return aErrPacket;
  }
  packet->data[packet->curSize - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->dataSize <= aPACKET_MAX_DATA &&
         packet->curSize == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) {
    return aErrParam;
  }
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}
