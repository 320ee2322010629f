#include "Tessarine2/objects/EntityClass.h"

#include <cstring>
#include <new>
#include <utility>

#include "Tessarine2/common/aUEI.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

// The next packet of a byte-array transfer that is being given up: taken
// in order and dropped. Anything that ends the transfer (an error reply, a
// packet without sequence byte, the last packet) clears continueFlag.
bool sUEIBytesSkipFilter(const aPacket* packet, const void* reference) {
  uei* record = static_cast<uei*>(const_cast<void*>(reference));
  if (packet->address != record->module || packet->dataSize < 3 || packet->dataSize > aPACKET_MAX_DATA ||
      packet->data[0] != record->command || packet->data[1] != record->option ||
      (packet->data[2] & UEI_SPECIFIER_INDEX) != (record->specifier & UEI_SPECIFIER_INDEX) ||
      (packet->data[2] & (UEI_SPECIFIER_STREAM | UEI_SPECIFIER_ERROR)) == UEI_SPECIFIER_STREAM) {
    return false;
  }
  if ((packet->data[2] & UEI_SPECIFIER_ERROR) != 0 || packet->dataSize < 4) {
    record->continueFlag = 0;
    return true;
  }
  const uint8_t last = packet->data[packet->dataSize - 1];
  if ((last & UEI_SEQUENCE_MASK) != record->sequence) {
    return false;
  }
  record->continueFlag = (last & UEI_SEQUENCE_MORE) != 0 ? 1 : 0;
  return true;
}

}  // namespace

struct EntityClass::impl {
  EntityClass* owner = nullptr;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;

  Link* link() const { return module == nullptr ? nullptr : module->getLink(); }

  // A get of the option into the record. *cached tells a value from the
  // stream cache, which needs no reply.
  aErr get(uint8_t option, uei* packet, bool* cached);
  aErr set(uint8_t option, const uint8_t* subindex, uei* packet);
  // A typed get: the reply must carry a value of the wanted type.
  aErr getNumber(uint8_t option, const uint8_t* subindex, uint32_t wanted, uint32_t* value);
};

aErr EntityClass::impl::get(uint8_t option, uei* packet, bool* cached) {
  *cached = false;
  Link* l = link();
  if (l == nullptr) {
    return aErrResource;
  }
  const uint8_t address = module->getModuleAddress();
  const uint8_t subindex = packet->type == UEI_TYPE_BYTE ? packet->byteValue : 0;
  const aErr streamed = l->getStreamValue(address, command, option, index, subindex, &packet->intValue);
  if (streamed != aErrNotFound) {
    *cached = true;
    packet->type = UEI_TYPE_INT;
    return streamed;
  }
  packet->module = address;
  packet->command = command;
  packet->option = static_cast<uint8_t>(option | UEI_OPTION_GET);
  packet->specifier = static_cast<uint8_t>(index | UEI_SPECIFIER_REQUEST);
  // A reply still queued belongs to an earlier request (one that timed out,
  // or another entity's that came with this index): only one that comes
  // after this request answers it.
  l->dropMatchingUEIPackets(address, command, option, index);
  const aErr sent = l->sendUEI(*packet);
  if (sent != aErrNone) {
    return sent;
  }
  packet->option = option;
  packet->specifier = index;
  // Until a reply with a value of a known width sets it.
  packet->type = UEI_TYPE_NONE;
  const aErr err = l->receiveUEI(address, command, option, index, packet);
  if (err == aErrNone && (packet->specifier & UEI_SPECIFIER_ERROR) != 0) {
    return packet->byteValue;
  }
  return err;
}

aErr EntityClass::impl::set(uint8_t option, const uint8_t* subindex, uei* packet) {
  Link* l = link();
  if (l == nullptr) {
    return aErrResource;
  }
  const uint8_t address = module->getModuleAddress();
  packet->module = address;
  packet->command = command;
  packet->option = static_cast<uint8_t>(option | UEI_OPTION_SET);
  packet->specifier = static_cast<uint8_t>(index | UEI_SPECIFIER_REQUEST);
  // As for a get: an acknowledgement still queued answers an earlier set.
  l->dropMatchingUEIPackets(address, command, static_cast<uint8_t>(option | UEI_OPTION_ACK), index);
  const aErr sent = subindex == nullptr ? l->sendUEI(*packet) : l->sendUEI(*packet, *subindex);
  if (sent != aErrNone) {
    return sent;
  }
  // The acknowledgement carries both request bits.
  packet->option = static_cast<uint8_t>(option | UEI_OPTION_ACK);
  packet->specifier = index;
  const aErr err = l->receiveUEI(address, command, packet->option, index, packet);
  if (err == aErrNone && (packet->specifier & UEI_SPECIFIER_ERROR) != 0) {
    return packet->byteValue;
  }
  return err;
}

