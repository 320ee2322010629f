#ifndef UPDATER_COMMANDLINE_H
#define UPDATER_COMMANDLINE_H

#include <cstdint>
#include <string>

#include "updater/SimpleOpt.h"
#include "updater/support/UpdaterDisplayInterface.h"

// Command bits; one invocation may set several.
enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x1,     // -D
  CMD_UPDATE = 0x2,       // -U, a recovery with -t RECOVER
  CMD_LIST_BUILDS = 0x4,  // -B
  CMD_GET = 0x8,          // -G
  CMD_INFO = 0x10,        // -I, accepted without action
  CMD_CHECK = 0x20,       // -C, accepted without action
  CMD_FINGERPRINT = 0x40,  // -N
  CMD_Z = 0x80,           // -Z <word>, accepted without action
  CMD_HELP = 0x80000000,  // -h, -H, --help
};

class CommandsClass {
 public:
  void Set(COMMANDS command) { bits_ |= command; }
  // True when the mask shares a bit with the set.
  bool IsSet(uint32_t mask) const { return (bits_ & mask) != 0; }
  bool IsEmpty() const { return bits_ == 0; }

 private:
  uint32_t bits_ = 0;
};

// Values of -t.
constexpr uint32_t TRANSPORT_USB = 1;
constexpr uint32_t TRANSPORT_TCPIP = 2;
constexpr uint32_t TRANSPORT_RECOVER = 255;

constexpr uint32_t kDefaultBaudRate = 115200;

// The parsed command line. _get_params puts the defaults in before it reads
// the options; fields marked "kept" are parsed but nothing uses them.
struct Parameters {
  CommandsClass commands;
  uint32_t serial = 0;  // -d, 0 for none
  uint32_t router = 0;  // -r, 0 for none
  uint32_t transport = 0;  // -t: TRANSPORT_*, 0 after a refused value
  bool transportGiven = false;
  std::string port;  // -s
  uint32_t baudRate = 0;  // -o
  uint8_t moduleAddr = 0;  // no option: the update's target module address
  std::string file;  // -f
  std::string logMessage;  // -l, kept
  std::string buildText;  // -b, and the build a -G downloaded
  bool echo = false;  // -e, kept
  std::string url;  // -u
  bool nFlag = false;  // -n, kept
  std::string storeDir;  // -i, then completed before the commands run
  std::string appName;
  std::string homeDir;
  std::string logMode;  // kept
  std::string logFile;  // -k, kept
  void* buffer = nullptr;  // heap block released by _release_params
  bool override = false;  // -OVERRIDE
  uint32_t debugMask = 0;  // -X
  bool extended = false;  // set as soon as -X is seen
  bool helpGiven = false;
};

// Option ids of g_rgOptions.
enum {
  OPTION_HELP = 0,
  OPTION_COMMAND = 1,
  OPTION_PARAMETER = 2,
};

// The updater's options, closed by a row with id -1.
extern const CSimpleOpt::SOption g_rgOptions[];

// Fills params from the command line. 0 when accepted, 1 when refused (the
// reason is shown as an error on the display). A help option ends the parse
// at once.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& params);

int _validate_params(Parameters& params);

// Frees params.buffer and clears it.
int _release_params(Parameters& params);

// Unsigned conversion of a text that holds hexadecimal or decimal digits
// only, kept in 32 bits; an empty text gives 0. *end must be NULL on entry.
// A text with any other character, or with a value beyond 32 bits, gives 0
// and points *end at what was not converted (the first foreign character,
// or the whole text when the value is too large). A NULL end gives 0.
uint32_t _get_hex_arg(const char* text, const char** end);
uint32_t _get_int_arg(const char* text, const char** end);

#endif
