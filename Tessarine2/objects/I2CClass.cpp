#include "Tessarine2/objects/I2CClass.h"

#include <cstring>

#include "Tessarine2/common/aPacket.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

constexpr uint8_t kCommandI2C = 8;
constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullupSelector = 1;
constexpr uint8_t kMaxSpeed = 3;
// Reply data: [8, index, address, n, status, data...].
constexpr uint8_t kCountByte = 3;
constexpr uint8_t kStatusByte = 4;
constexpr uint8_t kReplyHeader = 5;
constexpr uint8_t kStatusFailed = 0x80;
constexpr uint8_t kStatusCode = 0x7F;

}  // namespace

I2CClass::I2CClass() : speed(0) {}
I2CClass::~I2CClass() = default;

aErr I2CClass::init(Module* module, uint8_t index) {
  speed = 0;
  return EntityClass::init(module, kCommandI2C, index);
}

aErr I2CClass::setSpeed(uint8_t newSpeed) {
  if (newSpeed > kMaxSpeed) {
    return aErrParam;
  }
  speed = newSpeed;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* current) {
  if (current == nullptr) {
    return aErrParam;
  }
  *current = speed;
  return aErrNone;
}

aErr I2CClass::awaitReply(const uint8_t* pattern, uint8_t patternLength, uint8_t* reply, uint8_t* length) {
  *length = patternLength;
  const aErr err = receivePacket(pattern, length, reply);
  if (err != aErrNone) {
    return err;
  }
  if (*length <= kStatusByte) {
    return aErrPacket;
  }
  const uint8_t status = reply[kStatusByte];
  if ((status & kStatusFailed) != 0) {
    // A failure without a code is still a failure.
    const uint8_t code = status & kStatusCode;
    return code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
  }
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
  if (length > kMaxTransfer) {
    return aErrSize;
  }
  if (buffer == nullptr && length != 0) {
    return aErrParam;
  }
  const uint8_t busAddress = static_cast<uint8_t>(address | kReadBit);
  const uint8_t request[] = {getIndex(), busAddress, length, speed};
  aErr err = sendPacket(kCommandI2C, sizeof request, request);
  if (err != aErrNone) {
    return err;
  }
  const uint8_t pattern[] = {kCommandI2C, getIndex(), busAddress};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = awaitReply(pattern, sizeof pattern, reply, &replyLength);
  if (err != aErrNone) {
    return err;
  }
  // The count is the module's: it must fit both what was asked for and
  // what the reply carries.
  const uint8_t n = reply[kCountByte];
  if (n > length || kReplyHeader + n > replyLength) {
    return aErrPacket;
  }
  if (n != 0) {
    std::memcpy(buffer, &reply[kReplyHeader], n);
  }
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kMaxTransfer) {
    return aErrSize;
  }
  if (data == nullptr && length != 0) {
    return aErrParam;
  }
  uint8_t request[4 + kMaxTransfer];
  request[0] = getIndex();
  request[1] = address;
  request[2] = length;
  request[3] = speed;
  if (length != 0) {
    std::memcpy(&request[4], data, length);
  }
  aErr err = sendPacket(kCommandI2C, static_cast<uint8_t>(length + 4), request);
  if (err != aErrNone) {
    return err;
  }
  const uint8_t pattern[] = {kCommandI2C, getIndex(), address, 0};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  return awaitReply(pattern, sizeof pattern, reply, &replyLength);
}

aErr I2CClass::setPullup(bool on) {
  const uint8_t request[] = {getIndex(), kPullupSelector, static_cast<uint8_t>(on ? 1 : 0)};
  aErr err = sendPacket(kCommandI2C, sizeof request, request);
  if (err != aErrNone) {
    return err;
  }
  const uint8_t pattern[] = {kCommandI2C, getIndex(), kPullupSelector};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  return awaitReply(pattern, sizeof pattern, reply, &replyLength);
}

}  // namespace Tessarine
}  // namespace Zeltrova