aErr EntityClass::impl::getNumber(uint8_t option, const uint8_t* subindex, uint32_t wanted, uint32_t* value) {
  uei packet{};
  packet.type = UEI_TYPE_VOID;
  if (subindex != nullptr) {
    packet.type = UEI_TYPE_BYTE;
    packet.byteValue = *subindex;
  }
  bool cached = false;
  const aErr err = get(option, &packet, &cached);
  if (err != aErrNone && err != aErrStreamStale) {
    return err;
  }
  if (!cached && packet.type != wanted) {
    return aErrPacket;
  }
  switch (wanted) {
    case UEI_TYPE_BYTE:
      *value = packet.byteValue;
      break;
    case UEI_TYPE_SHORT:
      *value = packet.shortValue;
      break;
    default:
      *value = packet.intValue;
      break;
  }
  return err;
}

// --- EntityClass

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl) {
  if (m_impl != nullptr) {
    m_impl->owner = this;
  }
}

EntityClass::~EntityClass() { delete m_impl; }

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  if (m_impl == nullptr) {
    return aErrMemory;
  }
  m_impl->module = module;
  m_impl->command = command;
  m_impl->index = index;
  return aErrNone;
}

uint8_t EntityClass::getIndex() { return m_impl == nullptr ? 0 : m_impl->index; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  return l->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* pattern, uint8_t* length, uint8_t* buffer) {
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  return l->receivePacket(m_impl->module->getModuleAddress(), pattern, length, buffer);
}

aErr EntityClass::getUEI(uint8_t option, uei* packet) {
  if (m_impl == nullptr) {
    return aErrResource;
  }
  if (packet == nullptr) {
    return aErrParam;
  }
  bool cached = false;
  return m_impl->get(option, packet, &cached);
}

