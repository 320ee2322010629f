#ifndef TESSARINE2_COMMON_APACKETLOG_H
#define TESSARINE2_COMMON_APACKETLOG_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"

// A fixed ring of records that a link fills with the packets it writes and
// receives. Each record is one kind byte, one length byte N, then N bytes;
// indices advance modulo the capacity, so a record may wrap around the end.
// A put never blocks and never fails for want of room: the oldest records
// are dropped instead. One byte always stays free, so that a full ring and
// an empty one are told apart.
//
// No lock of its own: the link guards every put and get with its logSema.
struct aPacketLog {
  uint8_t enabled;     // records are taken while set
  uint8_t* ring;       // capacity bytes
  uint32_t capacity;
  uint32_t readIndex;  // oldest record
  uint32_t writeIndex; // where the next record starts
};

// Record kinds.
enum : int {
  aPACKETLOG_OUTGOING = 1,  // a packet written to the module (wire form)
  aPACKETLOG_INCOMING = 2,  // a packet received from the module (wire form)
  aPACKETLOG_TEXT = 3,      // a text marker
};

// The length byte bounds one record's bytes.
constexpr uint32_t aPACKETLOG_MAX_ENTRY = 255;
// The smallest ring that holds a record (kind, length, no bytes) and the one
// free byte.
constexpr uint32_t aPACKETLOG_MIN_CAPACITY = 3;

// New empty log (not enabled). NULL when the capacity is below 3 or memory
// is short.
aPacketLog* aPacketLog_Create(uint32_t capacity);

// Appends a record, dropping the oldest ones as needed. aErrOverrun when
// length + 2 is not below the capacity or length is above 255 (the log is
// unchanged); aErrParam for a NULL log, or NULL bytes with a length.
aErr aPacketLog_Put(aPacketLog* log, int kind, uint32_t length, const uint8_t* bytes);

// Takes the oldest record. aErrNotFound when the log is empty; aErrOverrun
// when *length (the room given) is below the record's length: *length is
// set to the record's length and the record stays.
aErr aPacketLog_Get(aPacketLog* log, int32_t* kind, uint32_t* length, uint8_t* buffer);

// Clears the enabled flag, frees the ring and the log and the caller's
// pointer; 0 also when the log is already NULL.
aErr aPacketLog_Destroy(aPacketLog** log);

#endif
