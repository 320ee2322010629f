#ifndef UPDATER_RECOVERY_NXPSERIALINTERNAL_H
#define UPDATER_RECOVERY_NXPSERIALINTERNAL_H

// Helpers shared by the NXPSerialClass sources; not part of its interface.

#include <cstddef>
#include <cstdint>
#include <string>

namespace nxpserial {

// Every reply line ends with CR LF.
constexpr char kTerminator[] = "\r\n";
constexpr unsigned long TERMINATION_SIZE = 2;

// Empty polls a reply line may take before it is given up, 1 ms apart.
constexpr unsigned int kLineRetries = 100;
constexpr unsigned long kLineSize = 1024;

// What a reply wait must allow for beyond the bytes themselves: a
// USB-serial adapter holds received bytes up to its latency timer (16 ms
// by default) before passing them on.
constexpr unsigned int kAdapterLatencyMS = 16;

// Worst-case flash timings of the LPC17xx: a sector erase takes 95 to
// 105 ms, programming 0.95 to 1.05 ms per 256 bytes.
constexpr unsigned int kSectorEraseMaxMS = 105;
constexpr unsigned int kCopyMaxMSPer256Hundredths = 105;

// Milliseconds n bytes take on the line at baud (start, 8 data and stop
// bit each), rounded up; 0 for a baud of 0.
uint64_t LINE_TIME_MS(uint64_t bytes, uint64_t baud);

// Time for n bytes to cross the line at baud, 9 bit times a byte plus two
// bytes of slack, in ms; 1 for a baud of 0.
uint64_t WAIT_TIME_MS(uint64_t bytes, uint64_t baud);

// "Sending:[53 0D 0A] [S\r\n]" style dumps.
std::string hexBytes(const char* data, size_t count);
std::string printableBytes(const char* data, size_t count, bool escapeLineEnds);

// The return code that ends a reply line: the digits just before its CR LF.
// False when the line carries no code there.
bool replyCode(const char* line, unsigned long count, long* code, std::string* digits);

}  // namespace nxpserial

#endif
