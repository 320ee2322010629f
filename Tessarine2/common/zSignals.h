#ifndef TESSARINE2_COMMON_ZSIGNALS_H
#define TESSARINE2_COMMON_ZSIGNALS_H

#include <czmq.h>

#include <mutex>

// CZMQ, when it first sets itself up, installs handlers for SIGINT and
// SIGTERM that only note the signal, unless it was told beforehand not to.
// The library is a guest in its host's process: SIGTERM must do what the
// host program says (by default, end the process), not leave it running
// with its messaging threads told to stop. Every part of the library that
// uses CZMQ calls this before its first CZMQ call. A handler the host has
// installed itself stays as it is.
inline void zSignals_LeaveToHost() {
  static std::once_flag once;
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

#endif
