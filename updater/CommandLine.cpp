#include "updater/CommandLine.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tessarine2/common/aDirectory.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/support/Log.h"

const CSimpleOpt::SOption g_rgOptions[] = {
    {OPTION_COMMAND, "-B", ARG_NONE},
    {OPTION_COMMAND, "-D", ARG_NONE},
    {OPTION_COMMAND, "-G", ARG_NONE},
    {OPTION_COMMAND, "-I", ARG_NONE},
    {OPTION_COMMAND, "-U", ARG_NONE},
    {OPTION_COMMAND, "-OVERRIDE", ARG_NONE},
    {OPTION_COMMAND, "-N", ARG_NONE},
    {OPTION_COMMAND, "-Y", ARG_NONE},
    {OPTION_COMMAND, "-C", ARG_NONE},
    {OPTION_HELP, "-h", ARG_NONE},
    {OPTION_HELP, "-H", ARG_NONE},
    {OPTION_PARAMETER, "-n", ARG_NONE},
    {OPTION_PARAMETER, "-X", ARG_SEPARATE},
    {OPTION_PARAMETER, "-Z", ARG_SEPARATE},
    {OPTION_PARAMETER, "-i", ARG_SEPARATE},
    {OPTION_PARAMETER, "-b", ARG_SEPARATE},
    {OPTION_PARAMETER, "-d", ARG_SEPARATE},
    {OPTION_PARAMETER, "-t", ARG_SEPARATE},
    {OPTION_PARAMETER, "-f", ARG_SEPARATE},
    {OPTION_PARAMETER, "-r", ARG_SEPARATE},
    {OPTION_PARAMETER, "-s", ARG_SEPARATE},
    {OPTION_PARAMETER, "-o", ARG_SEPARATE},
    {OPTION_PARAMETER, "-e", ARG_SEPARATE},
    {OPTION_PARAMETER, "-l", ARG_SEPARATE},
    {OPTION_PARAMETER, "-k", ARG_SEPARATE},
    {OPTION_PARAMETER, "-u", ARG_SEPARATE},
    {OPTION_HELP, "--help", ARG_NONE},
    {-1, nullptr, ARG_NONE},
};

namespace {

constexpr size_t kHomeDirectorySize = 2048;

const char kHexDigits[] = "0123456789ABCDEFabcdef";
const char kDecimalDigits[] = "0123456789";

uint32_t convert(const char* text, const char** end, const char* digits, int base) {
  if (end == nullptr || text == nullptr) return 0;
  size_t digitCount = strspn(text, digits);
  if (text[digitCount] != '\0') {
    *end = text + digitCount;
    return 0;
  }
  if (digitCount == 0) return 0;
  errno = 0;
  char* stop = nullptr;
  unsigned long long value = strtoull(text, &stop, base);
  // A value beyond 32 bits would otherwise name some other device or build.
  if (errno == ERANGE || value > UINT32_MAX) {
    *end = text;
    return 0;
  }
  *end = stop;
  return static_cast<uint32_t>(value);
}

std::string programName(const char* word) {
  if (word == nullptr) return std::string();
  const char* name = word;
  for (const char* c = word; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\') name = c + 1;
  }
  return name;
}

bool hasHexPrefix(const char* text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

void reportUnprocessed(UpdaterDisplayInterface& display, const char* option, const char* rest) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                  "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option, rest);
}

// The conversion leaves its end at the start of a text it refuses whole:
// for a text of digits only, that means the value needs more than 32 bits.
bool beyond32Bits(const char* text, const char* end, const char* digits) {
  return end == text && text[0] != '\0' && text[strspn(text, digits)] == '\0';
}

// -d and -r: a serial number in hexadecimal, "0x" allowed. 0 is refused.
// what: "serial number" or "router serial number".
int readSerial(UpdaterDisplayInterface& display, const char* option, const char* arg, uint32_t& serial,
               const char* prefixLog, const char* what) {
  if (hasHexPrefix(arg)) {
    arg += 2;
    Log::log(DEBUG_Updater, "%s", prefixLog);
  }
  const char* end = nullptr;
  serial = _get_hex_arg(arg, &end);
  if (beyond32Bits(arg, end, kHexDigits)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid %s obtained from argument [%s]: the number is too large, the largest is FFFFFFFF", what,
                    arg);
    return 1;
  }
  if (end != nullptr && *end != '\0') reportUnprocessed(display, option, end);
  if (serial == 0) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid %s obtained from argument [%s]", what, arg);
    return 1;
  }
  return 0;
}

// -b and -o: a decimal number; anything else refuses the command line.
int readDecimal(UpdaterDisplayInterface& display, const char* option, const char* arg, uint32_t& value) {
  const char* end = nullptr;
  uint32_t converted = _get_int_arg(arg, &end);
  if (beyond32Bits(arg, end, kDecimalDigits)) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid format for \"%s\" parameter, number too large [%s], the largest is %u", option, arg,
                    static_cast<unsigned>(UINT32_MAX));
    return 1;
  }
  if (end != nullptr && *end != '\0') {
    reportUnprocessed(display, option, end);
    return 1;
  }
  value = converted;
  return 0;
}

