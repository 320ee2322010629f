#ifndef TESTS_SIM_DESCRIPTORIO_H
#define TESTS_SIM_DESCRIPTORIO_H

// Small pieces shared by the peers and the simulated module's fronts:
// writing a whole buffer to a descriptor, and the pipe that wakes a poll
// loop with one-byte commands.

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <stdexcept>

namespace testsupport {

// Writes all count bytes, going on after signals; false once the descriptor
// takes no more. A socket is written with MSG_NOSIGNAL, so that a host that
// went away gives an error rather than SIGPIPE.
inline bool writeAll(int fd, const void* bytes, size_t count, bool socket) {
  const char* data = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = socket ? send(fd, data + done, count - done, MSG_NOSIGNAL) : write(fd, data + done, count - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// A pipe whose read end sits in a poll loop; other threads post one-byte
// commands to it.
class WakePipe {
 public:
  WakePipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) {
      throw std::runtime_error("no wake pipe");
    }
  }
  ~WakePipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int readEnd() const { return fds_[0]; }
  void post(char command) const {
    while (write(fds_[1], &command, 1) < 0 && errno == EINTR) {
    }
  }
  // The next command, once poll has found one; false when none was read.
  bool take(char* command) const { return read(fds_[0], command, 1) == 1; }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace testsupport

#endif
