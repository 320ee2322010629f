#ifndef TESTS_SIM_MODULE_KEPTSTREAMKEYS_H
#define TESTS_SIM_MODULE_KEPTSTREAMKEYS_H

#include <string>

#include "tests/sim/module/StreamSource.h"

namespace simmodule {

// A module that keeps the stream keys its host enabled over a restart of
// its process: the keys in the file (one hexadecimal key a line) are taken
// up at once, and every change is written there before the request that
// made it is answered, so a process killed after an acknowledgement still
// knows the key when it starts again. A missing file means no keys. False
// when the file exists but cannot be read whole.
bool keepStreamKeys(StreamSource& source, const std::string& path);

}  // namespace simmodule

#endif
