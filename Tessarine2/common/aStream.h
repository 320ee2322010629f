#ifndef TESSARINE2_COMMON_ASTREAM_H
#define TESSARINE2_COMMON_ASTREAM_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"

// A byte stream built from a transport's functions and its reference, with a
// push-back ring in front of the transport's reads. The record is opaque;
// every operation validates it and answers aErrParam for a NULL or invalid
// one.
//
// Threads: at most one reader and at most one writer at a time. The ring and
// aStream_WaitReadable belong to the reading side.
struct aStream;

// Delivers one byte: 0 with a byte, aErrNotReady when none is waiting now,
// aErrEOF at the end of the source, another code on failure. Never blocks
// for long.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
// Releases what the reference holds.
typedef aErr (*aStreamDeleteProc)(void* reference);
// Blocks until a read may deliver something (a byte, the end, an error) or
// the time is up. 0: read now. aErrTimeout: nothing came within the time.
// A timeout of 0 only looks.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMS, void* reference);

// First ring size and growth step of the push-back ring.
constexpr size_t aSTREAMBUFCHUNK = 512;

// Any function may be NULL. NULL when memory is short.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc deleteProc, void* reference);

// Gives the stream a way to wait for readable data. A stream without one
// (NULL) is taken to be always ready: its reads wait by themselves (USB) or
// never have to (files).
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);

// Waits up to timeoutMS for something to read: 0 at once when pushed-back
// bytes are held or the stream has no wait function, else the wait
// function's answer (0 ready, aErrTimeout). aErrMode without a get function.
// Reads stay non-blocking; a reader that would otherwise retry at once calls
// this after an aErrNotReady.
aErr aStream_WaitReadable(aStream* stream, uint32_t timeoutMS);

// All or nothing: on aErrNotReady the bytes taken are pushed back and the
// destination is untouched; on 0 or aErrEOF the bytes taken are copied.
aErr aStream_Read(aStream* stream, void* destination, size_t count);
aErr aStream_Write(aStream* stream, const void* data, size_t count);

// Pushes one byte back; reads deliver pushed-back bytes first, oldest first.
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

// Reads bytes up to the delimiter (consumed, not stored) or until size bytes
// are stored. size must be at least 1.
aErr aStream_ReadRecord(aStream* stream, void* buffer, size_t* length, size_t size, const void* delimiter,
                        size_t delimiterLength);
aErr aStream_WriteRecord(aStream* stream, const void* data, size_t length, const void* delimiter,
                         size_t delimiterLength);
// Text ended by a NUL, at most size - 1 characters, NUL-terminated on
// success. size must be at least 2.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
// Text ended by the characters of delimiter; size must be at least 2.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* delimiter);
// Sends the delimiter with its terminating NUL.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter);

// Copies source to destination until the source's end (then 0): the
// source's pushed-back bytes first, then its transport.
aErr aStream_Flush(aStream* source, aStream* destination);

// Calls the delete function, frees the record and clears the caller's
// pointer (in every case). Returns the delete function's result.
aErr aStream_Destroy(aStream** stream);

aErr aStream_CreateFileInput(const char* path, aStream** result);
aErr aStream_CreateFileOutput(const char* path, aStream** result);

// Transport streams, implemented per platform.

// Attempts a socket write makes while the peer cannot take more, and the
// longest pause between two attempts.
constexpr int aSOCKET_MAX_SEND_RETRY = 10;
constexpr uint32_t aSOCKET_RETRY_DELAY_MS = 60;

// TCP stream to an IPv4 address (network order) and port (host order).
// Every connection, the first and those made in place after a reset, gets
// aSOCKET_CONNECT_TIMEOUT_MS to come up; a first one that does not gives
// aErrResource. While the stream has no connection (the peer closed its
// end, or a reconnection failed) reads and writes answer aErrConnection,
// and a read tries to connect again in place once every
// aSOCKET_RECONNECT_PAUSE_MS. Reads come from a buffer that one receive
// fills; what arrived before a close is still delivered.
constexpr uint32_t aSOCKET_CONNECT_TIMEOUT_MS = 1000;
constexpr uint32_t aSOCKET_RECONNECT_PAUSE_MS = 1000;
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** result);

// Serial speed index of aStream_CreateSerial.
enum : int {
  aSERIAL_2400 = 0,
  aSERIAL_4800 = 1,
  aSERIAL_9600 = 2,
  aSERIAL_19200 = 3,
  aSERIAL_38400 = 4,
  aSERIAL_57600 = 5,
  aSERIAL_115200 = 6,
  aSERIAL_230400 = 7,
};

// Longest port name, terminating NUL included.
constexpr size_t aSERIAL_MAX_PORTNAME = 4096;

// Raw serial port. dataBits: 0 eight, 1 seven; stopBits: 0 one, 1 two.
// Reads answer at once (aErrNotReady when nothing waits) on every terminal
// device, a pseudo-terminal's master included; a path that is no terminal
// gives aErrIO. A write returns once its bytes have left the line, or
// aErrIO when the port stops taking them.
aErr aStream_CreateSerial(const char* portName, int speedIndex, bool parity, int dataBits, int stopBits,
                          aStream** result);

#endif
