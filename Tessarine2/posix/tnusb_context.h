#ifndef TESSARINE2_POSIX_TNUSB_CONTEXT_H
#define TESSARINE2_POSIX_TNUSB_CONTEXT_H

#include <libusb.h>

#include "Tessarine2/common/aError.h"

// The one libusb context of the process, shared by the USB streams and USB
// enumeration. Made on first use and kept until the process ends; starting
// it starts libusb's own event-monitoring thread.
//
// All three are safe to call from any thread.

// Makes the context when there is none. 0 when it exists (new or old);
// aErrInitialization when libusb_init failed: then there is no context, which
// callers treat as "no USB devices", and the next call tries again.
aErr Tessarine_libusb_init();

// The context, or NULL when none was made (or making it failed). Never pass
// NULL on to libusb: it would stand for libusb's own default context.
libusb_context* Tessarine_libusb_context();

// Releases the context. Only for a process that has no USB stream open and no
// enumeration running; nothing in the library calls it.
void Tessarine_libusb_exit();

#endif