aErr EntityClass::setUEI(uint8_t option, uei* packet) {
  if (m_impl == nullptr) {
    return aErrResource;
  }
  if (packet == nullptr) {
    return aErrParam;
  }
  return m_impl->set(option, nullptr, packet);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* packet) {
  if (m_impl == nullptr) {
    return aErrResource;
  }
  if (packet == nullptr) {
    return aErrParam;
  }
  return m_impl->set(option, &subindex, packet);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei packet{};
  packet.type = UEI_TYPE_VOID;
  return setUEI(option, &packet);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei packet{};
  packet.type = UEI_TYPE_BYTE;
  packet.byteValue = value;
  return setUEI(option, &packet);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei packet{};
  packet.type = UEI_TYPE_SHORT;
  packet.shortValue = value;
  return setUEI(option, &packet);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei packet{};
  packet.type = UEI_TYPE_INT;
  packet.intValue = value;
  return setUEI(option, &packet);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei packet{};
  packet.type = UEI_TYPE_BYTE;
  packet.byteValue = value;
  return setUEI(option, subindex, &packet);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei packet{};
  packet.type = UEI_TYPE_INT;
  packet.intValue = value;
  return setUEI(option, subindex, &packet);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (data == nullptr && length != 0) {
    return aErrParam;
  }
  uei packet{};
  packet.type = UEI_TYPE_BYTES;
  // Only read by the send.
  packet.data = const_cast<uint8_t*>(data);
  packet.length = length;
  return setUEI(option, &packet);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  if (value == nullptr) {
    return aErrParam;
  }
  if (m_impl == nullptr) {
    return aErrResource;
  }
  uint32_t v = 0;
  const aErr err = m_impl->getNumber(option, nullptr, UEI_TYPE_BYTE, &v);
  if (err == aErrNone || err == aErrStreamStale) {
    *value = static_cast<uint8_t>(v);
  }
  return err;
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  if (value == nullptr) {
    return aErrParam;
  }
  if (m_impl == nullptr) {
    return aErrResource;
  }
  uint32_t v = 0;
  const aErr err = m_impl->getNumber(option, nullptr, UEI_TYPE_SHORT, &v);
  if (err == aErrNone || err == aErrStreamStale) {
    *value = static_cast<uint16_t>(v);
  }
  return err;
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  if (value == nullptr) {
    return aErrParam;
  }
  if (m_impl == nullptr) {
    return aErrResource;
  }
  uint32_t v = 0;
  const aErr err = m_impl->getNumber(option, nullptr, UEI_TYPE_INT, &v);
  if (err == aErrNone || err == aErrStreamStale) {
    *value = v;
  }
  return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  if (value == nullptr) {
    return aErrParam;
  }
  if (m_impl == nullptr) {
    return aErrResource;
  }
  uint32_t v = 0;
  const aErr err = m_impl->getNumber(option, &subindex, UEI_TYPE_BYTE, &v);
  if (err == aErrNone || err == aErrStreamStale) {
    *value = static_cast<uint8_t>(v);
  }
  return err;
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  if (value == nullptr) {
    return aErrParam;
  }
  if (m_impl == nullptr) {
    return aErrResource;
  }
  uint32_t v = 0;
  const aErr err = m_impl->getNumber(option, &subindex, UEI_TYPE_SHORT, &v);
  if (err == aErrNone || err == aErrStreamStale) {
    *value = static_cast<uint16_t>(v);
  }
  return err;
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  if (value == nullptr) {
    return aErrParam;
  }
  if (m_impl == nullptr) {
    return aErrResource;
  }
  uint32_t v = 0;
  const aErr err = m_impl->getNumber(option, &subindex, UEI_TYPE_INT, &v);
  if (err == aErrNone || err == aErrStreamStale) {
    *value = v;
  }
  return err;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
  if (buffer == nullptr || count == nullptr || capacity == 0) {
    return aErrParam;
  }
  *count = 0;
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  const uint8_t address = m_impl->module->getModuleAddress();
  uei request{};
  request.module = address;
  request.command = m_impl->command;
  request.option = static_cast<uint8_t>(option | UEI_OPTION_GET);
  request.specifier = static_cast<uint8_t>(m_impl->index | UEI_SPECIFIER_REQUEST);
  request.type = UEI_TYPE_VOID;
  // Pieces still queued belong to an earlier transfer; none may become part
  // of this one.
  l->dropMatchingUEIPackets(address, m_impl->command, option, m_impl->index);
  const aErr sent = l->sendUEI(request);
  if (sent != aErrNone) {
    return sent;
  }
  uei reply{};
  reply.module = address;
  reply.command = m_impl->command;
  reply.option = option;
  reply.specifier = m_impl->index;
  reply.sequence = 0;
  reply.continueFlag = 0;
  reply.length = capacity;
  reply.data = buffer;
  reply.count = count;
  reply.type = UEI_TYPE_BYTES;
  aErr err = aErrNone;
  for (;;) {
    err = l->receiveUEI(address, m_impl->command, option, m_impl->index, &reply, sUEIBytesFilter);
    if (err != aErrNone) {
      break;
    }
    if ((reply.specifier & UEI_SPECIFIER_ERROR) != 0) {
      err = reply.byteValue;
      break;
    }
    if (reply.continueFlag != 1) {
      break;
    }
    if (reply.sequence == UEI_SEQUENCE_MASK) {
      // Packet 127 announced more: a longer array cannot be numbered.
      err = aErrSize;
      break;
    }
    ++reply.sequence;
  }
  if (err == aErrMemory || err == aErrSize) {
    // The module is still sending the rest of a transfer given up: it is
    // taken off the link in order as it comes.
    while (reply.continueFlag == 1) {
      reply.sequence = static_cast<uint8_t>((reply.sequence + 1) & UEI_SEQUENCE_MASK);
      if (l->receiveUEI(address, m_impl->command, option, m_impl->index, &reply, sUEIBytesSkipFilter) != aErrNone) {
        break;
      }
    }
  }
  if (err != aErrNone) {
    // However it ended (a lost piece, an error reply, a time-out), nothing
    // of this transfer stays queued; what comes later still is dropped by
    // the next request.
    l->dropMatchingUEIPackets(address, m_impl->command, option, m_impl->index);
  }
  return err;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t elementSize) {
  if (count == nullptr || elementSize == 0) {
    return aErrParam;
  }
  if (*count % elementSize != 0) {
    return aErrMemory;
  }
  *count /= elementSize;
  return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) { return aUEI_getBytesSequence(packet); }

