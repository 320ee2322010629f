#include "tests/updater/support/TerminalStdout.h"

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <stdexcept>

namespace testsupport {

namespace {

// Upper bound for a child that hangs; the children here finish at once.
constexpr int kChildTimeoutMs = 10000;

// Reads fd until EOF, or until EIO, which is how a pty master reports that
// the last slave descriptor has gone (after the pending bytes are read).
bool readUntilClosed(int fd, std::string& into) {
  char chunk[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, kChildTimeoutMs);
    if (ready == 0) return false;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
      into.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got == 0 || errno == EIO;
  }
}

}  // namespace

void ChildStdout::toTerminal() const {
  fflush(stdout);
  dup2(terminal_, STDOUT_FILENO);
}

void ChildStdout::toPipe() const {
  fflush(stdout);
  dup2(pipe_, STDOUT_FILENO);
}

TerminalRun runWithTerminalStdout(const std::function<void(const ChildStdout&)>& body) {
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  struct termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);

  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");

  fflush(nullptr);  // nothing buffered in the parent is written twice
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(master);
    close(pipeEnds[0]);
    ChildStdout out(slave, pipeEnds[1]);
    out.toTerminal();
    int status = 0;
    try {
      body(out);
    } catch (...) {
      status = 1;
    }
    fflush(nullptr);
    _exit(status);
  }

  close(slave);
  close(pipeEnds[1]);
  TerminalRun run;
  bool closed = readUntilClosed(master, run.terminal);
  if (closed) readUntilClosed(pipeEnds[0], run.piped);
  close(master);
  close(pipeEnds[0]);
  if (!closed) kill(pid, SIGKILL);

  int status = 0;
  waitpid(pid, &status, 0);
  run.exitStatus = closed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace testsupport
