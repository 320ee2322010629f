#include "tests/sim/bootrom/RomProcess.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bootrom {

namespace {

sigset_t servingSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGCHLD);
  return set;
}

}  // namespace

void blockServingSignals() {
  sigset_t set = servingSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void waitForStop() {
  sigset_t set = servingSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0 && (signal == SIGINT || signal == SIGTERM)) {
      return;
    }
  }
}

int runCommand(const std::vector<std::string>& argv, const std::string& port, const std::vector<std::string>& env) {
  std::vector<std::string> words;
  for (std::string word : argv) {
    for (size_t at = word.find("{port}"); at != std::string::npos; at = word.find("{port}", at + port.size())) {
      word.replace(at, 6, port);
    }
    words.push_back(word);
  }
  std::vector<char*> args;
  for (std::string& word : words) {
    args.push_back(&word[0]);
  }
  args.push_back(nullptr);
  std::vector<std::string> settings = env;

  pid_t child = fork();
  if (child < 0) {
    return 127;
  }
  if (child == 0) {
    sigset_t set = servingSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    for (std::string& entry : settings) {
      putenv(&entry[0]);
    }
    execvp(args[0], args.data());
    std::perror(args[0]);
    _exit(127);
  }
  sigset_t set = servingSignals();
  for (;;) {
    int status = 0;
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int signal = 0;
    if (sigwait(&set, &signal) == 0 && (signal == SIGINT || signal == SIGTERM)) {
      kill(child, SIGTERM);
    }
  }
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char next = text[++i];
    if (next == 'r') {
      out += '\r';
    } else if (next == 'n') {
      out += '\n';
    } else if (next == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += next;
    }
  }
  return out;
}

}  // namespace bootrom
