#include "tests/sim/ProgramRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace testsupport {

namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(&t[0]);
  out.push_back(nullptr);
  return out;
}

// posix_spawn with the environment less its proxies; -1 when it failed.
pid_t spawn(std::vector<std::string> argv, const posix_spawn_file_actions_t* actions) {
  std::vector<std::string> env = environmentWithoutProxies();
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(env);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], actions, nullptr, args.data(), envp.data()) != 0) return -1;
  return pid;
}

}  // namespace

std::vector<std::string> environmentWithoutProxies() {
  std::vector<std::string> kept;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "http_proxy" || lower == "https_proxy" || lower == "all_proxy" || lower == "no_proxy") continue;
    kept.push_back(text);
  }
  return kept;
}

int runProgram(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t pid = spawn(argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

ListeningProgram::ListeningProgram(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  pid_ = spawn(argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::string line;
  pollfd wait{pipeFds[0], POLLIN, 0};
  char c = 0;
  while (pid_ > 0 && poll(&wait, 1, 5000) == 1 && read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
  close(pipeFds[0]);
  port_ = std::atoi(line.c_str());
}

ListeningProgram::~ListeningProgram() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

CommandRun runCommand(const std::string& command) {
  CommandRun result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return result;
  }
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    result.output.append(buffer, n);
  }
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

}  // namespace testsupport
