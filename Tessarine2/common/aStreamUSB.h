#ifndef TESSARINE2_COMMON_ASTREAMUSB_H
#define TESSARINE2_COMMON_ASTREAMUSB_H

#include <cstdint>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aStream.h"

// Stream to the module with this serial number on USB: through the module
// kernel driver's node "/dev/tessarine.%08X" when it exists, else through
// libusb. Sets *result to NULL first; aErrParam for a NULL result or serial
// number 0, aErrMemory or aErrResource when memory is short, otherwise the
// open's result (see tnusb_open_tessarine_device); 0 with the stream.
//
// Reads: in libusb mode a read without data waits up to 1000 ms itself and
// then answers aErrNotReady; in node mode reads answer at once and the
// stream has a wait function (aStream_WaitReadable) on the node.
aErr aStream_CreateUSB(uint32_t serial, aStream** result);

#endif
