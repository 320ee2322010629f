#include "tests/sim/PtyPeer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/sim/DescriptorIo.h"

namespace testsupport {

PtyPeer::PtyPeer() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    if (master_ >= 0) {
      close(master_);
    }
    throw std::runtime_error("no pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    close(master_);
    throw std::runtime_error("ptsname_r failed");
  }
  device_ = name;
}

PtyPeer::~PtyPeer() {
  for (const std::string& link : links_) {
    unlink(link.c_str());
  }
  hangUp();
  if (held_ >= 0) {
    close(held_);
  }
}

void PtyPeer::makeRaw() const {
  int device = open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (device < 0) {
    throw std::runtime_error("cannot open the device side");
  }
  termios raw{};
  tcgetattr(device, &raw);
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  int result = tcsetattr(device, TCSANOW, &raw);
  close(device);  // the settings stay with the terminal while the master is open
  if (result != 0) {
    throw std::runtime_error("cannot set the device side raw");
  }
}

bool PtyPeer::send(const std::string& bytes) const { return writeAll(master_, bytes.data(), bytes.size(), false); }

std::string PtyPeer::receive(size_t count, int timeoutMS) const {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMS);
  std::string got;
  while (got.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left < 0) {
      break;
    }
    pollfd entry{master_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) {
      if (left == 0) {
        break;
      }
      continue;
    }
    char buffer[4096];
    size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
    ssize_t n = read(master_, buffer, want);
    if (n <= 0) {
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

void PtyPeer::hangUp() {
  if (master_ >= 0) {
    // The terminal's number is free again once neither side is open, and
    // the next pseudo-terminal opened (another test's line) gets the same
    // device path. A device side kept open until the peer goes holds the
    // number: the path vanishes with the master and stays gone.
    if (held_ < 0) {
      held_ = open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    close(master_);
    master_ = -1;
  }
}

void PtyPeer::publishAs(const std::string& path) {
  unlink(path.c_str());  // a link left by a test that crashed
  if (symlink(device_.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot make " + path);
  }
  links_.push_back(path);
}

}  // namespace testsupport
