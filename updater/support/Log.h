#ifndef UPDATER_SUPPORT_LOG_H
#define UPDATER_SUPPORT_LOG_H

#include <cstdint>
#include <cstdio>

// Component bits of the diagnostic log, as the -X help text lists them. A
// line is printed when its mask is 0 or shares a bit with the active mask.
constexpr uint32_t DEBUG_Updater = 0x00000001;
constexpr uint32_t DEBUG_History = 0x00000002;
constexpr uint32_t DEBUG_Attributes = 0x00000004;
constexpr uint32_t DEBUG_BirdFile = 0x00000008;
// The help text calls both 0x10 and 0x100 "DEBUG_Network". Every network
// component logs with 0x100, so that bit keeps the name; 0x10 has no writer
// and gets a name of its own only because C++ needs two.
constexpr uint32_t DEBUG_Network_Reserved = 0x00000010;
constexpr uint32_t DEBUG_ServerComm = 0x00000020;
constexpr uint32_t DEBUG_Network = 0x00000100;
constexpr uint32_t DEBUG_Network_SR = 0x00000200;
constexpr uint32_t DEBUG_Network_FIRM = 0x00000400;
constexpr uint32_t DEBUG_NXPSerial = 0x00001000;
constexpr uint32_t DEBUG_NXPSerial_E = 0x00002000;
constexpr uint32_t DEBUG_NXPSerial_SR = 0x00004000;
constexpr uint32_t DEBUG_APP = 0x00010000;
constexpr uint32_t DEBUG_iMXSerial = 0x10000000;

// The application's diagnostic channel; static members only.
//
// package_bitmask and fh are set by the main thread before any other thread
// starts; afterwards log() only reads them, and each call hands its whole
// text to one stdio write, so lines of two threads do not interleave.
class Log {
 public:
  Log() {}
  ~Log() {}

  static uint32_t package_bitmask;
  static FILE* fh;  // nothing is written while NULL
  static bool timestamped;
  static const char* TIMESTAMP_FORMAT;
  static const char* SEPARATOR;

  // Writes the formatted text to fh as it is: no newline is added, nothing
  // is flushed. A text longer than 2047 bytes is cut to 2047.
  static void log(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

  static void SetOutput(FILE* out);
  static void ActivatePackage(uint32_t mask);
  static void DeactivatePackage(uint32_t mask);
};

#endif
