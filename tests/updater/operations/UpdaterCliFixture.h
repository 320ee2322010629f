#ifndef TESTS_UPDATER_OPERATIONS_UPDATERCLIFIXTURE_H
#define TESTS_UPDATER_OPERATIONS_UPDATERCLIFIXTURE_H

// The Updater executable and sim-updateserver, each a process of its own.
// Needs SIM_UPDATESERVER_PATH.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/sim/ProgramRun.h"
#include "tests/sim/TempDir.h"

namespace opstest {

class UpdaterCliFixture : public ::testing::Test {
 protected:
  // sim-updateserver serving the model directory dir/models.
  void startServer() {
    server = std::make_unique<testsupport::ListeningProgram>(
        std::vector<std::string>{SIM_UPDATESERVER_PATH, "--models", dir.file("models")});
  }
  std::string serverUrl() const { return "http://127.0.0.1:" + std::to_string(server->port()) + "/cgi/u"; }

  // Runs a program to its end; its exit status, with out and err holding
  // what it printed.
  int runCaptured(const std::vector<std::string>& argv) {
    int status = testsupport::runProgram(argv, dir.file("out"), dir.file("err"));
    out = testsupport::readFile(dir.file("out"));
    err = testsupport::readFile(dir.file("err"));
    return status;
  }
  bool printed(const std::string& text) const { return out.find(text + "\n") != std::string::npos; }
  bool complained(const std::string& text) const { return err.find(text + "\n") != std::string::npos; }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ListeningProgram> server;
  std::string out;
  std::string err;
};

}  // namespace opstest

#endif
