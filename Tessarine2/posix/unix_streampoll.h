#ifndef TESSARINE2_POSIX_UNIX_STREAMPOLL_H
#define TESSARINE2_POSIX_UNIX_STREAMPOLL_H

#include <cstdint>

#include "Tessarine2/common/aError.h"

// The wait of streams over a file descriptor (sockets, serial ports, the
// module kernel driver's node): blocks until the descriptor has something
// for a read (data, end, hang-up or error) or the time is up.
// 0: read now; aErrTimeout: nothing within the time. A negative descriptor
// answers 0 at once: the read reports the missing descriptor itself.
aErr aStream_PollDescriptor(int descriptor, uint32_t timeoutMS);

#endif
