// sim-lpc17xx-isp: the simulated LPC17xx ISP boot ROM as a process of its
// own, on a pseudo-terminal, for command-line tests and manual runs.
//
//   sim-lpc17xx-isp [--link PATH] [--serial W0,W1,W2,W3] [--part N]
//                   [--silent] [--answer C=TEXT]... [--verdict TEXT]...
//                   [--corrupt-read N] [--flash-in FILE] [--flash-out FILE]
//                   [--wire-out FILE] [--latency MS] [-- COMMAND...]
//
// It prints "device: /dev/pts/N" on standard output (and makes PATH a link
// to it with --link). With a COMMAND it runs it, every "{port}" replaced by
// the device path, and exits with its status once it ends; without one it
// serves until SIGINT or SIGTERM. At the end it reports on standard output
// what the chip went through ("synchronized", "unlocked", "go 0x%08X %c")
// and writes the 512 KiB flash image to --flash-out. --flash-in starts the
// chip with that image (at most 512 KiB, from address 0) in place of blank
// flash; --wire-out writes every byte the host sent.
//
// The line is paced like a real one: bytes cross at the port's rate both
// ways, the ROM's UART follows auto-baud and "B" (bytes at another rate
// arrive as garbage), erase and copy answers come only once the flash is
// done, and --latency adds a USB-serial adapter's latency to the answers.
//
// Faults: --silent answers nothing; --answer P=9\r\n sends that text in
// place of the answer to command P ("" for none); --verdict RESEND\r\n
// answers the next RAM-write checksum so (repeatable); --corrupt-read N
// sends the first N read blocks with a wrong checksum.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sim/bootrom/Lpc17xxIspLine.h"
#include "tests/sim/bootrom/Lpc17xxIspRom.h"
#include "tests/sim/bootrom/RomProcess.h"
#include "tests/sim/bootrom/SerialRomPeer.h"

namespace {

int usage(const char* argv0) {
  std::cerr << "usage: " << argv0
            << " [--link PATH] [--serial W0,W1,W2,W3] [--part N] [--silent] [--answer C=TEXT]...\n"
               "       [--verdict TEXT]... [--corrupt-read N] [--flash-in FILE] [--flash-out FILE]\n"
               "       [--wire-out FILE] [--latency MS] [-- COMMAND...]\n";
  return 2;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool toWord(const std::string& text, uint32_t* value) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || v > 0xFFFFFFFFull) {
    return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bootrom::LpcIdentity identity;
  bootrom::LpcFaults faults;
  std::string link, flashIn, flashOut, wireOut;
  std::vector<std::string> command;
  std::chrono::microseconds latency{0};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--") {
      command.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "--link") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      link = v;
    } else if (arg == "--serial") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      std::stringstream words(v);
      std::string word;
      for (uint32_t& w : identity.serial) {
        if (!std::getline(words, word, ',') || !toWord(word, &w)) return usage(argv[0]);
      }
    } else if (arg == "--part") {
      const char* v = value();
      if (v == nullptr || !toWord(v, &identity.partId)) return usage(argv[0]);
    } else if (arg == "--silent") {
      faults.silent = true;
    } else if (arg == "--answer") {
      const char* v = value();
      if (v == nullptr || std::strlen(v) < 2 || v[1] != '=') return usage(argv[0]);
      faults.answers[v[0]] = bootrom::unescape(v + 2);
    } else if (arg == "--verdict") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      faults.checksumVerdicts.push_back(bootrom::unescape(v));
    } else if (arg == "--corrupt-read") {
      const char* v = value();
      uint32_t n = 0;
      if (v == nullptr || !toWord(v, &n)) return usage(argv[0]);
      faults.corruptReadChecksums = static_cast<int>(n);
    } else if (arg == "--flash-out") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      flashOut = v;
    } else if (arg == "--flash-in") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      flashIn = v;
    } else if (arg == "--latency") {
      const char* v = value();
      uint32_t ms = 0;
      if (v == nullptr || !toWord(v, &ms) || ms > 1000) return usage(argv[0]);
      latency = std::chrono::milliseconds(ms);
    } else if (arg == "--wire-out") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      wireOut = v;
    } else {
      return usage(argv[0]);
    }
  }

  bootrom::blockServingSignals();
  bootrom::Lpc17xxIspRom rom(identity, faults);
  if (!flashIn.empty()) {
    std::ifstream in(flashIn, std::ios::binary);
    if (!in.is_open()) {
      std::cerr << "cannot read " << flashIn << std::endl;
      return 2;
    }
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() > bootrom::Lpc17xxIspRom::kFlashSize) {
      std::cerr << flashIn << " is larger than the flash" << std::endl;
      return 2;
    }
    rom.loadFlash(0, image);
  }
  int status = 0;
  std::string wire;
  {
    bootrom::SerialRomPeer peer(bootrom::lpcIspLineHandler(rom), bootrom::lpcIspLineOptions(latency));
    if (!link.empty()) {
      peer.publishAs(link);
    }
    std::cout << "device: " << peer.devicePath() << std::endl;
    if (command.empty()) {
      bootrom::waitForStop();
    } else {
      status = bootrom::runCommand(command, peer.devicePath(), {});
    }
    wire = peer.received();
  }
  if (!wireOut.empty() && !writeFile(wireOut, wire)) {
    std::cerr << "cannot write " << wireOut << std::endl;
    return status != 0 ? status : 1;
  }

  if (rom.synchronized()) std::cout << "synchronized" << std::endl;
  if (rom.unlocked()) std::cout << "unlocked" << std::endl;
  if (rom.running()) {
    char line[64];
    std::snprintf(line, sizeof line, "go 0x%08X %c", rom.goAddress(), rom.goMode());
    std::cout << line << std::endl;
  }
  if (!flashOut.empty()) {
    std::vector<uint8_t> image = rom.flash(0, bootrom::Lpc17xxIspRom::kFlashSize);
    if (!writeFile(flashOut, std::string(image.begin(), image.end()))) {
      std::cerr << "cannot write " << flashOut << std::endl;
      return status != 0 ? status : 1;
    }
  }
  return status;
}
