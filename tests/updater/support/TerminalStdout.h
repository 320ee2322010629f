#ifndef TESTS_UPDATER_SUPPORT_TERMINALSTDOUT_H
#define TESTS_UPDATER_SUPPORT_TERMINALSTDOUT_H

#include <functional>
#include <string>

namespace testsupport {

// What a child wrote while its standard output was the terminal, and while
// it was pointed at a pipe.
struct TerminalRun {
  std::string terminal;
  std::string piped;
  int exitStatus;  // -1 when the child did not exit normally
};

// Lets the child move its standard output between the terminal and a pipe.
class ChildStdout {
 public:
  ChildStdout(int terminal, int pipe) : terminal_(terminal), pipe_(pipe) {}
  void toTerminal() const;
  void toPipe() const;

 private:
  int terminal_;
  int pipe_;
};

// Runs body in a forked child whose standard output is the slave of a fresh
// pseudo-terminal in raw mode (so "\n" arrives as it is, not as "\r\n"), and
// collects the bytes from the master side. body must not use gtest
// assertions: the child's results are not reported.
TerminalRun runWithTerminalStdout(const std::function<void(const ChildStdout&)>& body);

}  // namespace testsupport

#endif
