#include "updater/recovery/SDPLoader.h"

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "updater/support/Log.h"

namespace {

constexpr size_t MAX_COMMAND_BYTES = 17;  // report id + 16-byte SDP command
constexpr size_t MAX_WRITE_BYTES = 1024;  // image bytes per data packet

// Command types, sent twice over (both bytes equal).
constexpr unsigned char kReadRegister = 0x01;
constexpr unsigned char kWriteFile = 0x04;
constexpr unsigned char kErrorStatus = 0x05;
constexpr unsigned char kJumpAddress = 0x0B;
constexpr unsigned char kFormat32Bit = 0x20;

// Answer words.
constexpr unsigned int kTransferComplete = 0x88888888;
constexpr unsigned int kAcknowledge = 0xF0F0F0F0;  // also HAB's success status
// HAB's other status words.
constexpr unsigned int kHabFailure = 0x33333333;
constexpr unsigned int kHabWarning = 0x69696969;

constexpr int kLivenessAttempts = 5;
constexpr unsigned int kAnswerWaitMS = 100;

// The fields of a command are big-endian on the wire:
//   [1..2] type  [3..6] address  [7] format  [8..11] count  [12..15] data
void appendBigEndian(std::vector<unsigned char>& packet, unsigned int value) {
  packet.push_back(static_cast<unsigned char>(value >> 24));
  packet.push_back(static_cast<unsigned char>(value >> 16));
  packet.push_back(static_cast<unsigned char>(value >> 8));
  packet.push_back(static_cast<unsigned char>(value));
}

void appendCommand(std::vector<unsigned char>& packet, unsigned char type, unsigned int address,
                   unsigned char format, unsigned int count) {
  packet.push_back(SDPReport::COMMAND);
  packet.push_back(type);
  packet.push_back(type);
  appendBigEndian(packet, address);
  packet.push_back(format);
  appendBigEndian(packet, count);
}

}  // namespace

SDPLoader::SDPLoader() = default;

SDPLoader::~SDPLoader() { delete transport_; }

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
  if (transport == nullptr || transport_ != nullptr) {
    return false;
  }
  transport_ = transport;
  return true;
}

int SDPLoader::init() {
  if (transport_ == nullptr) {
    return 1;
  }
  return transport_->init() ? 0 : 6;
}

void SDPLoader::_fillCommand(std::vector<unsigned char>& packet) {
  while (packet.size() < MAX_COMMAND_BYTES) {
    packet.push_back(0);
  }
}

void SDPLoader::_createStatusPacket(std::vector<unsigned char>& packet) {
  packet.clear();
  appendCommand(packet, kErrorStatus, 0, 0, 0);
  _fillCommand(packet);
}

void SDPLoader::_createWriteFilePacket(std::vector<unsigned char>& packet, unsigned int address,
                                       unsigned int count) {
  packet.clear();
  appendCommand(packet, kWriteFile, address, kFormat32Bit, count);
  _fillCommand(packet);
}

void SDPLoader::_createJumpPacket(std::vector<unsigned char>& packet, unsigned int address) {
  appendCommand(packet, kJumpAddress, address, 0, 0);
  _fillCommand(packet);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<unsigned char>& packet, unsigned int address) {
  packet.clear();
  appendCommand(packet, kReadRegister, address, kFormat32Bit, 4);
  _fillCommand(packet);
}

