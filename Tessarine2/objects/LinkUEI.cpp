// Link: UEI requests and replies, and raw packets whose layout the caller
// builds.

#include <cstring>

#include "Tessarine2/common/aUEI.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LinkImpl.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

constexpr uint64_t kReplyWaitMS = 1000;
// A raw packet is [command, data...].
constexpr uint8_t kRawDataMax = aPACKET_MAX_DATA - 1;

// Address, command, exact option byte and index of a UEI reply to the
// record; stream samples included.
bool sUEIMatches(const aPacket* packet, const uei* record) {
  return packet->address == record->module && packet->dataSize >= 3 && packet->dataSize <= aPACKET_MAX_DATA &&
         packet->data[0] == record->command && packet->data[1] == record->option &&
         (packet->data[2] & UEI_SPECIFIER_INDEX) == record->specifier;
}

// The code of an error reply. One too short to carry its code, or carrying
// 0, is still a failure.
uint8_t sErrorCode(const aPacket* packet) {
  if (packet->dataSize < 4 || packet->data[3] == aErrNone) {
    return aErrUnknown;
  }
  return packet->data[3];
}

// The reply to a UEI request. A stream sample of the same value is never
// the reply: it carries a kind, a timestamp and a sequence byte, not the
// value alone.
bool sUEIFilter(const aPacket* packet, const void* reference) {
  uei* record = static_cast<uei*>(const_cast<void*>(reference));
  if (!sUEIMatches(packet, record)) {
    return false;
  }
  const uint8_t specifier = packet->data[2];
  if ((specifier & UEI_SPECIFIER_ERROR) != 0) {
    record->specifier = specifier;
    record->byteValue = sErrorCode(packet);
    return true;
  }
  if ((specifier & UEI_SPECIFIER_STREAM) != 0) {
    return false;
  }
  switch (packet->dataSize) {
    case 3:
      record->type = UEI_TYPE_VOID;
      break;
    case 4:
      record->type = UEI_TYPE_BYTE;
      record->byteValue = packet->data[3];
      break;
    case 5:
      record->type = UEI_TYPE_SHORT;
      record->shortValue = aUEI_RetrieveShort(&packet->data[3]);
      break;
    case 7:
      record->type = UEI_TYPE_INT;
      record->intValue = aUEI_RetrieveInt(&packet->data[3]);
      break;
    default:
      // No value of a known width: taken, value and type left alone.
      break;
  }
  return true;
}

bool sUEIDrainFilter(const aPacket* packet, const void* reference) {
  return sUEIMatches(packet, static_cast<const uei*>(reference));
}

struct CommandPattern {
  uint8_t length;
  const uint8_t* pattern;
};

// A packet whose data begin with the pattern; a packet shorter than the
// pattern never matches.
bool sCommandFilter(const aPacket* packet, const void* reference) {
  const CommandPattern* pattern = static_cast<const CommandPattern*>(reference);
  if (packet->dataSize < pattern->length) {
    return false;
  }
  return pattern->length == 0 || std::memcmp(packet->data, pattern->pattern, pattern->length) == 0;
}

// Value bytes of a number record, most significant first; false for a type
// without a number layout.
bool storeValue(const uei& record, uint8_t* at, uint8_t* size) {
  switch (record.type) {
    case UEI_TYPE_VOID:
      *size = 0;
      return true;
    case UEI_TYPE_BYTE:
      at[0] = record.byteValue;
      *size = 1;
      return true;
    case UEI_TYPE_SHORT:
      aUEI_StoreShort(at, record.shortValue);
      *size = 2;
      return true;
    case UEI_TYPE_INT:
      aUEI_StoreInt(at, record.intValue);
      *size = 4;
      return true;
    default:
      return false;
  }
}

aErr putData(linkID link, uint8_t module, const uint8_t* data, uint8_t length) {
  aPacket* packet = aPacket_CreateWithData(module, length, data);
  if (packet == nullptr) {
    return aErrResource;
  }
  const aErr err = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  return err;
}

// One value in one packet: [command, option, specifier, value...], with a
// subindex [command, option, specifier, subindex, value...].
aErr putValue(linkID link, const uei& packet, const uint8_t* subindex) {
  uint8_t data[aPACKET_MAX_DATA] = {packet.command, packet.option, packet.specifier};
  uint8_t length = 3;
  if (subindex != nullptr) {
    data[length++] = *subindex;
  }
  uint8_t size = 0;
  if (!storeValue(packet, &data[length], &size)) {
    return aErrParam;
  }
  return putData(link, packet.module, data, static_cast<uint8_t>(length + size));
}

}  // namespace

