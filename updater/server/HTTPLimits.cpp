#include "updater/server/HTTPLimits.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

// Milliseconds as a person reads them: "3 s", "3.2 s".
std::string secondsText(long ms) {
  char text[32];
  if (ms % 1000 == 0) {
    std::snprintf(text, sizeof text, "%ld s", ms / 1000);
  } else {
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  }
  return text;
}

unsigned long long nonNegative(long value) { return value > 0 ? static_cast<unsigned long long>(value) : 0; }

}  // namespace

long HTTPLimits::DeadlineMS(HTTPAnswer answer, long long declaredBytes) const {
  unsigned long long total = nonNegative(connectTimeoutMS) + nonNegative(answerMS);
  if (answer == HTTPAnswer::Bulk) {
    const unsigned long long body =
        declaredBytes >= 0 ? std::min<unsigned long long>(static_cast<unsigned long long>(declaredBytes), maxBodyBytes)
                           : maxBodyBytes;
    const unsigned long long perSecond = std::max(nonNegative(bulkBytesPerSecond), 1ull);
    total += body / perSecond * 1000 + (body % perSecond * 1000 + perSecond - 1) / perSecond;
  }
  return total > static_cast<unsigned long long>(LONG_MAX) ? LONG_MAX : static_cast<long>(total);
}

std::string HTTPLimits::DescribeDeadline(HTTPAnswer answer, long long declaredBytes) const {
  std::string text = "no complete answer within " + secondsText(DeadlineMS(answer, declaredBytes)) + ", the bound for ";
  if (answer == HTTPAnswer::Short) return text + "a short answer";
  const std::string rate = " at " + std::to_string(bulkBytesPerSecond) + " bytes a second";
  if (declaredBytes >= 0) return text + "its " + std::to_string(declaredBytes) + " declared bytes" + rate;
  return text + "an answer of up to " + std::to_string(maxBodyBytes) + " bytes" + rate;
}

std::string HTTPLimits::DescribeLowSpeed(long long receivedBytes) const {
  const std::string window = " for " + std::to_string(lowSpeedSeconds) + " s";
  if (receivedBytes <= 0) return "nothing arrived" + window;
  return "fewer than " + std::to_string(lowSpeedBytesPerSecond) + " bytes a second arrived" + window;
}

std::string HTTPLimits::DescribeConnectTimeout() const {
  return "no connection within " + secondsText(connectTimeoutMS);
}
