// sim-module: a simulated module as a process of its own, for command-line
// tests.
//
//   sim-module [--address A] [--tcp PORT] [--bind ADDRESS] [--port-file FILE]
//              [--pty-link PATH] [--heartbeat MS] [--delay MS] [--silent]
//              [--serial N] [--model N] [--stream HZ] [--stream-keys FILE]
//
// --tcp serves the module on a loopback TCP port (0: any free one, written
// to --port-file and printed as "tcp PORT"); --pty-link serves it on a
// pseudo-terminal and makes PATH a link to the line's device side (a serial
// port, or the module kernel driver's node "/dev/tessarine.%08X"), printed
// as "pty PATH". The module has a system entity; --serial and --model set
// the serial number and model it reports. --stream samples a 32-bit
// counter (command 0x30, option 1, index 0) HZ times a second while a
// stream key covers it; --stream-keys keeps the enabled keys in FILE over a
// restart of the process. Runs until SIGINT or SIGTERM.

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "tests/sim/module/KeptStreamKeys.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/PtyFront.h"
#include "tests/sim/module/StreamSource.h"
#include "tests/sim/module/SystemEntity.h"
#include "tests/sim/module/TcpFront.h"
#include "tests/sim/module/UeiTable.h"
#include "tests/sim/module/UpgradeCommand.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: sim-module [--address A] [--tcp PORT] [--bind ADDRESS] [--port-file FILE]\n"
               "                  [--pty-link PATH] [--heartbeat MS] [--delay MS] [--silent]\n"
               "                  [--serial N] [--model N] [--stream HZ] [--stream-keys FILE]\n");
}

bool number(const char* text, unsigned long limit, unsigned long* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || value > limit) {
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long address = 0x06;
  unsigned long tcpPort = 0;
  unsigned long heartbeat = 0;
  unsigned long delay = 0;
  unsigned long streamRate = 0;
  unsigned long serial = simmodule::ModuleIdentity().serial;
  unsigned long model = simmodule::ModuleIdentity().model;
  bool tcp = false;
  bool silent = false;
  std::string bind = "127.0.0.1";
  std::string portFile;
  std::string ptyLink;
  std::string streamKeys;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = true;
    if (option == "--silent") {
      silent = true;
      continue;
    }
    if (value == nullptr) {
      usage();
      return 2;
    }
    ++i;
    if (option == "--address") {
      ok = number(value, 0xFE, &address) && address != 0 && (address & 1) == 0;
    } else if (option == "--tcp") {
      tcp = true;
      ok = number(value, 0xFFFF, &tcpPort);
    } else if (option == "--bind") {
      bind = value;
    } else if (option == "--port-file") {
      portFile = value;
    } else if (option == "--pty-link") {
      ptyLink = value;
    } else if (option == "--heartbeat") {
      ok = number(value, 3600000, &heartbeat);
    } else if (option == "--delay") {
      ok = number(value, 3600000, &delay);
    } else if (option == "--serial") {
      ok = number(value, 0xFFFFFFFF, &serial);
    } else if (option == "--model") {
      ok = number(value, 0xFF, &model);
    } else if (option == "--stream") {
      ok = number(value, 100000, &streamRate);
    } else if (option == "--stream-keys") {
      streamKeys = value;
    } else {
      ok = false;
    }
    if (!ok) {
      usage();
      return 2;
    }
  }
  if (!tcp && ptyLink.empty()) {
    usage();
    return 2;
  }

  // Signals are taken by sigwait below, not by a handler.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    simmodule::ModuleEngine engine(static_cast<uint8_t>(address));
    engine.setSilent(silent);
    engine.setReplyDelay(static_cast<uint32_t>(delay));
    // The system entity; made before the fronts, so that it outlives them.
    simmodule::UeiTable entities(engine, static_cast<uint8_t>(address));
    simmodule::ModuleIdentity identity;
    identity.serial = static_cast<uint32_t>(serial);
    identity.model = static_cast<uint8_t>(model);
    simmodule::addSystemEntity(entities, identity);
    // The firmware-upgrade command (95): resident firmware, then loader.
    simmodule::UpgradeCommand upgrade(engine, static_cast<uint8_t>(address));
    // Stream control (93) and the streamed counter.
    simmodule::StreamSource source(engine, static_cast<uint8_t>(address));
    source.addValue(0x30, 1, 0, simmodule::StreamSource::U32);
    if (!streamKeys.empty() && !simmodule::keepStreamKeys(source, streamKeys)) {
      std::fprintf(stderr, "sim-module: cannot read the stream keys in %s\n", streamKeys.c_str());
      return 1;
    }
    source.start(static_cast<uint32_t>(streamRate));
    std::unique_ptr<simmodule::TcpFront> tcpFront;
    std::unique_ptr<simmodule::PtyFront> ptyFront;
    if (tcp) {
      tcpFront = std::make_unique<simmodule::TcpFront>(engine, static_cast<uint16_t>(tcpPort), bind);
      if (!portFile.empty()) {
        // Whole or not at all for a reader that polls for the file.
        const std::string partial = portFile + ".partial";
        std::ofstream(partial) << tcpFront->port() << "\n";
        std::rename(partial.c_str(), portFile.c_str());
      }
      std::printf("tcp %u\n", static_cast<unsigned>(tcpFront->port()));
    } else {
      ptyFront = std::make_unique<simmodule::PtyFront>(engine);
      ptyFront->publishAs(ptyLink);
      std::printf("pty %s\n", ptyLink.c_str());
    }
    std::fflush(stdout);
    if (heartbeat > 0) {
      engine.startHeartbeats(static_cast<uint32_t>(heartbeat));
    }
    int signal = 0;
    sigwait(&stop, &signal);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sim-module: %s\n", error.what());
    return 1;
  }
  return 0;
}