aErr Link::sendUEI(uei packet) {
  const aErr allowed = requestCheck(*this, packet.module);
  if (allowed != aErrNone) {
    return allowed;
  }
  if (packet.type != UEI_TYPE_BYTES) {
    return putValue(m_impl->linkRef, packet, nullptr);
  }
  if (packet.length > UEI_BYTES_MAX) {
    // The 7-bit sequence number cannot tell more packets apart.
    return aErrSize;
  }
  if (packet.data == nullptr && packet.length != 0) {
    return aErrParam;
  }
  // Back to back, nothing waits between the packets.
  uint8_t data[aPACKET_MAX_DATA] = {packet.command, packet.option, packet.specifier};
  size_t sent = 0;
  uint8_t number = 0;
  for (;;) {
    const size_t left = packet.length - sent;
    const uint8_t n = static_cast<uint8_t>(left < UEI_BYTES_PER_PACKET ? left : UEI_BYTES_PER_PACKET);
    const bool more = sent + n < packet.length;
    if (n != 0) {
      std::memcpy(&data[3], packet.data + sent, n);
    }
    data[3 + n] = static_cast<uint8_t>(number | (more ? UEI_SEQUENCE_MORE : 0));
    const aErr err = putData(m_impl->linkRef, packet.module, data, static_cast<uint8_t>(n + 4));
    if (err != aErrNone || !more) {
      return err;
    }
    sent += n;
    ++number;
  }
}

aErr Link::sendUEI(uei packet, uint8_t subindex) {
  const aErr allowed = requestCheck(*this, packet.module);
  if (allowed != aErrNone) {
    return allowed;
  }
  return putValue(m_impl->linkRef, packet, &subindex);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* packet) {
  return receiveUEI(module, command, option, index, packet, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* packet, aPacketFilter filter) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  if (packet == nullptr || filter == nullptr) {
    return aErrParam;
  }
  aPacket* reply = aLink_AwaitFirst(m_impl->linkRef, filter, packet, kReplyWaitMS);
  if (reply == nullptr) {
    return aErrTimeout;
  }
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  uei scratch{};
  scratch.module = module;
  scratch.command = command;
  scratch.option = option;
  scratch.specifier = index;
  aLink_DrainPackets(m_impl->linkRef, sUEIDrainFilter, &scratch);
  return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) {
    return aErrConnection;
  }
  if (length > kRawDataMax) {
    return aErrParam;
  }
  if (!validModuleAddress(module)) {
    return aErrPacket;
  }
  if (data == nullptr && length != 0) {
    return aErrParam;
  }
  uint8_t bytes[aPACKET_MAX_DATA];
  bytes[0] = command;
  if (length != 0) {
    std::memcpy(&bytes[1], data, length);
  }
  // The put's result tells the caller at once that nothing will come back.
  return putData(m_impl->linkRef, module, bytes, static_cast<uint8_t>(length + 1));
}

aErr Link::receivePacket(uint8_t module, const uint8_t* pattern, uint8_t* length, uint8_t* buffer) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  if (length == nullptr || buffer == nullptr || (pattern == nullptr && *length != 0) || *length > aPACKET_MAX_DATA) {
    return aErrParam;
  }
  const CommandPattern reference{*length, pattern};
  aPacket* reply = aLink_AwaitFirst(m_impl->linkRef, sCommandFilter, &reference, kReplyWaitMS);
  if (reply == nullptr) {
    return aErrTimeout;
  }
  const uint8_t size = reply->dataSize > aPACKET_MAX_DATA ? aPACKET_MAX_DATA : reply->dataSize;
  *length = size;
  std::memcpy(buffer, reply->data, size);
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::dropMatchingPackets(uint8_t module, const uint8_t* pattern, uint8_t length) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  if ((pattern == nullptr && length != 0) || length > aPACKET_MAX_DATA) {
    return aErrParam;
  }
  const CommandPattern reference{length, pattern};
  aLink_DrainPackets(m_impl->linkRef, sCommandFilter, &reference);
  return aErrNone;
}

}  // namespace Tessarine
}  // namespace Zeltrova
