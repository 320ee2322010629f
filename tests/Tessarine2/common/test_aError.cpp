#include "Tessarine2/common/aError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct ErrorRow {
  aErr constant;
  uint32_t code;
  const char* text;
  const char* description;
};

// Every code with the name its constant carries and the two texts the
// application prints.
const ErrorRow kErrors[] = {
    {aErrNone, 0, "aErrNone", "Success, no error"},
    {aErrMemory, 1, "aErrMemory", "Memory allocation"},
    {aErrParam, 2, "aErrParam", "Invalid parameter"},
    {aErrNotFound, 3, "aErrNotFound", "Not found"},
    {aErrFileNameLength, 4, "aErrFileNameLength", "File name too long"},
    {aErrBusy, 5, "aErrBusy", "Resource busy"},
    {aErrIO, 6, "aErrIO", "Input/Output error"},
    {aErrMode, 7, "aErrMode", "Invalid Mode"},
    {aErrWrite, 8, "aErrWrite", "Write error"},
    {aErrRead, 9, "aErrRead", "Read error"},
    {aErrEOF, 10, "aErrEOF", "End of file"},
    {aErrNotReady, 11, "aErrNotReady", "Not ready, no bytes available"},
    {aErrPermission, 12, "aErrPermission", "Insufficient permissions"},
    {aErrRange, 13, "aErrRange", "Value out of range"},
    {aErrSize, 14, "aErrSize", "Invalid Size"},
    {aErrOverrun, 15, "aErrOverrun", "Buffer/queue overrun"},
    {aErrParse, 16, "aErrParse", "Parse error"},
    {aErrConfiguration, 17, "aErrConfiguration", "Configuration error"},
    {aErrTimeout, 18, "aErrTimeout", "Timeout occurred"},
    {aErrInitialization, 19, "aErrInitialization", "Initialization error"},
    {aErrVersion, 20, "aErrVersion", "Invalid version"},
    {aErrUnimplemented, 21, "aErrUnimplemented", "Functionality unimplemented"},
    {aErrDuplicate, 22, "aErrDuplicate", "Duplicate request"},
    {aErrCancel, 23, "aErrCancel", "Cancellation occurred, or did not complete"},
    {aErrPacket, 24, "aErrPacket", "Packet byte invalid"},
    {aErrConnection, 25, "aErrConnection", "Connection error"},
    {aErrIndexRange, 26, "aErrIndexRange", "Index out of range"},
    {aErrShortCommand, 27, "aErrShortCommand", "Tessarine command to short"},
    {aErrInvalidEntity, 28, "aErrInvalidEntity", "Invalid entity error"},
    {aErrInvalidOption, 29, "aErrInvalidOption", "Invalid option code"},
    {aErrResource, 30, "aErrResource", "Resource unavailable"},
    {aErrMedia, 31, "aErrMedia", "Media error"},
    {aErrAsyncReturn, 32, "aErrAsyncReturn", "Asynchronous return error"},
    {aErrStreamStale, 33, "aErrStreamStale", "Stream value is stale"},
    {aErrUnknown, 34, "aErrUnknown", "Unknown error"},
};

TEST(ErrorTable, EveryCodeHasItsConstantNameAndDescription) {
  ASSERT_EQ(sizeof kErrors / sizeof kErrors[0], aErrCodeCount);
  for (const ErrorRow& row : kErrors) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(static_cast<uint32_t>(row.constant), row.code);
    EXPECT_STREQ(aError_GetErrorText(row.code), row.text);
    EXPECT_STREQ(aError_GetErrorDescription(row.code), row.description);
  }
}

TEST(ErrorTable, CodesPastTheTableReadAsUnknown) {
  // 0xFFFFFFFE is a negated aErr handed over as unsigned.
  const uint32_t outside[] = {35, 36, 255, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (uint32_t code : outside) {
    SCOPED_TRACE(std::to_string(code));
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error");
  }
}

}  // namespace
