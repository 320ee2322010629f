#ifndef TESSARINE2_OBJECTS_UEI_H
#define TESSARINE2_OBJECTS_UEI_H

#include <cstddef>
#include <cstdint>

namespace Zeltrova {
namespace Tessarine {

// UEI inside module packets (data bytes):
//
//   0  command          entity class
//   1  option byte      option 0..63 | 0x40 get | 0x80 set
//   2  specifier byte   index 0..31 | 0x20 (every request) | 0x40 stream
//                       sample | 0x80 error reply
//   3.. value           none, 1, 2 or 4 bytes, most significant first; an
//                       error reply carries its aErr code in byte 3
//
// A get goes out as option | 0x40 and is answered with the bare option; a
// set (or a call without value) goes out as option | 0x80 and is
// acknowledged with option | 0xC0. A request with a subindex carries it in
// byte 3, before the value.
//
// Byte arrays travel as [command, option, specifier, up to 24 payload
// bytes, sequence byte]: the packet's number in the low 7 bits, 0x80 when
// more packets follow. An empty array is [command, option, specifier, 0].

constexpr uint8_t UEI_OPTION_GET = 0x40;
constexpr uint8_t UEI_OPTION_SET = 0x80;
constexpr uint8_t UEI_OPTION_ACK = UEI_OPTION_GET | UEI_OPTION_SET;
constexpr uint8_t UEI_OPTION_MASK = 0x3F;

constexpr uint8_t UEI_SPECIFIER_REQUEST = 0x20;
constexpr uint8_t UEI_SPECIFIER_STREAM = 0x40;
constexpr uint8_t UEI_SPECIFIER_ERROR = 0x80;
constexpr uint8_t UEI_SPECIFIER_INDEX = 0x1F;

constexpr uint8_t UEI_BYTES_PER_PACKET = 24;
constexpr uint8_t UEI_SEQUENCE_MORE = 0x80;
constexpr uint8_t UEI_SEQUENCE_MASK = 0x7F;
// The sequence number has 7 bits: 128 packets of 24 bytes at most.
constexpr size_t UEI_BYTES_MAX = 128 * static_cast<size_t>(UEI_BYTES_PER_PACKET);

// Value types of a uei record. 3 is no value type: a wait leaves it set
// when the reply carried no value this layer can read.
enum : uint32_t {
  UEI_TYPE_VOID = 0,
  UEI_TYPE_BYTE = 1,
  UEI_TYPE_SHORT = 2,
  UEI_TYPE_NONE = 3,
  UEI_TYPE_INT = 4,
  UEI_TYPE_BYTES = 5,
};

// One UEI request or reply.
struct uei {
  uint8_t module;  // even, not 0
  uint8_t command;
  uint8_t option;     // option byte as sent, or as the reply must carry it
  uint8_t specifier;  // as sent; before a wait the bare index; after an
                      // error reply the reply's specifier byte
  // The numbers share their start: a 32-bit value reads back through
  // byteValue and shortValue as its low 8 and 16 bits.
  union {
    uint8_t byteValue;
    uint16_t shortValue;
    uint32_t intValue;
  };
  // A byte array in flight. Kept apart from the numbers, so that an error
  // code or a value stored by a reply never overwrites the transfer's
  // buffer, position or flags.
  uint8_t* data;         // next byte to send, or to fill
  uint8_t sequence;      // packet number expected next, or last taken
  uint8_t continueFlag;  // 1: the last packet taken announced more
  size_t length;         // bytes to send, or the buffer's capacity
  size_t* count;         // bytes filled so far (reads)
  uint32_t type;         // UEI_TYPE_*
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
