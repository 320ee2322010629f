#include "tests/sim/bootrom/ImxSdpSerialPeer.h"

namespace bootrom {

namespace {

void appendFrames(std::string& out, const std::vector<SdpFrame>& frames) {
  for (const SdpFrame& frame : frames) {
    out.append(frame.bytes.begin(), frame.bytes.end());
  }
}

SerialRomPeer::Options atFixedRate(SerialRomPeer::Options options) {
  if (options.baud == 0) {
    options.baud = ImxSdpSerialPeer::kBaud;
  }
  return options;
}

}  // namespace

ImxSdpSerialPeer::ImxSdpSerialPeer(ImxSdpRom& rom) : ImxSdpSerialPeer(rom, SerialRomPeer::Options()) {}

ImxSdpSerialPeer::ImxSdpSerialPeer(ImxSdpRom& rom, SerialRomPeer::Options options)
    : rom_(rom),
      peer_(SerialRomPeer::Handler([this](const std::string& bytes) { return receive(bytes); }), atFixedRate(options)) {}

void ImxSdpSerialPeer::setAfterJump(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  afterJump_ = text;
}

std::string ImxSdpSerialPeer::receive(const std::string& bytes) {
  std::string out;
  const bool before = rom_.jumped();
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    // Between commands, a download in progress takes the raw bytes.
    if (command_.empty() && rom_.dataExpected() > 0) {
      size_t taken = 0;
      appendFrames(out, rom_.data(p, left, &taken));
      if (taken == 0) {
        break;
      }
      p += taken;
      left -= taken;
      continue;
    }
    command_ += static_cast<char>(*p++);
    --left;
    if (command_.size() == ImxSdpRom::kCommandBytes) {
      appendFrames(out, rom_.command(reinterpret_cast<const uint8_t*>(command_.data())));
      command_.clear();
    }
  }
  if (!before && rom_.jumped()) {
    std::lock_guard<std::mutex> lock(mutex_);
    out += afterJump_;
  }
  return out;
}

}  // namespace bootrom
