#ifndef TESSARINE2_OBJECTS_ENTITYCLASS_H
#define TESSARINE2_OBJECTS_ENTITYCLASS_H

#include <cstddef>
#include <cstdint>
#include <map>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/objects/StreamEntry.h"
#include "Tessarine2/objects/uei.h"

namespace Zeltrova {
namespace Tessarine {

class Module;

// One functional unit of a module, named by its command (class) and index,
// reached by UEI through its Module's Link. The entity does not own its
// Module: the caller keeps it alive while the entity is used. Every
// operation that reaches the module gives aErrResource without a module or
// a link. Options are bare option numbers (0..63).
class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  aErr init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex();

  // Raw packets [command, data...] to and from the module's address, for
  // entity protocols that are not UEI. The buffer holds 28 bytes.
  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* pattern, uint8_t* length, uint8_t* buffer);

  // A get, answered from the stream cache when the value is streamed. A
  // record of type byte asks with its byteValue as subindex.
  aErr getUEI(uint8_t option, uei* packet);
  aErr setUEI(uint8_t option, uei* packet);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* packet);
  aErr callUEI(uint8_t option);

  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

  // 0 or aErrStreamStale store the value; aErrPacket when the module's
  // reply carried no value of the asked width.
  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

  // Reads a byte array of up to capacity bytes; *count holds the bytes
  // stored, also after a failure.
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
  // A byte count that is a whole number of elements becomes that number;
  // any other gives aErrMemory and leaves the count.
  static aErr getUEIBytesCheck(size_t* count, size_t elementSize);
  static uint8_t getUEIBytesSequence(const aPacket* packet);
  static bool getUEIBytesContinue(const aPacket* packet);

  aErr setStreamEnabled(uint8_t enable);
  aErr registerOptionCallback(uint8_t option, bool enable, streamCallback callback, void* ref);
  aErr getStreamStatus(std::map<uint64_t, uint32_t>* status);

  // Waits for a 32-bit value of this entity without asking for it. The
  // third argument has no effect.
  aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
  // Drops every queued packet of this entity with exactly this option byte.
  aErr drainUEI(uint8_t option);

  static bool sUEIBytesFilter(const aPacket* packet, const void* reference);

 private:
  struct impl;
  impl* m_impl;
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
