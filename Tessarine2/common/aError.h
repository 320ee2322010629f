#ifndef TESSARINE2_COMMON_AERROR_H
#define TESSARINE2_COMMON_AERROR_H

#include <cstdint>

// Result code of every device-library operation; 0 is success.
typedef int32_t aErr;

// The constants carry the names that aError_GetErrorText returns.
enum : aErr {
  aErrNone = 0,
  aErrMemory = 1,
  aErrParam = 2,
  aErrNotFound = 3,
  aErrFileNameLength = 4,
  aErrBusy = 5,
  aErrIO = 6,
  aErrMode = 7,
  aErrWrite = 8,
  aErrRead = 9,
  aErrEOF = 10,
  aErrNotReady = 11,
  aErrPermission = 12,
  aErrRange = 13,
  aErrSize = 14,
  aErrOverrun = 15,
  aErrParse = 16,
  aErrConfiguration = 17,
  aErrTimeout = 18,
  aErrInitialization = 19,
  aErrVersion = 20,
  aErrUnimplemented = 21,
  aErrDuplicate = 22,
  aErrCancel = 23,
  aErrPacket = 24,
  aErrConnection = 25,
  aErrIndexRange = 26,
  aErrShortCommand = 27,
  aErrInvalidEntity = 28,
  aErrInvalidOption = 29,
  aErrResource = 30,
  aErrMedia = 31,
  aErrAsyncReturn = 32,
  aErrStreamStale = 33,
  aErrUnknown = 34,
};

// Number of codes in the tables, 0 to aErrUnknown.
constexpr uint32_t aErrCodeCount = 35;

// Short name of a code ("aErrParam"); any code above 34 gives "aErrUnknown".
const char* aError_GetErrorText(uint32_t code);

// One-line description of a code; any code above 34 gives "Unknown error".
const char* aError_GetErrorDescription(uint32_t code);

#endif
