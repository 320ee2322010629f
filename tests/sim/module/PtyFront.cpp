#include "tests/sim/module/PtyFront.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace simmodule {

namespace {

constexpr char kCommandHangUp = 'h';
constexpr char kCommandQuit = 'q';

// The front whose loop runs on this thread. A caller on the loop's own
// thread (a handler that hangs up) must not wait for the loop; comparing
// with thread_ instead would read it on the loop's thread while the
// constructor may still be writing it.
thread_local const PtyFront* tLoopOf = nullptr;

}  // namespace

PtyFront::PtyFront(ModuleEngine& engine) : engine_(engine) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    if (master_ >= 0) {
      close(master_);
    }
    throw std::runtime_error("no pseudo-terminal for the simulated module");
  }
  device_ = name;
  device_fd_ = open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (device_fd_ < 0 || tcgetattr(device_fd_, &raw) != 0) {
    throw std::runtime_error("cannot open the simulated module's line");
  }
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  tcsetattr(device_fd_, TCSANOW, &raw);
  engine_.attach(
      [this](const uint8_t* bytes, size_t count) {
        std::lock_guard<std::mutex> hold(masterMutex_);
        if (master_ >= 0) {
          testsupport::writeAll(master_, bytes, count, false);
        }
      },
      [this] { hangUp(); });
  engine_.hostConnected();
  thread_ = std::thread([this] { loop(); });
}

PtyFront::~PtyFront() {
  engine_.detach();
  wake_.post(kCommandQuit);
  thread_.join();
  for (const std::string& link : links_) {
    unlink(link.c_str());
  }
  {
    std::lock_guard<std::mutex> hold(masterMutex_);
    if (master_ >= 0) {
      close(master_);
      master_ = -1;
    }
  }
  if (device_fd_ >= 0) {
    close(device_fd_);
  }
}

void PtyFront::publishAs(const std::string& path) {
  unlink(path.c_str());  // left by a run that crashed
  if (symlink(device_.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot make " + path);
  }
  links_.push_back(path);
}

void PtyFront::hangUp() {
  wake_.post(kCommandHangUp);
  if (tLoopOf == this) {
    return;
  }
  std::unique_lock<std::mutex> hold(masterMutex_);
  closedCv_.wait(hold, [this] { return master_ < 0; });
}

void PtyFront::loop() {
  tLoopOf = this;
  for (;;) {
    int master = -1;
    {
      std::lock_guard<std::mutex> hold(masterMutex_);
      master = master_;
    }
    pollfd entries[2] = {{wake_.readEnd(), POLLIN, 0}, {master, POLLIN, 0}};
    const nfds_t count = master >= 0 ? 2 : 1;
    if (poll(entries, count, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (entries[0].revents & POLLIN) {
      char what = 0;
      if (wake_.take(&what)) {
        if (what == kCommandQuit) {
          return;
        }
        // The device side stays open until the front goes: while it is,
        // the terminal's number is not given to another test's line, so
        // the vanished path cannot come back as someone else's.
        std::lock_guard<std::mutex> hold(masterMutex_);
        if (master_ >= 0) {
          close(master_);
          master_ = -1;
        }
        closedCv_.notify_all();
      }
      continue;
    }
    if (count == 2 && entries[1].revents != 0) {
      uint8_t buffer[4096];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        engine_.hostWrote(buffer, static_cast<size_t>(n));
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        // No device side open (EIO): wait for the host without spinning.
        pollfd none{};
        poll(&none, 0, 10);
      }
    }
  }
}

}  // namespace simmodule
