#ifndef TESSARINE2_COMMON_AUEI_H
#define TESSARINE2_COMMON_AUEI_H

#include <cstdint>

#include "Tessarine2/common/aPacket.h"

// Big-endian value helpers and packet classification for UEI payloads.
// None of them allocates.

uint16_t aUEI_RetrieveShort(const uint8_t* p);
void aUEI_StoreShort(uint8_t* p, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreInt(uint8_t* p, uint32_t value);

// Each of count 32-bit words, whose bytes in memory order are a big-endian
// number, is replaced by its host value.
void aUEI_ModifyIntBuffer(uint32_t* words, uint64_t count);

// Multi-packet byte transfers carry a sequence number (low 7 bits) and a
// "more follows" flag (0x80) in the last data byte of each packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);

#endif
