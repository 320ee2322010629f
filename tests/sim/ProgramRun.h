#ifndef TESTS_SIM_PROGRAMRUN_H
#define TESTS_SIM_PROGRAMRUN_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// This process's environment less its proxy settings, for the programs a
// test starts: libcurl in them would carry loopback requests off the
// machine through a proxy.
std::vector<std::string> environmentWithoutProxies();

// Runs a program (argv[0] is its path) to its end with no input and its
// output in the files out and err. Its exit status, or -1 when it could
// not start or did not exit by itself.
int runProgram(const std::vector<std::string>& argv, const std::string& out, const std::string& err);

// A shell command run to its end: its exit status (-1 when it did not
// start or did not exit by itself) and what it printed on both streams.
struct CommandRun {
  int status = -1;
  std::string output;
};
CommandRun runCommand(const std::string& command);

// The path of a program on PATH, or "" when it is not installed.
std::string findOnPath(const std::string& name);

// A program that runs beside the test and prints the port it listens on
// as its first line. It is stopped (SIGTERM) and reaped with this object.
class ListeningProgram {
 public:
  explicit ListeningProgram(const std::vector<std::string>& argv);
  ~ListeningProgram();
  ListeningProgram(const ListeningProgram&) = delete;
  ListeningProgram& operator=(const ListeningProgram&) = delete;

  // 0 when the program did not start or named no port within 5 s.
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testsupport

#endif
