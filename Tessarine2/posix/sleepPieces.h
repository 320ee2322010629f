#ifndef TESSARINE2_POSIX_SLEEPPIECES_H
#define TESSARINE2_POSIX_SLEEPPIECES_H

#include <cstdint>

namespace aTimeDetail {

// A sleep is handed to the system in pieces shorter than one second, the
// longest span every POSIX sleep call accepts in its microsecond field.
constexpr uint32_t kSleepPieceMaxMicroseconds = 999999;

// Milliseconds as microseconds, held at the largest value instead of wrapping.
uint64_t sleepMicroseconds(uint64_t milliseconds);

// Takes the next piece off the remaining microseconds; 0 when none is left.
uint32_t takeSleepPiece(uint64_t* remainingMicroseconds);

}  // namespace aTimeDetail

#endif
