// sim-updateserver: the simulated update server as a process of its own, for
// command-line tests and manual runs of the tool against loopback.
//
//   sim-updateserver [--models DIR] [--port N] [--port-file FILE] [--log FILE]
//                    [--only-op OP] [--status N] [--body-file FILE] [--crlf]
//                    [--blank-line] [--keep-lines N] [--upper-ok] [--bad-base64]
//                    [--delay-ms N] [--stall] [--short-body] [--no-content-length]
//                    [--close]
//
// It listens on 127.0.0.1 (an ephemeral port unless --port), prints the port
// on a line of its own on standard output, writes it to --port-file too, and
// serves until SIGINT or SIGTERM. The tool reaches it with
// "-u http://127.0.0.1:PORT/cgi/u". --log appends every request target, raw,
// one per line; requests that break the query protocol are reported on
// standard error. The model directory layout is described in
// UpdateServerModel.cpp.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/sim/updateserver/UpdateServerModel.h"
#include "tests/sim/updateserver/UpdateServerPeer.h"

namespace {

int usage(const char* argv0) {
  std::cerr << "usage: " << argv0
            << " [--models DIR] [--port N] [--port-file FILE] [--log FILE]\n"
               "  faults: [--only-op OP] [--status N] [--body-file FILE] [--crlf] [--blank-line]\n"
               "          [--keep-lines N] [--upper-ok] [--bad-base64] [--delay-ms N] [--stall]\n"
               "          [--short-body] [--no-content-length] [--close]\n";
  return 2;
}

bool toInt(const char* text, int* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > 1000000000) return false;
  *value = static_cast<int>(v);
  return true;
}

// Written under a temporary name and renamed, so a reader polling for the
// file never sees it half written.
bool writePortFile(const std::string& path, uint16_t port) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary);
    out << port << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string models, portFile, logFile;
  int port = 0;
  testsupport::UpdateServerFaults faults;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    auto needs = [&](int* value) { return next != nullptr && toInt(next, value) && (++i, true); };
    if (a == "--models" && next) {
      models = argv[++i];
    } else if (a == "--port" && needs(&port) && port <= 65535) {
    } else if (a == "--port-file" && next) {
      portFile = argv[++i];
    } else if (a == "--log" && next) {
      logFile = argv[++i];
    } else if (a == "--only-op" && next) {
      faults.onlyOp = argv[++i];
    } else if (a == "--status" && needs(&faults.status)) {
    } else if (a == "--body-file" && next) {
      std::ifstream in(argv[++i], std::ios::binary);
      if (!in) {
        std::cerr << "cannot read " << argv[i] << "\n";
        return 2;
      }
      std::ostringstream s;
      s << in.rdbuf();
      faults.body = s.str();
    } else if (a == "--crlf") {
      faults.crlf = true;
    } else if (a == "--blank-line") {
      faults.blankLineAfterFirst = true;
    } else if (a == "--keep-lines" && needs(&faults.keepLines)) {
    } else if (a == "--upper-ok") {
      faults.upperCaseOk = true;
    } else if (a == "--bad-base64") {
      faults.badBase64 = true;
    } else if (a == "--delay-ms" && needs(&faults.delayMs)) {
    } else if (a == "--stall") {
      faults.stallAfterHeaders = true;
    } else if (a == "--short-body") {
      faults.shortBody = true;
    } else if (a == "--no-content-length") {
      faults.noContentLength = true;
    } else if (a == "--close") {
      faults.closeWithoutReply = true;
    } else {
      return usage(argv[0]);
    }
  }

  testsupport::UpdateServerModel model;
  try {
    if (!models.empty()) model = testsupport::UpdateServerModel::LoadDirectory(models);
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }

  // Blocked before the server thread starts, so the thread inherits the mask
  // and the signals reach only sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::ofstream log;
  if (!logFile.empty()) {
    log.open(logFile, std::ios::app);
    if (!log) {
      std::cerr << "cannot open " << logFile << "\n";
      return 1;
    }
  }

  testsupport::UpdateServerPeer peer(std::move(model));
  peer.setFaults(faults);
  peer.setObserver([&log](const testsupport::RecordedRequest& r) {
    if (log.is_open()) log << r.target << std::endl;
    if (!r.violation.empty()) std::cerr << "sim-updateserver: " << r.target << ": " << r.violation << std::endl;
  });
  try {
    peer.start(static_cast<uint16_t>(port));
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  std::cout << peer.port() << std::endl;
  if (!portFile.empty() && !writePortFile(portFile, peer.port())) {
    std::cerr << "cannot write " << portFile << "\n";
    peer.stop();
    return 1;
  }

  int signal = 0;
  sigwait(&stopSignals, &signal);
  peer.stop();
  return 0;
}
