// sim-imxrt-sdp: the simulated i.MX RT boot ROM (Serial Download Protocol)
// as a process of its own, on a pseudo-terminal or as an emulated USB HID
// device, for command-line tests and manual runs.
//
//   sim-imxrt-sdp (--serial [--link PATH] [--after-jump TEXT] | --hid [--pad-hab]) [--uid HEX]
//                 [--silent] [--ignore-status N] [--no-register-answer]
//                 [--speak-during-download] [--no-confirm] [--complete-word HEX]
//                 [--shape normal|short|garbage|doubled]
//                 [--memory-out ADDRESS:COUNT:FILE] [-- COMMAND...]
//
// --serial prints "device: /dev/pts/N"; --hid prints "device: USB" and
// "umockdev: ROOT": a host reaches the emulated device 1FC9:0130 when it
// runs with umockdev's preload library and UMOCKDEV_DIR=ROOT, which COMMAND
// is given. With a COMMAND it runs it, "{port}" replaced by the device
// (the path, or "USB"), and exits with its status; without one it serves
// until SIGINT or SIGTERM. It prints "write 0x%08X %u" for every download,
// "jump 0x%08X" for the jump, and writes COUNT bytes of memory from ADDRESS
// to FILE at the end. --after-jump: what the started image says on the UART
// (escapes as \r, \n, \xHH), as a real boot loader prints its banner.
// The serial line is paced like a real one at 115200 baud.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/bootrom/ImxSdpHidDevice.h"
#include "tests/sim/bootrom/ImxSdpRom.h"
#include "tests/sim/bootrom/ImxSdpSerialPeer.h"
#include "tests/sim/bootrom/RomProcess.h"
#include "tests/sim/usb/UmockdevPreload.h"

namespace {

int usage(const char* argv0) {
  std::cerr << "usage: " << argv0
            << " (--serial [--link PATH] [--after-jump TEXT] | --hid [--pad-hab]) [--uid HEX] [--silent]\n"
               "       [--ignore-status N] [--no-register-answer] [--speak-during-download] [--no-confirm]\n"
               "       [--complete-word HEX]"
               " [--shape normal|short|garbage|doubled] [--memory-out ADDRESS:COUNT:FILE] [-- COMMAND...]\n";
  return 2;
}

bool toNumber(const std::string& text, unsigned long long limit, unsigned long long* value) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || v > limit) {
    return false;
  }
  *value = v;
  return true;
}

// What the host process needs to reach the emulated device.
std::vector<std::string> hostEnvironment(const std::string& root) {
  std::vector<std::string> env = testsupport::usb::umockdevEnvironment();
  env.push_back("UMOCKDEV_DIR=" + root);
  return env;
}

}  // namespace

int main(int argc, char** argv) {
  bool serial = false, hid = false;
  std::string link, memoryOut, afterJump;
  unsigned long long uid = 0x0123456789ABCDEFull;
  bootrom::SdpFaults faults;
  bootrom::HidDeviceOptions hidOptions;
  std::vector<std::string> command;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    unsigned long long n = 0;
    if (arg == "--") {
      command.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "--serial") {
      serial = true;
    } else if (arg == "--hid") {
      hid = true;
    } else if (arg == "--link") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      link = v;
    } else if (arg == "--after-jump") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      afterJump = bootrom::unescape(v);
    } else if (arg == "--pad-hab") {
      hidOptions.padHabReport = true;
    } else if (arg == "--uid") {
      const char* v = value();
      if (v == nullptr || !toNumber(v, ~0ull, &uid)) return usage(argv[0]);
    } else if (arg == "--silent") {
      faults.silent = true;
    } else if (arg == "--ignore-status") {
      const char* v = value();
      if (v == nullptr || !toNumber(v, 1000, &n)) return usage(argv[0]);
      faults.ignoreStatusRequests = static_cast<int>(n);
    } else if (arg == "--no-register-answer") {
      faults.answerReadRegister = false;
    } else if (arg == "--speak-during-download") {
      faults.speakDuringDownload = true;
    } else if (arg == "--no-confirm") {
      faults.confirmDownload = false;
    } else if (arg == "--complete-word") {
      const char* v = value();
      if (v == nullptr || !toNumber(v, 0xFFFFFFFFull, &n)) return usage(argv[0]);
      faults.downloadCompleteWord = static_cast<uint32_t>(n);
    } else if (arg == "--shape") {
      const char* v = value();
      std::string shape = v != nullptr ? v : "";
      if (shape == "normal") faults.shape = bootrom::SdpAnswerShape::Normal;
      else if (shape == "short") faults.shape = bootrom::SdpAnswerShape::Short;
      else if (shape == "garbage") faults.shape = bootrom::SdpAnswerShape::Garbage;
      else if (shape == "doubled") faults.shape = bootrom::SdpAnswerShape::Doubled;
      else return usage(argv[0]);
    } else if (arg == "--memory-out") {
      const char* v = value();
      if (v == nullptr) return usage(argv[0]);
      memoryOut = v;
    } else {
      return usage(argv[0]);
    }
  }
  if (serial == hid) {
    return usage(argv[0]);
  }

  bootrom::blockServingSignals();
  bootrom::ImxSdpRom rom(uid, faults);
  rom.setOnJump([](uint32_t address) {
    char line[32];
    std::snprintf(line, sizeof line, "jump 0x%08X", address);
    std::cout << line << std::endl;
  });
  int status = 0;
  if (serial) {
    bootrom::ImxSdpSerialPeer peer(rom);
    peer.setAfterJump(afterJump);
    if (!link.empty()) {
      peer.publishAs(link);
    }
    std::cout << "device: " << peer.devicePath() << std::endl;
    status = command.empty() ? (bootrom::waitForStop(), 0) : bootrom::runCommand(command, peer.devicePath(), {});
  } else {
    bootrom::ImxSdpHidDevice device(rom, hidOptions);
    std::cout << "device: USB\numockdev: " << device.rootDir() << std::endl;
    status = command.empty() ? (bootrom::waitForStop(), 0)
                             : bootrom::runCommand(command, "USB", hostEnvironment(device.rootDir()));
  }

  for (const bootrom::ImxSdpRom::Download& d : rom.downloads()) {
    char line[48];
    std::snprintf(line, sizeof line, "write 0x%08X %u", d.address, static_cast<unsigned>(d.bytes.size()));
    std::cout << line << std::endl;
  }
  if (!memoryOut.empty()) {
    size_t first = memoryOut.find(':'), second = memoryOut.find(':', first + 1);
    unsigned long long address = 0, count = 0;
    if (first == std::string::npos || second == std::string::npos ||
        !toNumber(memoryOut.substr(0, first), 0xFFFFFFFFull, &address) ||
        !toNumber(memoryOut.substr(first + 1, second - first - 1), 0x1000000ull, &count)) {
      return usage(argv[0]);
    }
    std::vector<uint8_t> bytes = rom.memory(static_cast<uint32_t>(address), static_cast<size_t>(count));
    std::ofstream out(memoryOut.substr(second + 1), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      return status != 0 ? status : 1;
    }
  }
  return status;
}
