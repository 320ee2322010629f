#include "updater/recovery/HID_SDPLoader.h"

#include <hidapi.h>

#include <climits>
#include <cstring>

#include "updater/support/Log.h"

namespace {

// Report id plus the largest input report of the boot ROM.
constexpr size_t MAX_READ_BYTES = 65;
// The HAB-mode report counts as its id and one word, however long the read
// that delivered it.
constexpr size_t kHabReportBytes = 5;
// One answer, gathered: the HAB-mode report and one full response report.
constexpr size_t kAnswerBytes = kHabReportBytes + MAX_READ_BYTES;
constexpr size_t kAnswerWordsAt = kHabReportBytes + 1;
constexpr unsigned int kLastWordIndex = 15;
// A device that keeps sending never ends a gathering otherwise; no answer of
// the protocol comes near this many reports.
constexpr int kMaxReportsPerRead = 64;

}  // namespace

HID_SDPLoader::HID_SDPLoader(unsigned short vendorId, unsigned short productId)
    : vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle_ != nullptr) {
    hid_close(handle_);
    handle_ = nullptr;
  }
  hid_exit();
}

bool HID_SDPLoader::init() {
  if (handle_ != nullptr) {
    return true;
  }
  hid_init();
  handle_ = hid_open(vendorId_, productId_, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
  return handle_ != nullptr;
}

long HID_SDPLoader::writeData(const std::vector<unsigned char>& packet) {
  if (handle_ == nullptr || packet.empty()) {
    return -1;
  }
  return hid_write(handle_, packet.data(), packet.size());
}

long HID_SDPLoader::readData(std::vector<unsigned char>& reply, unsigned int timeoutMS) {
  if (handle_ == nullptr) {
    return 0;
  }
  const int timeout = timeoutMS > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMS);
  unsigned char buffer[MAX_READ_BYTES] = {};
  long total = 0;
  for (int reports = 0; reports < kMaxReportsPerRead; ++reports) {
    int got = hid_read_timeout(handle_, buffer, sizeof buffer, timeout);
    if (got <= 0) {
      break;  // time-out and error alike end the answer
    }
    size_t counted = static_cast<size_t>(got);
    if (buffer[0] == SDPReport::HAB_MODE && counted > kHabReportBytes) {
      counted = kHabReportBytes;
    }
    reply.insert(reply.end(), buffer, buffer + counted);
    total += static_cast<long>(counted);
    std::memset(buffer, 0, sizeof buffer);
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                                      unsigned int& value) {
  if (reply.size() != kAnswerBytes || index > kLastWordIndex) {
    return false;
  }
  const size_t at = kAnswerWordsAt + 4 * static_cast<size_t>(index);
  value |= static_cast<unsigned int>(reply[at]) | static_cast<unsigned int>(reply[at + 1]) << 8 |
           static_cast<unsigned int>(reply[at + 2]) << 16 | static_cast<unsigned int>(reply[at + 3]) << 24;
  return true;
}

bool HID_SDPLoader::getHabModeFromBuffer(const std::vector<unsigned char>& reply, unsigned int& value) {
  if (reply.size() < kHabReportBytes || reply[0] != SDPReport::HAB_MODE) {
    return false;
  }
  value = static_cast<unsigned int>(reply[1]) | static_cast<unsigned int>(reply[2]) << 8 |
          static_cast<unsigned int>(reply[3]) << 16 | static_cast<unsigned int>(reply[4]) << 24;
  return true;
}
