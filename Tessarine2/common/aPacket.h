#ifndef TESSARINE2_COMMON_APACKET_H
#define TESSARINE2_COMMON_APACKET_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"

// Most data bytes one packet carries, and the longest wire form
// (address byte + length byte + data).
constexpr uint8_t aPACKET_MAX_DATA = 28;
constexpr uint8_t aPACKET_MAX_WIRE = aPACKET_MAX_DATA + 2;

// Link-control addresses: empty packets to 0xAD synchronise a link and query
// its address; one data byte to 0xAF switches force-route on or off.
constexpr uint8_t aPACKET_ADDR_SYNC = 0xAD;
constexpr uint8_t aPACKET_ADDR_FORCE_ROUTE = 0xAF;

constexpr uint16_t aPACKET_CHECK = 0xBEEF;

// One module packet. address, dataSize and data lie back to back: the wire
// form is the dataSize + 2 bytes that start at &address.
struct aPacket {
  uint16_t check;    // aPACKET_CHECK while the record is valid
  uint8_t curSize;   // wire bytes taken in so far, address and length included
  uint8_t address;   // module address; 0 until one has been received
  uint8_t dataSize;  // data bytes, 0 to 28
  uint8_t data[aPACKET_MAX_DATA];  // data[0] command, [1] option, [2] index
};

static_assert(offsetof(aPacket, dataSize) == offsetof(aPacket, address) + 1,
              "the length byte must follow the address on the wire");
static_assert(offsetof(aPacket, data) == offsetof(aPacket, address) + 2,
              "the data must follow the length byte on the wire");
static_assert(sizeof(aPacket) - offsetof(aPacket, address) >= aPACKET_MAX_WIRE,
              "a whole wire form must fit behind the address");

inline bool aVALIDPACKET(const aPacket* p) { return p != nullptr && p->check == aPACKET_CHECK; }

// The wire bytes of a packet: dataSize + 2 bytes starting at the address.
// A length byte above 28 (kept by a failed build) never reaches past the data.
inline const uint8_t* aPacket_WireBytes(const aPacket* p) { return &p->address; }
inline size_t aPacket_WireLength(const aPacket* p) {
  return static_cast<size_t>(p->dataSize > aPACKET_MAX_DATA ? aPACKET_MAX_DATA : p->dataSize) + 2;
}

aPacket* aPacket_Create();
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);

aErr aPacket_Reset(aPacket* packet);

// Takes one received byte into a packet being built; see aPacket.cpp.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);

aErr aPacket_Destroy(aPacket** packet);

#endif
