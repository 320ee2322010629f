#include "updater/recovery/SerialPortProblem.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "Tessarine2/posix/unix_serialport.h"

namespace {

const char* kindOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return "not a terminal";
  }
  if (S_ISFIFO(info.st_mode)) return "it is a FIFO";
  if (S_ISREG(info.st_mode)) return "it is a regular file";
  if (S_ISSOCK(info.st_mode)) return "it is a socket";
  if (S_ISBLK(info.st_mode)) return "it is a block device";
  return "it is a device that is not a terminal";
}

}  // namespace

std::string serialPortProblem(const std::string& port) {
  if (port.empty()) {
    return "no serial port given (-s)";
  }
  const int descriptor = aSerialPort_Open(port.c_str());
  if (descriptor >= 0) {
    close(descriptor);
    return "";
  }
  const int error = errno;
  if (error == ENOTTY) {
    return port + " is not a serial port: " + kindOf(port);
  }
  return "cannot open serial port " + port + ": " + strerror(error);
}
