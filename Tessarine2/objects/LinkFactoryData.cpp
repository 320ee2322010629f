// Link: factory data, command 0x5E ('^'), in blocks 0..15. Byte 1 of a
// request carries the block index in its low 4 bits and flags above it;
// replies carry the index, with 0x80 set on error.
//
//   read piece   ['^', index (| 0x40 first)]            -> ['^', index, up to 26 bytes]
//                a full reply (28 data bytes) means more pieces follow
//   write piece  ['^', index | 0x10 (| 0x40 first), up to 26 bytes] -> ['^', index]
//   end          ['^', 0x20, count high, count low]     -> ['^', 0x00]
//   error reply  ['^', index | 0x80, code]

#include <algorithm>
#include <cstring>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LinkImpl.h"
#include "Tessarine2/objects/RawExchange.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

constexpr uint8_t kCommandFactory = 0x5E;
constexpr uint8_t kIndexMask = 0x0F;
constexpr uint8_t kFlagWrite = 0x10;
constexpr uint8_t kFlagEnd = 0x20;
constexpr uint8_t kFlagFirst = 0x40;
constexpr uint8_t kReplyError = 0x80;
constexpr uint8_t kEndReplyLength = 2;

constexpr uint8_t kLastIndex = 15;
constexpr size_t kPiece = aPACKET_MAX_DATA - 2;
// The end of a transfer counts its bytes in 16 bits.
constexpr size_t kMaxTransfer = 0xFFFF;

constexpr uint64_t kReplyWaitMS = 1000;

// A reply to the request: command 0x5E from the module asked, whose byte 1
// is the request's block index, with or without the error bit. The end of
// a transfer is acknowledged with ['^', 0x00] alone: a longer reply with
// byte 1 = 0 is a piece of block 0, never the acknowledgement.
bool sFactoryFilter(const aPacket* packet, const void* reference) {
  const RawRequest* request = static_cast<const RawRequest*>(reference);
  if (packet->address != request->module || packet->dataSize < 2 || packet->dataSize > aPACKET_MAX_DATA ||
      packet->data[0] != kCommandFactory || (packet->data[1] & ~kReplyError) != (request->data[1] & kIndexMask)) {
    return false;
  }
  const bool end = (request->data[1] & kFlagEnd) != 0;
  return !end || (packet->data[1] & kReplyError) != 0 || packet->dataSize == kEndReplyLength;
}

bool isError(const aPacket* reply) { return (reply->data[1] & kReplyError) != 0; }

// ['^', 0x20, count high, count low], acknowledged with ['^', 0x00].
aErr sEndTransfer(linkID link, uint8_t module, size_t count) {
  const uint8_t data[] = {kCommandFactory, kFlagEnd, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  aPacket* reply = nullptr;
  aErr err = rawExchange(link, RawRequest{module, data, sizeof data}, sFactoryFilter, kReplyWaitMS, &reply);
  if (err != aErrNone) {
    return err;
  }
  if (isError(reply)) {
    err = rawErrorCode(reply, 2);
  }
  aPacket_Destroy(&reply);
  return err;
}

}  // namespace

aErr Link::getFactoryData(uint8_t module, uint8_t index, uint8_t* buffer, size_t capacity, size_t* count) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  // Above 15 the index would reach into the flag bits (a write, an end).
  if (index > kLastIndex || count == nullptr || (buffer == nullptr && capacity != 0)) {
    return aErrParam;
  }
  const linkID link = m_impl->linkRef;
  aErr err = aErrNone;
  size_t got = 0;
  bool first = true;
  bool more = true;
  while (err == aErrNone && more) {
    const uint8_t request[] = {kCommandFactory, static_cast<uint8_t>(first ? (index | kFlagFirst) : index)};
    first = false;
    aPacket* reply = nullptr;
    err = rawExchange(link, RawRequest{module, request, sizeof request}, sFactoryFilter, kReplyWaitMS, &reply);
    if (err == aErrNone) {
      if (isError(reply)) {
        err = rawErrorCode(reply, 2);
      } else {
        const size_t n = static_cast<size_t>(reply->dataSize) - 2;
        if (got + n >= capacity || got + n > kMaxTransfer) {
          // The buffer must stay larger than the data.
          err = aErrOverrun;
        } else {
          std::memcpy(buffer + got, &reply->data[2], n);
          got += n;
          more = reply->dataSize == aPACKET_MAX_DATA;
        }
      }
    }
    aPacket_Destroy(&reply);
  }
  if (err == aErrNone) {
    err = sEndTransfer(link, module, got);
  }
  if (err == aErrNone) {
    *count = got;
  }
  return err;
}

aErr Link::setFactoryData(uint8_t module, uint8_t index, const uint8_t* data, size_t length) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  if (index > kLastIndex || (data == nullptr && length != 0) || length > kMaxTransfer) {
    return aErrParam;
  }
  const linkID link = m_impl->linkRef;
  aErr err = aErrNone;
  size_t sent = 0;
  while (err == aErrNone && sent < length) {
    const size_t n = std::min(kPiece, length - sent);
    uint8_t request[aPACKET_MAX_DATA] = {kCommandFactory,
                                         static_cast<uint8_t>(index | kFlagWrite | (sent == 0 ? kFlagFirst : 0))};
    std::memcpy(&request[2], data + sent, n);
    aPacket* reply = nullptr;
    err = rawExchange(link, RawRequest{module, request, static_cast<uint8_t>(2 + n)}, sFactoryFilter, kReplyWaitMS,
                      &reply);
    if (err == aErrNone) {
      if (isError(reply)) {
        err = rawErrorCode(reply, 2);
      } else if (reply->dataSize != 2) {
        err = aErrSize;
      }
    }
    aPacket_Destroy(&reply);
    sent += n;
  }
  if (err == aErrNone) {
    err = sEndTransfer(link, module, sent);
  }
  return err;
}

}  // namespace Tessarine
}  // namespace Zeltrova
