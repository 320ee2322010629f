#ifndef TESSARINE2_COMMON_AMUTEX_H
#define TESSARINE2_COMMON_AMUTEX_H

#include "Tessarine2/common/aError.h"

// A named, non-recursive mutex. The name only serves diagnostics. A second
// lock by the owner gives aErrDuplicate, an unlock by another thread
// aErrPermission.
struct aMutex;

// Longest name, in characters.
constexpr unsigned aMUTEX_MAX_NAME = 255;

aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
aErr aMutex_Destroy(aMutex** mutex);

#endif
