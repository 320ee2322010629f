#ifndef UPDATER_RECOVERY_SDPLOADER_H
#define UPDATER_RECOVERY_SDPLOADER_H

#include <string>
#include <vector>

#include "updater/recovery/SDPLoader_Interface.h"

// The i.MX RT1050 family as the recovery flow meets it.
namespace IMX1050 {
constexpr unsigned int OCOTP_BASE_ADDRESS = 0x401F4000;  // fuse controller
constexpr unsigned int CFG0_OFFSET = 0x410;              // unique id, low word
constexpr unsigned int CFG1_OFFSET = 0x420;              // unique id, high word
constexpr unsigned short VID = 0x1FC9;                   // boot ROM on USB
constexpr unsigned short PID = 0x0130;
constexpr unsigned int DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
// The HAB mode word that leads every answer of the boot ROM: closed (the
// chip starts only signed images) or open.
constexpr unsigned int HAB_CLOSED = 0x12343412;
constexpr unsigned int HAB_OPEN = 0x56787856;
}  // namespace IMX1050

// NXP's Serial Download Protocol over one transport: checks that the boot
// ROM answers, downloads an image with WRITE_FILE, starts it with
// JUMP_ADDRESS and reads the fuse identifier with READ_REGISTER.
//
// Results: 0 success; 1 no transport; 2 the ROM does not answer; 3 the ROM
// spoke during a download; 4 the download was not confirmed; 5 the ROM
// refused a jump; 6 the transport did not open; 7 a register read got no
// answer.
class SDPLoader {
 public:
  static constexpr int kNoAnswer = 2;
  static constexpr int kSpokeDuringDownload = 3;
  static constexpr int kNotConfirmed = 4;
  static constexpr int kJumpRefused = 5;

  // What the boot ROM said to a jump. A ROM that takes the jump leaves its
  // download protocol and says nothing more; one that refuses it answers
  // its HAB mode and an error status, and stays in the protocol.
  struct JumpAnswer {
    bool habReported = false;
    unsigned int habMode = 0;
    bool statusReported = false;
    unsigned int status = 0;
  };
  // The answer in words: "HAB closed (0x12343412), status 0x33333333 (HAB
  // failure)".
  static std::string describe(const JumpAnswer& answer);

  SDPLoader();
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership of the transport. False, ownership staying with the
  // caller, for a null pointer or when a transport is already set.
  bool setLoader(SDPLoader_Interface* transport);

  int init();
  int writeLoader(std::vector<unsigned char> image, unsigned int address);
  // Sends JUMP_ADDRESS and reads what the ROM says within the answer
  // window: 0 when it says nothing (it jumped) or no error status,
  // kJumpRefused when it answers one. *answer, when given, is what it said.
  int startLoader(unsigned int address, JumpAnswer* answer = nullptr);
  // ORs the 64-bit fuse identifier (CFG1:CFG0) into id.
  int getFingerprint(unsigned long& id);

 private:
  bool _isConnectionAlive();
  bool _expectResponse(const std::vector<unsigned char>& reply);
  bool _expectSuccess(const std::vector<unsigned char>& reply);
  bool _expectAck(const std::vector<unsigned char>& reply);
  void _createStatusPacket(std::vector<unsigned char>& packet);
  void _createWriteFilePacket(std::vector<unsigned char>& packet, unsigned int address, unsigned int count);
  void _createJumpPacket(std::vector<unsigned char>& packet, unsigned int address);
  void _create4ByteReadRegisterPacket(std::vector<unsigned char>& packet, unsigned int address);
  void _fillCommand(std::vector<unsigned char>& packet);
  void _printBuffer(const std::vector<unsigned char>& buffer);
  bool _readRegisterWord(unsigned int address, unsigned int& word);
  // Writes a request and reads its answer into reply, tracing both.
  void _exchange(const std::vector<unsigned char>& packet, std::vector<unsigned char>& reply);

  SDPLoader_Interface* transport_ = nullptr;
};

#endif
