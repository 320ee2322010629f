#include "tests/updater/support/CapturedFd.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace testsupport {

CapturedFd::CapturedFd(int fd) : fd_(fd), saved_(-1), readEnd_(-1) {
  int ends[2];
  if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
  fflush(nullptr);
  saved_ = dup(fd_);
  dup2(ends[1], fd_);
  close(ends[1]);
  readEnd_ = ends[0];
}

CapturedFd::~CapturedFd() {
  restore();
  if (readEnd_ >= 0) close(readEnd_);
}

void CapturedFd::restore() {
  if (saved_ < 0) return;
  fflush(nullptr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
}

std::string CapturedFd::release() {
  // Restoring closes the last write end, so the read below ends at EOF.
  restore();
  std::string captured;
  char chunk[4096];
  ssize_t got;
  while ((got = read(readEnd_, chunk, sizeof chunk)) > 0) captured.append(chunk, static_cast<size_t>(got));
  return captured;
}

}  // namespace testsupport