void SDPLoader::_printBuffer(const std::vector<unsigned char>& buffer) {
  std::string text;
  char hex[4];
  for (unsigned char byte : buffer) {
    snprintf(hex, sizeof hex, "%X ", byte);
    text += hex;
  }
  Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

bool SDPLoader::_expectResponse(const std::vector<unsigned char>& reply) {
  unsigned int word = 0;
  return transport_->getDataFromBuffer(reply, 0, word);
}

bool SDPLoader::_expectSuccess(const std::vector<unsigned char>& reply) {
  unsigned int word = 0;
  return transport_->getDataFromBuffer(reply, 0, word) && word == kTransferComplete;
}

bool SDPLoader::_expectAck(const std::vector<unsigned char>& reply) {
  unsigned int word = 0;
  return transport_->getDataFromBuffer(reply, 0, word) && word == kAcknowledge;
}

void SDPLoader::_exchange(const std::vector<unsigned char>& packet, std::vector<unsigned char>& reply) {
  long written = transport_->writeData(packet);
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
  _printBuffer(packet);
  long got = transport_->readData(reply, kAnswerWaitMS);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
  _printBuffer(reply);
}

bool SDPLoader::_isConnectionAlive() {
  std::vector<unsigned char> packet;
  _createStatusPacket(packet);
  for (int attempt = 0; attempt < kLivenessAttempts; ++attempt) {
    std::vector<unsigned char> reply;
    _exchange(packet, reply);
    if (_expectResponse(reply)) {
      return true;
    }
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

int SDPLoader::writeLoader(std::vector<unsigned char> image, unsigned int address) {
  if (transport_ == nullptr) {
    return 1;
  }
  if (!_isConnectionAlive()) {
    return 2;
  }
  std::vector<unsigned char> packet;
  _createWriteFilePacket(packet, address, static_cast<unsigned int>(image.size()));
  long result = transport_->writeData(packet);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(result));
  _printBuffer(packet);

  std::vector<unsigned char> reply;
  int total = 0;
  int loop = 0;
  size_t consumed = 0;
  while (consumed < image.size()) {
    // The ROM is silent during a download; anything it says now is an
    // error report, and the rest of the image would land nowhere.
    reply.clear();
    long got = transport_->readData(reply, 0);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
    _printBuffer(reply);
    if (got > 0) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return 3;
    }
    size_t chunk = image.size() - consumed < MAX_WRITE_BYTES ? image.size() - consumed : MAX_WRITE_BYTES;
    packet.clear();
    packet.push_back(SDPReport::DATA);
    packet.insert(packet.end(), image.begin() + static_cast<long>(consumed),
                  image.begin() + static_cast<long>(consumed + chunk));
    result = transport_->writeData(packet);
    consumed += chunk;
    total += static_cast<int>(result);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
             static_cast<ssize_t>(result), total, loop, static_cast<long>(consumed),
             static_cast<ssize_t>(packet.size()));
    if (result < 0) {
      // The device is gone or the port stalled: the image cannot arrive
      // whole, so there is no point sending the rest.
      Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
      return 4;
    }
    ++loop;
  }

  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  reply.clear();
  transport_->readData(reply, kAnswerWaitMS);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(reply);
  if (_expectSuccess(reply)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return 0;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return 4;
}

int SDPLoader::startLoader(unsigned int address, JumpAnswer* answer) {
  if (transport_ == nullptr) {
    return 1;
  }
  std::vector<unsigned char> packet;
  _createJumpPacket(packet, address);
  long result = transport_->writeData(packet);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(result));
  _printBuffer(packet);
  // A ROM that takes the jump is gone; one that refuses it says why.
  std::vector<unsigned char> reply;
  long got = transport_->readData(reply, kAnswerWaitMS);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
  _printBuffer(reply);
  JumpAnswer heard;
  heard.habReported = transport_->getHabModeFromBuffer(reply, heard.habMode);
  heard.statusReported = transport_->getDataFromBuffer(reply, 0, heard.status);
  if (answer != nullptr) {
    *answer = heard;
  }
  if (heard.statusReported && heard.status != kAcknowledge) {
    Log::log(DEBUG_iMXSerial, "Jump to %08X refused: %s\n", address, describe(heard).c_str());
    return kJumpRefused;
  }
  return 0;
}

std::string SDPLoader::describe(const JumpAnswer& answer) {
  char text[128];
  std::string out;
  if (answer.habReported) {
    const char* mode = answer.habMode == IMX1050::HAB_CLOSED ? "HAB closed"
                       : answer.habMode == IMX1050::HAB_OPEN ? "HAB open"
                                                             : "HAB mode";
    snprintf(text, sizeof text, "%s (0x%08X)", mode, answer.habMode);
    out = text;
  }
  if (answer.statusReported) {
    const char* name = answer.status == kHabFailure   ? " (HAB failure)"
                       : answer.status == kHabWarning ? " (HAB warning)"
                       : answer.status == kAcknowledge ? " (HAB success)"
                                                       : "";
    snprintf(text, sizeof text, "%sstatus 0x%08X%s", out.empty() ? "" : ", ", answer.status, name);
    out += text;
  }
  return out.empty() ? std::string("nothing") : out;
}

bool SDPLoader::_readRegisterWord(unsigned int address, unsigned int& word) {
  std::vector<unsigned char> packet;
  _create4ByteReadRegisterPacket(packet, address);
  std::vector<unsigned char> reply;
  _exchange(packet, reply);
  word = 0;
  return transport_->getDataFromBuffer(reply, 0, word);
}

int SDPLoader::getFingerprint(unsigned long& id) {
  if (transport_ == nullptr) {
    return 1;
  }
  if (!_isConnectionAlive()) {
    return 2;
  }
  unsigned int low = 0;
  if (!_readRegisterWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low)) {
    return 7;
  }
  id |= static_cast<unsigned long>(low);
  unsigned int high = 0;
  if (!_readRegisterWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high)) {
    return 7;
  }
  id |= static_cast<unsigned long>(high) << 32;
  return 0;
}
