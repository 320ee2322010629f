#include "tests/sim/module/SimPacket.h"

namespace simmodule {

std::vector<uint8_t> SimPacket::wire() const {
  std::vector<uint8_t> bytes;
  bytes.reserve(data.size() + 2);
  bytes.push_back(address);
  bytes.push_back(static_cast<uint8_t>(data.size()));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

HostFramer::Result HostFramer::feed(uint8_t byte, SimPacket* out) {
  switch (want_) {
    case Want::Address:
      building_ = SimPacket();
      building_.address = byte;
      want_ = Want::Length;
      return Result::More;
    case Want::Length:
      if (byte > kMaxData) {
        reset();
        return Result::Error;
      }
      length_ = byte;
      if (length_ == 0) {
        *out = building_;
        reset();
        return Result::Packet;
      }
      want_ = Want::Data;
      return Result::More;
    case Want::Data:
      building_.data.push_back(byte);
      if (building_.data.size() == length_) {
        *out = building_;
        reset();
        return Result::Packet;
      }
      return Result::More;
  }
  return Result::Error;
}

void HostFramer::reset() {
  want_ = Want::Address;
  building_ = SimPacket();
  length_ = 0;
}

}  // namespace simmodule
