#include "tests/sim/ChildProcess.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr int kCannotDropRoot = 125;

bool dropToNobody() {
  const passwd* nobody = getpwnam("nobody");
  uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
  gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
  return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 && getuid() != 0;
}

}  // namespace

int runInChild(const std::function<int()>& body, bool dropRoot) {
  pid_t pid = fork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    if (dropRoot && geteuid() == 0 && !dropToNobody()) {
      _exit(kCannotDropRoot);
    }
    _exit(body());
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
