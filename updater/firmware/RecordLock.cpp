#include "updater/firmware/RecordLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// flock has no timed form: the wait tries again after a pause that grows
// from the first to the longest, so a short hold costs little and a long
// one does not keep a processor busy.
constexpr int kFirstPauseMs = 1;
constexpr int kLongestPauseMs = 20;

}  // namespace

RecordLock::~RecordLock() { Release(); }

bool RecordLock::Acquire(const std::string& recordPath, int waitMs, std::string* error) {
  Release();
  const std::string lockPath = LockPathOf(recordPath);
  // Read-only is enough for flock, and opens a lock file that another user
  // made.
  int fd = open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot open lock file " + lockPath + ": " + std::strerror(errno);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(waitMs, 0));
  int pauseMs = kFirstPauseMs;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return true;
    }
    const int cause = errno;
    if (cause != EWOULDBLOCK && cause != EINTR) {
      close(fd);
      if (error != nullptr) *error = "cannot lock " + lockPath + ": " + std::strerror(cause);
      return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    const auto pause = std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(pauseMs),
                                                                      deadline - now);
    std::this_thread::sleep_for(pause);
    pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
  }
  close(fd);
  if (error != nullptr) {
    *error = lockPath + " is held by another process (waited " + std::to_string(waitMs) + " ms)";
  }
  return false;
}

void RecordLock::Release() {
  if (fd_ >= 0) {
    // Closing the descriptor releases the lock.
    close(fd_);
    fd_ = -1;
  }
}
