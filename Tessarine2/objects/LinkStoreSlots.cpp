// Link: store slots, command 4. A slot is opened for reading or writing,
// which gives a module-side handle; data moves in pieces under the handle;
// the handle is closed again, also after a failed transfer.
//
//   sub              request                    reply            error reply
//   1 capacity       [4, 1, store, slot]        [.., high, low]  [4, 0x81, store, slot, code]
//   2 size           [4, 2, store, slot]        [.., high, low]  [4, 0x82, store, slot, code]
//   3 open to read   [4, 3, store, slot]        [.., handle]     [4, 0x83, store, slot, code]
//   4 open to write  [4, 4, store, slot]        [.., handle]     [4, 0x84, store, slot, code]
//   6 read           [4, 6, handle]             [4, 6, handle, data...]   [4, 0x86, handle, code]
//   7 write          [4, 7, handle, 1..25 data] [4, 7, handle, 8-bit sum] [4, 0x87, handle, code]
//   8 close          [4, 8, handle]             [4, 8, handle, any]       [4, 0x88, handle, code]

#include <algorithm>
#include <cstring>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LinkImpl.h"
#include "Tessarine2/objects/RawExchange.h"

namespace Zeltrova {
namespace Tessarine {

namespace {

constexpr uint8_t kCommandSlot = 4;
constexpr uint8_t kSubCapacity = 1;
constexpr uint8_t kSubSize = 2;
constexpr uint8_t kSubOpenRead = 3;
constexpr uint8_t kSubOpenWrite = 4;
constexpr uint8_t kSubRead = 6;
constexpr uint8_t kSubWrite = 7;
constexpr uint8_t kSubClose = 8;
constexpr uint8_t kReplyError = 0x80;

constexpr uint8_t kNoHandle = 255;
// [4, 7, handle] leaves 25 bytes of a packet for data.
constexpr size_t kWritePiece = aPACKET_MAX_DATA - 3;

constexpr uint64_t kOpenWaitMS = 3000;
constexpr uint64_t kReplyWaitMS = 1000;

// A reply to the request: command 4, the same sub-command (with or without
// the error bit), from the module asked, and for the same store and slot
// (subs 1..4) or the same handle (subs 5..8).
bool sSlotFilter(const aPacket* packet, const void* reference) {
  const RawRequest* request = static_cast<const RawRequest*>(reference);
  if (packet->address != request->module || packet->dataSize < 4 || packet->dataSize > aPACKET_MAX_DATA ||
      packet->data[0] != kCommandSlot || (packet->data[1] & ~kReplyError) != request->data[1]) {
    return false;
  }
  const uint8_t sub = request->data[1];
  if (sub >= kSubCapacity && sub <= kSubOpenWrite) {
    return packet->data[2] == request->data[2] && packet->data[3] == request->data[3];
  }
  return packet->data[2] == request->data[2];
}

bool isError(const aPacket* reply) { return (reply->data[1] & kReplyError) != 0; }

// The handle of an opened slot; kNoHandle in every other case.
uint8_t sOpenSlot(linkID link, uint8_t module, uint8_t store, uint8_t slot, uint8_t mode) {
  const uint8_t data[] = {kCommandSlot, mode, store, slot};
  aPacket* reply = nullptr;
  const aErr err = rawExchange(link, RawRequest{module, data, sizeof data}, sSlotFilter, kOpenWaitMS, &reply);
  uint8_t handle = kNoHandle;
  // [4, mode, store, slot, handle]: a reply without its handle byte opens
  // nothing.
  if (err == aErrNone && reply->dataSize > 4 && !isError(reply)) {
    handle = reply->data[4];
  }
  aPacket_Destroy(&reply);
  return handle;
}

aErr sCloseSlot(linkID link, uint8_t module, uint8_t handle) {
  const uint8_t data[] = {kCommandSlot, kSubClose, handle};
  aPacket* reply = nullptr;
  aErr err = rawExchange(link, RawRequest{module, data, sizeof data}, sSlotFilter, kReplyWaitMS, &reply);
  if (err != aErrNone) {
    return err;
  }
  if (reply->dataSize > 4) {
    err = aErrIO;
  } else if (isError(reply)) {
    err = rawErrorCode(reply, 3);
  }
  aPacket_Destroy(&reply);
  return err;
}

// Size (sub 2) or capacity (sub 1) of a slot: [4, sub, store, slot, high,
// low].
aErr sSlotQuantity(linkID link, uint8_t module, uint8_t sub, uint8_t store, uint8_t slot, size_t* out) {
  if (out == nullptr) {
    return aErrParam;
  }
  const uint8_t data[] = {kCommandSlot, sub, store, slot};
  aPacket* reply = nullptr;
  aErr err = rawExchange(link, RawRequest{module, data, sizeof data}, sSlotFilter, kReplyWaitMS, &reply);
  if (err != aErrNone) {
    return err;
  }
  if (isError(reply)) {
    err = rawErrorCode(reply, 4);
  } else if (reply->dataSize == 6) {
    *out = static_cast<size_t>((reply->data[4] << 8) | reply->data[5]);
  } else {
    err = aErrUnknown;
  }
  aPacket_Destroy(&reply);
  return err;
}

}  // namespace

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
  const aErr allowed = requestCheck(*this, module);
  return allowed != aErrNone ? allowed : sSlotQuantity(m_impl->linkRef, module, kSubSize, store, slot, size);
}

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
  const aErr allowed = requestCheck(*this, module);
  return allowed != aErrNone ? allowed : sSlotQuantity(m_impl->linkRef, module, kSubCapacity, store, slot, capacity);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  if (data == nullptr && length != 0) {
    return aErrParam;
  }
  const linkID link = m_impl->linkRef;
  const uint8_t handle = sOpenSlot(link, module, store, slot, kSubOpenWrite);
  if (handle == kNoHandle) {
    return aErrMedia;
  }
  aErr err = aErrNone;
  size_t sent = 0;
  while (err == aErrNone && sent < length) {
    const size_t n = std::min(kWritePiece, length - sent);
    uint8_t request[aPACKET_MAX_DATA] = {kCommandSlot, kSubWrite, handle};
    std::memcpy(&request[3], data + sent, n);
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
      sum = static_cast<uint8_t>(sum + data[sent + i]);
    }
    aPacket* reply = nullptr;
    err =
        rawExchange(link, RawRequest{module, request, static_cast<uint8_t>(3 + n)}, sSlotFilter, kReplyWaitMS, &reply);
    if (err == aErrNone) {
      if (isError(reply)) {
        // Whatever its length: an error reply is never an acknowledgement.
        err = rawErrorCode(reply, 3);
      } else if (reply->dataSize == 4 && reply->data[3] != sum) {
        err = aErrIO;
      }
    }
    aPacket_Destroy(&reply);
    sent += n;
  }
  const aErr closed = sCloseSlot(link, module, handle);
  return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                           size_t* count) {
  const aErr allowed = requestCheck(*this, module);
  if (allowed != aErrNone) {
    return allowed;
  }
  if (count == nullptr || (buffer == nullptr && capacity != 0)) {
    return aErrParam;
  }
  const linkID link = m_impl->linkRef;
  size_t size = 0;
  aErr err = sSlotQuantity(link, module, kSubSize, store, slot, &size);
  if (err != aErrNone) {
    return err;
  }
  const uint8_t handle = sOpenSlot(link, module, store, slot, kSubOpenRead);
  if (handle == kNoHandle) {
    return aErrMedia;
  }
  const size_t toRead = std::min(size, capacity);
  size_t got = 0;
  while (err == aErrNone && got < toRead) {
    const uint8_t request[] = {kCommandSlot, kSubRead, handle};
    aPacket* reply = nullptr;
    err = rawExchange(link, RawRequest{module, request, sizeof request}, sSlotFilter, kReplyWaitMS, &reply);
    if (err == aErrNone) {
      if (reply->dataSize <= 3) {
        err = aErrUnknown;
      } else if (isError(reply)) {
        err = rawErrorCode(reply, 3);
      } else {
        // Bytes beyond what was asked for are dropped.
        const size_t n = std::min(static_cast<size_t>(reply->dataSize - 3), toRead - got);
        std::memcpy(buffer + got, &reply->data[3], n);
        got += n;
      }
    }
    aPacket_Destroy(&reply);
  }
  const aErr closed = sCloseSlot(link, module, handle);
  if (err == aErrNone) {
    err = closed;
  }
  // What the buffer holds, also after a failure half-way.
  *count = got;
  if (err == aErrNone && size > capacity) {
    err = aErrOverrun;
  }
  return err;
}

}  // namespace Tessarine
}  // namespace Zeltrova