bool EntityClass::getUEIBytesContinue(const aPacket* packet) { return aUEI_getBytesContinue(packet); }

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
  if (value == nullptr) {
    return aErrParam;
  }
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  uei packet{};
  packet.module = m_impl->module->getModuleAddress();
  packet.command = m_impl->command;
  packet.option = static_cast<uint8_t>(option & 0xFF);
  packet.specifier = m_impl->index;
  packet.type = UEI_TYPE_NONE;
  const aErr err = l->receiveUEI(packet.module, packet.command, packet.option, m_impl->index, &packet);
  if (err != aErrNone) {
    return err;
  }
  if ((packet.specifier & UEI_SPECIFIER_ERROR) != 0) {
    return packet.byteValue;
  }
  if (packet.type != UEI_TYPE_INT) {
    return aErrPacket;
  }
  *value = packet.intValue;
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  return l->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::setStreamEnabled(uint8_t enable) {
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  // Every option of the entity.
  return l->enableStream(m_impl->module->getModuleAddress(), m_impl->command, 0xFF, m_impl->index, enable != 0);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, streamCallback callback, void* ref) {
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  return l->registerStreamCallback(m_impl->module->getModuleAddress(), m_impl->command, option, m_impl->index, enable,
                                   std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(std::map<uint64_t, uint32_t>* status) {
  Link* l = m_impl == nullptr ? nullptr : m_impl->link();
  if (l == nullptr) {
    return aErrResource;
  }
  return l->getStreamStatus(m_impl->module->getModuleAddress(), m_impl->command, 0xFF, m_impl->index, 0xFF, status);
}

// One packet of a byte-array reply, taken strictly in sequence order.
// Error replies, malformed packets and a buffer overflow end the read:
// they are taken and the record is marked as an error reply.
bool EntityClass::sUEIBytesFilter(const aPacket* packet, const void* reference) {
  uei* record = static_cast<uei*>(const_cast<void*>(reference));
  if (packet->address != record->module || packet->dataSize < 3 || packet->dataSize > aPACKET_MAX_DATA ||
      packet->data[0] != record->command || packet->data[1] != record->option ||
      (packet->data[2] & UEI_SPECIFIER_INDEX) != record->specifier) {
    return false;
  }
  const uint8_t specifier = packet->data[2];
  if ((specifier & UEI_SPECIFIER_ERROR) != 0) {
    record->specifier = specifier;
    const bool coded = packet->dataSize >= 4 && packet->data[3] != aErrNone;
    record->byteValue = coded ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
    return true;
  }
  if ((specifier & UEI_SPECIFIER_STREAM) != 0) {
    return false;
  }
  if (packet->dataSize < 4) {
    // No sequence byte: nothing here can be read as part of the array.
    record->specifier |= UEI_SPECIFIER_ERROR;
    record->byteValue = aErrPacket;
    return true;
  }
  const uint8_t last = packet->data[packet->dataSize - 1];
  if ((last & UEI_SEQUENCE_MASK) != record->sequence) {
    return false;
  }
  const size_t n = static_cast<size_t>(packet->dataSize) - 4;
  if (*record->count + n > record->length) {
    record->specifier |= UEI_SPECIFIER_ERROR;
    record->byteValue = aErrMemory;
    record->sequence = static_cast<uint8_t>(last & UEI_SEQUENCE_MASK);
    record->continueFlag = (last & UEI_SEQUENCE_MORE) != 0 ? 1 : 0;
    return true;
  }
  if (n != 0) {
    std::memcpy(record->data, &packet->data[3], n);
  }
  record->data += n;
  *record->count += n;
  record->sequence = static_cast<uint8_t>(last & UEI_SEQUENCE_MASK);
  record->continueFlag = (last & UEI_SEQUENCE_MORE) != 0 ? 1 : 0;
  return true;
}

}  // namespace Tessarine
}  // namespace Zeltrova
