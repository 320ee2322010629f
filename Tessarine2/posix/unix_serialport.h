#ifndef TESSARINE2_POSIX_UNIX_SERIALPORT_H
#define TESSARINE2_POSIX_UNIX_SERIALPORT_H

// Opening a serial port for raw use: read-write, never as the process's
// controlling terminal, closed on exec, and non-blocking for good. Reads on
// it return at once whatever the device: VMIN 0 and VTIME 0 do that on an
// ordinary port, but on a pseudo-terminal's master those settings belong to
// the other side, and a blocking read there waits until the other side
// writes, which it may never do.
//
// The descriptor, or -1 with errno set; a path that opens but is no
// terminal (a file, a FIFO, /dev/null) is closed again and gives ENOTTY.
int aSerialPort_Open(const char* path);

#endif
