#ifndef TESSARINE2_COMMON_ATIME_H
#define TESSARINE2_COMMON_ATIME_H

#include <cstdint>

#include "Tessarine2/common/aError.h"

// Milliseconds on a clock that only moves forward; for durations and
// deadlines only, never a time of day. 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks();

// Sleeps the given milliseconds; always returns 0.
aErr aTime_MSSleep(uint64_t milliseconds);

#endif
