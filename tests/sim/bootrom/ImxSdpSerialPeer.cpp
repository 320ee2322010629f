#include "tests/sim/bootrom/ImxSdpSerialPeer.h"

namespace bootrom {

namespace {

void appendFrames(std::string& out, const std::vector<SdpFrame>& frames) {
  for (const SdpFrame& frame : frames) {
    out.append(frame.bytes.begin(), frame.bytes.end());
  }
}

}  // namespace

ImxSdpSerialPeer::ImxSdpSerialPeer(ImxSdpRom& rom)
    : rom_(rom), peer_([this](const std::string& bytes) { return receive(bytes); }) {}

std::string ImxSdpSerialPeer::receive(const std::string& bytes) {
  std::string out;
  const auto now = std::chrono::steady_clock::now();
  if (!command_.empty() && now - lastByte_ >= kCommandGap) {
    command_.clear();
  }
  lastByte_ = now;
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
  return out;
}

}  // namespace bootrom
