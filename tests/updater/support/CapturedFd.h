#ifndef TESTS_UPDATER_SUPPORT_CAPTUREDFD_H
#define TESTS_UPDATER_SUPPORT_CAPTUREDFD_H

#include <string>

namespace testsupport {

// Points a file descriptor (standard output or error) at a pipe until
// release(), which puts the original back and returns what was written.
// Output must stay below the pipe's capacity (64 KiB). gtest prints its
// failures on standard output, so assert only after release().
class CapturedFd {
 public:
  explicit CapturedFd(int fd);
  ~CapturedFd();
  CapturedFd(const CapturedFd&) = delete;
  CapturedFd& operator=(const CapturedFd&) = delete;

  std::string release();

 private:
  void restore();

  int fd_;
  int saved_;
  int readEnd_;
};

}  // namespace testsupport

#endif
