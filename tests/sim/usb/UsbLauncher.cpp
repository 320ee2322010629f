#include "tests/sim/usb/UsbLauncher.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tests/sim/usb/UmockdevPreload.h"

namespace testsupport::usb {

int runWithTestbed(const std::vector<std::string>& command) {
  if (command.empty()) {
    return -1;
  }
  std::vector<std::string> arguments = command;
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    applyUmockdevEnvironment();
    execvp(argv[0], argv.data());
    fprintf(stderr, "cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace testsupport::usb
