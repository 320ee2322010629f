#include "Tessarine2/common/aError.h"

namespace {

// Two parallel tables indexed by the code.
const char* const ERROR_TEXT[aErrCodeCount] = {
    "aErrNone",           "aErrMemory",         "aErrParam",         "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",           "aErrIO",            "aErrMode",
    "aErrWrite",          "aErrRead",           "aErrEOF",           "aErrNotReady",
    "aErrPermission",     "aErrRange",          "aErrSize",          "aErrOverrun",
    "aErrParse",          "aErrConfiguration",  "aErrTimeout",       "aErrInitialization",
    "aErrVersion",        "aErrUnimplemented",  "aErrDuplicate",     "aErrCancel",
    "aErrPacket",         "aErrConnection",     "aErrIndexRange",    "aErrShortCommand",
    "aErrInvalidEntity",  "aErrInvalidOption",  "aErrResource",      "aErrMedia",
    "aErrAsyncReturn",    "aErrStreamStale",    "aErrUnknown",
};

const char* const ERROR_DESCRIPTION[aErrCodeCount] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Tessarine command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

}  // namespace

const char* aError_GetErrorText(uint32_t code) {
  return ERROR_TEXT[code < aErrCodeCount ? code : static_cast<uint32_t>(aErrUnknown)];
}

const char* aError_GetErrorDescription(uint32_t code) {
  return ERROR_DESCRIPTION[code < aErrCodeCount ? code : static_cast<uint32_t>(aErrUnknown)];
}
