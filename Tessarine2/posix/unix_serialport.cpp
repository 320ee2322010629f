#include "Tessarine2/posix/unix_serialport.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

int aSerialPort_Open(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // O_NONBLOCK also keeps the open itself from waiting for carrier.
  int descriptor = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    return -1;
  }
  if (!isatty(descriptor)) {
    close(descriptor);
    errno = ENOTTY;
    return -1;
  }
  return descriptor;
}
