#include "tests/sim/bootrom/SerialRomPeer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace bootrom {

namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

SerialRomPeer::SerialRomPeer(Handler handler) : handler_(std::move(handler)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    closeIfOpen(master_);
    throw std::runtime_error("no pseudo-terminal");
  }
  device_ = name;
  // Opened with the system call itself: under umockdev's preload library a
  // /dev path opened through libc may be taken for an emulated device.
  holder_ = static_cast<int>(syscall(SYS_openat, AT_FDCWD, device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios raw{};
  if (holder_ < 0 || tcgetattr(holder_, &raw) != 0) {
    closeIfOpen(holder_);
    closeIfOpen(master_);
    throw std::runtime_error("cannot open the device side");
  }
  // Raw at once: a canonical, echoing line would bounce the ROM's answers
  // back at it before the host sets the port up.
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  tcsetattr(holder_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    closeIfOpen(holder_);
    closeIfOpen(master_);
    throw std::runtime_error("no pipe");
  }
  thread_ = std::thread(&SerialRomPeer::run, this);
}

SerialRomPeer::~SerialRomPeer() {
  if (write(wake_[1], "x", 1) < 0) {
    // The thread also ends when the pipe's write side is closed below.
  }
  closeIfOpen(wake_[1]);
  thread_.join();
  closeIfOpen(wake_[0]);
  if (!link_.empty()) {
    unlink(link_.c_str());
  }
  closeIfOpen(holder_);
  closeIfOpen(master_);
}

std::string SerialRomPeer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void SerialRomPeer::publishAs(const std::string& path) {
  unlink(path.c_str());  // left behind by a run that crashed
  if (symlink(device_.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot make " + path);
  }
  link_ = path;
}

// Waits for room on the line or for the stop request; false on stop.
bool SerialRomPeer::writeAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return true;  // nobody to tell; the host finds out by itself
    }
    pollfd entries[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    if (poll(entries, 2, -1) < 0 && errno != EINTR) {
      return false;
    }
    if (entries[1].revents != 0) {
      return false;
    }
  }
  return true;
}

void SerialRomPeer::run() {
  char buffer[4096];
  for (;;) {
    pollfd entries[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(entries, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (entries[1].revents != 0) {
      return;
    }
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) {
      continue;
    }
    std::string bytes(buffer, static_cast<size_t>(n));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += bytes;
    }
    std::string answer = handler_(bytes);
    if (!answer.empty() && !writeAll(answer)) {
      return;
    }
  }
}

}  // namespace bootrom
