// Serial-port stream over termios: raw, reads that answer at once, writes
// bounded by the line's rate.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "Tessarine2/common/aStream.h"
#include "Tessarine2/posix/unix_serialline.h"
#include "Tessarine2/posix/unix_serialport.h"
#include "Tessarine2/posix/unix_streampoll.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;

// Indexed by the speed index of aStream_CreateSerial.
const speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
const uint64_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr int kSpeedCount = sizeof kSpeeds / sizeof kSpeeds[0];
// Output still queued at close is waited for this long beyond its line time
// before the port is closed anyway (a line that no longer drains).
constexpr uint64_t kCloseDrainSlackUS = 1000000;
// A write that finds the port's buffer full waits this long beyond the line
// time of what the port holds for room to appear.
constexpr uint64_t kWriteStallSlackUS = 1000000;

struct SerialStream {
  int speedIndex = 0;
  char portName[aSERIAL_MAX_PORTNAME] = {};
  int descriptor = -1;
  termios saved{};  // as found at open, put back at delete
  termios working{};
  uint16_t check = 0;
  bool savedValid = false;
  aSerialLine line;  // when what was written has left the port
};

bool aVALIDSERIAL(const SerialStream* record) { return record != nullptr && record->check == kSerialCheck; }

aErr sOpenError(int error) {
  if (error == ENOENT) {
    return aErrNotFound;
  }
  if (error == EACCES || error == EPERM) {
    return aErrPermission;
  }
  return aErrIO;
}

aErr sSerialOpen(SerialStream* record, bool parity, int dataBits, int stopBits) {
  // The descriptor stays non-blocking: every read answers at once, whatever
  // the device makes of VMIN and VTIME, and the stream's wait is the only
  // thing that blocks.
  int descriptor = aSerialPort_Open(record->portName);
  if (descriptor < 0) {
    return sOpenError(errno);
  }
  record->descriptor = descriptor;
  if (tcgetattr(descriptor, &record->saved) != 0) {
    return aErrIO;
  }
  record->savedValid = true;
  termios working = record->saved;
  working.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  working.c_oflag = 0;
  working.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) | (stopBits == 1 ? CSTOPB : 0);
  working.c_lflag = 0;
  speed_t speed = kSpeeds[record->speedIndex];
  if (cfsetispeed(&working, speed) != 0 || cfsetospeed(&working, speed) != 0) {
    return aErrIO;
  }
  working.c_cc[VMIN] = 0;
  working.c_cc[VTIME] = 0;
  record->working = working;
  if (tcsetattr(descriptor, TCSANOW, &record->working) != 0) {
    return aErrIO;
  }
  if (tcflush(descriptor, TCIOFLUSH) != 0) {
    return aErrIO;
  }
  return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* reference) {
  SerialStream* record = static_cast<SerialStream*>(reference);
  if (!aVALIDSERIAL(record)) {
    return aErrParam;
  }
  ssize_t got = read(record->descriptor, byte, 1);
  if (got == 1) {
    return aErrNone;
  }
  if (got == 0) {
    // A line that was hung up (adapter unplugged, far end of a
    // pseudo-terminal closed) also reads as 0 bytes; only poll tells.
    pollfd entry{};
    entry.fd = record->descriptor;
    entry.events = POLLIN;
    if (poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return aErrIO;
    }
    return aErrNotReady;
  }
  if (errno == EAGAIN || errno == EINTR) {
    return aErrNotReady;
  }
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* reference) {
  SerialStream* record = static_cast<SerialStream*>(reference);
  if (!aVALIDSERIAL(record) || data == nullptr) {
    return aErrParam;
  }
  // The port takes what fits in its buffer; the rest waits for room, which
  // the line makes at its rate. A port that takes nothing for longer than
  // its queue needs to drain plus slack has stopped (a pseudo-terminal's
  // master whose other side never reads, a line held by flow control).
  size_t done = 0;
  uint64_t progressUS = aSerialLine::nowUS();
  while (done < length) {
    ssize_t written = write(record->descriptor, data + done, length - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
      record->line.sent(static_cast<uint64_t>(written));
      progressUS = aSerialLine::nowUS();
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      return aErrIO;
    }
    int queued = 0;
    if (ioctl(record->descriptor, TIOCOUTQ, &queued) != 0 || queued < 0) {
      queued = 0;
    }
    const uint64_t giveUpUS = progressUS + record->line.lineTimeUS(static_cast<uint64_t>(queued)) + kWriteStallSlackUS;
    const uint64_t now = aSerialLine::nowUS();
    if (now >= giveUpUS) {
      return aErrIO;
    }
    pollfd entry{};
    entry.fd = record->descriptor;
    entry.events = POLLOUT;
    const uint64_t leftMS = (giveUpUS - now + 999) / 1000;
    poll(&entry, 1, leftMS > 1000 ? 1000 : static_cast<int>(leftMS));
  }
  // A write ends when its bytes are on the wire, so that every answer is
  // awaited from then on.
  record->line.waitUntilSent(record->descriptor, kCloseDrainSlackUS);
  return aErrNone;
}

aErr sSerialPut(uint8_t byte, void* reference) { return sSerialWrite(&byte, 1, reference); }

aErr sSerialWait(uint32_t timeoutMS, void* reference) {
  SerialStream* record = static_cast<SerialStream*>(reference);
  if (!aVALIDSERIAL(record)) {
    return aErrParam;
  }
  return aStream_PollDescriptor(record->descriptor, timeoutMS);
}

aErr sSerialDelete(void* reference) {
  SerialStream* record = static_cast<SerialStream*>(reference);
  if (!aVALIDSERIAL(record)) {
    return aErrParam;
  }
  if (record->descriptor >= 0) {
    // Nothing written is lost at close, nor sent at the settings put back.
    record->line.waitUntilSent(record->descriptor, kCloseDrainSlackUS);
    if (record->savedValid) {
      tcsetattr(record->descriptor, TCSANOW, &record->saved);
    }
    close(record->descriptor);
    record->descriptor = -1;
  }
  record->check = 0;
  delete record;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* portName, int speedIndex, bool parity, int dataBits, int stopBits,
                          aStream** result) {
  if (portName == nullptr || result == nullptr || (dataBits != 0 && dataBits != 1) ||
      (stopBits != 0 && stopBits != 1) || speedIndex < 0 || speedIndex >= kSpeedCount) {
    return aErrResource;
  }
  if (strnlen(portName, aSERIAL_MAX_PORTNAME) >= aSERIAL_MAX_PORTNAME) {
    return aErrFileNameLength;
  }
  *result = nullptr;
  SerialStream* record = new (std::nothrow) SerialStream();
  if (record == nullptr) {
    return aErrResource;
  }
  record->speedIndex = speedIndex;
  record->line.setRate(kRates[speedIndex]);
  strcpy(record->portName, portName);
  record->check = kSerialCheck;
  aStream* stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, record);
  if (stream == nullptr) {
    sSerialDelete(record);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, sSerialWait);
  aErr err = sSerialOpen(record, parity, dataBits, stopBits);
  if (err != aErrNone) {
    aStream_Destroy(&stream);
    return err;
  }
  *result = stream;
  return aErrNone;
}
