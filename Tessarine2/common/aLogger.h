#ifndef TESSARINE2_COMMON_ALOGGER_H
#define TESSARINE2_COMMON_ALOGGER_H

#include <cstdint>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aFile.h"

// A thread that calls a callback again and again with an output file, for
// as long as the logger is enabled. The callback paces itself (it takes one
// record per call and sleeps when there is none).
struct aLogger;

typedef void (*aLoggerCallback)(aFile* file, uint32_t userValue);

// A disabled logger whose file is opened for appending and unbuffered.
// NULL when memory is short, the callback is NULL or the file cannot be
// opened.
aLogger* aLogger_Create(uint32_t userValue, aLoggerCallback callback, const char* path);

// Starts the thread (0 at once when it runs). aErrResource when the thread
// cannot be made; aErrParam for an invalid logger.
aErr aLogger_Enable(aLogger* logger);

// Stops and joins the thread; 0 at once when not enabled. Called from the
// logger's own callback it does nothing and returns 0. aErrUnknown when the
// join fails; aErrParam for an invalid logger.
aErr aLogger_Disable(aLogger* logger);

// Disables the logger, then closes its file, frees it and clears the
// caller's pointer. Returns the disable result; when that is not 0 nothing
// is closed or freed. From the logger's own callback: aErrBusy, nothing
// happens. 0 for an invalid logger, which is left alone.
aErr aLogger_Destroy(aLogger** logger);

#endif