void readDebugMask(UpdaterDisplayInterface& display, const char* option, const char* arg, Parameters& params) {
  params.extended = true;
  char* end = nullptr;
  unsigned long value = strtoul(arg, &end, hasHexPrefix(arg) ? 16 : 10);
  params.debugMask = static_cast<uint32_t>(value);
  if (end != nullptr && *end != '\0') {
    reportUnprocessed(display, option, end);
    return;
  }
  Log::ActivatePackage(params.debugMask);
}

int readTransport(UpdaterDisplayInterface& display, const char* arg, Parameters& params) {
  params.transportGiven = true;
  if (strncmp(arg, "USB", 3) == 0) {
    params.transport = TRANSPORT_USB;
  } else if (strncmp(arg, "TCP", 3) == 0) {
    params.transport = TRANSPORT_TCPIP;
  } else if (strncmp(arg, "RECOVER", 7) == 0) {
    params.transport = TRANSPORT_RECOVER;
  } else {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
    params.transport = 0;
    return 1;
  }
  return 0;
}

int handleCommand(UpdaterDisplayInterface& display, const char* option, Parameters& params) {
  switch (option[1]) {
    case 'B': params.commands.Set(CMD_LIST_BUILDS); break;
    case 'C': params.commands.Set(CMD_CHECK); break;
    case 'D': params.commands.Set(CMD_DISCOVER); break;
    case 'G': params.commands.Set(CMD_GET); break;
    case 'I': params.commands.Set(CMD_INFO); break;
    case 'N': params.commands.Set(CMD_FINGERPRINT); break;
    case 'U': params.commands.Set(CMD_UPDATE); break;
    case 'O': params.override = true; break;
    default:
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", option);
      return 1;
  }
  return 0;
}

int handleParameter(UpdaterDisplayInterface& display, const char* option, const char* arg, Parameters& params) {
  if (arg == nullptr) arg = "";
  switch (option[1]) {
    case 'X':
      readDebugMask(display, option, arg, params);
      return 0;
    case 'Z':
      params.commands.Set(CMD_Z);
      return 0;
    case 'b': {
      uint32_t build = 0;
      if (readDecimal(display, option, arg, build) != 0) return 1;
      params.buildText = std::to_string(build);
      return 0;
    }
    case 'd':
      return readSerial(display, option, arg, params.serial, "Discarding '0x' serial number prefix\n",
                        "serial number");
    case 'r':
      return readSerial(display, option, arg, params.router, "Discarding '0x' router serial number prefix\n",
                        "router serial number");
    case 't':
      return readTransport(display, arg, params);
    case 'o':
      return readDecimal(display, option, arg, params.baudRate);
    case 'f': params.file = arg; return 0;
    case 'i': params.storeDir = arg; return 0;
    case 's': params.port = arg; return 0;
    case 'u': params.url = arg; return 0;
    case 'l': params.logMessage = arg; return 0;
    case 'k': params.logFile = arg; return 0;
    case 'e': params.echo = true; return 0;
    case 'n': params.nFlag = true; return 0;
    default: return 0;
  }
}

void putDefaults(int argc, char** argv, Parameters& params) {
  params.commands = CommandsClass();
  params.serial = 0;
  params.router = 0;
  params.transport = TRANSPORT_USB;
  params.transportGiven = false;
  params.port.clear();
  params.baudRate = kDefaultBaudRate;
  params.moduleAddr = 0;
  params.file.clear();
  params.logMessage.clear();
  params.buildText.clear();
  params.echo = false;
  params.url = UpdateServerRequest::DEFAULT_URL;
  params.nFlag = false;
  params.storeDir.clear();
  params.appName = programName(argc > 0 && argv != nullptr ? argv[0] : nullptr);
  char home[kHomeDirectorySize];
  aDirectory_GetHomeDirectory(home, sizeof home);  // empty on failure
  params.homeDir = home;
  params.logMode = "a+";
  params.logFile = "Updater.log";
  params.buffer = nullptr;
  params.override = false;
  params.debugMask = 0;
  params.extended = false;
  params.helpGiven = false;
}

}  // namespace

uint32_t _get_hex_arg(const char* text, const char** end) { return convert(text, end, kHexDigits, 16); }

uint32_t _get_int_arg(const char* text, const char** end) { return convert(text, end, kDecimalDigits, 10); }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& params) {
  putDefaults(argc, argv, params);
  Log::log(DEBUG_APP, "Home directory:[%s]\n", params.homeDir.c_str());

  int result = 0;
  CSimpleOpt args(argc, argv, g_rgOptions);
  while (args.Next()) {
    // Unknown and ambiguous options and bad arguments are passed over.
    if (args.LastError() != OPT_SUCCESS) continue;
    const char* option = args.OptionText();
    switch (args.OptionId()) {
      case OPTION_HELP:
        params.commands.Set(CMD_HELP);
        params.helpGiven = true;
        return 0;
      case OPTION_COMMAND:
        if (handleCommand(display, option, params) != 0) result = 1;
        break;
      case OPTION_PARAMETER:
        if (handleParameter(display, option, args.OptionArg(), params) != 0) result = 1;
        break;
      default:
        break;
    }
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.appName.c_str());
  for (int i = 0; i < argc && argv != nullptr; ++i) {
    Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
  }

  if (result == 0) result = _validate_params(params);
  return result;
}

int _validate_params(Parameters&) { return 0; }

int _release_params(Parameters& params) {
  free(params.buffer);
  params.buffer = nullptr;
  return 0;
}
