#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Tessarine2/common/aFile.h"
#include "tests/sim/ChildProcess.h"
#include "tests/sim/TempDir.h"

namespace {

using testsupport::readFile;
using testsupport::runInChild;
using testsupport::TempDir;

const std::string kTooLong(aFILE_MAX_PATH + 1, 'p');

TEST(FileOpen, RefusesBadArgumentsWithoutTouchingTheFileSystem) {
  TempDir dir;
  const std::string fresh = dir.file("fresh");
  struct Case {
    const char* what;
    const char* path;
    aFileMode mode;
  };
  const Case cases[] = {
      {"NULL path", nullptr, aFileModeWriteOnly},
      {"empty path", "", aFileModeWriteOnly},
      {"path of 4097 characters", kTooLong.c_str(), aFileModeWriteOnly},
      {"mode 3", fresh.c_str(), aFileModeUnknown},
      {"mode 4", fresh.c_str(), 4},
      {"mode -1", fresh.c_str(), -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(aFile_Open(c.path, c.mode), nullptr) << c.what;
  }
  EXPECT_FALSE(aFile_Exists(fresh.c_str())) << "a refused mode created the file";
}

TEST(FileExists, TrueOnlyForAnExistingNonDirectory) {
  TempDir dir;
  const std::string file = dir.write("f", "x");
  const std::string missing = dir.file("missing");
  struct Case {
    const char* what;
    const char* path;
    bool exists;
  };
  const Case cases[] = {
      {"file", file.c_str(), true},
      {"directory", dir.path().c_str(), false},
      {"missing", missing.c_str(), false},
      {"NULL", nullptr, false},
      {"4097 characters", kTooLong.c_str(), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(aFile_Exists(c.path), c.exists) << c.what;
  }
}

TEST(FileOpen, MissingFileForReadingFailsAndForWritingIsCreatedEmpty) {
  TempDir dir;
  const std::string path = dir.file("new");
  EXPECT_EQ(aFile_Open(path.c_str(), aFileModeReadOnly), nullptr);
  aFile* file = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  EXPECT_EQ(readFile(path), "");
}

TEST(FileOpen, AppendWritesAfterTheOldEndAndReadsFromThere) {
  TempDir dir;
  const std::string path = dir.write("log", "abc");
  aFile* file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  uint64_t position = 99;
  EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 3u);
  char byte = 0;
  size_t count = 99;
  EXPECT_EQ(aFile_Read(file, &byte, 1, &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Write(file, "def", 3, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(readFile(path), "abcdef");
}

TEST(FileRead, CountsZeroShortAndEndOfFile) {
  TempDir dir;
  aFile* file = aFile_Open(dir.write("f", "abc").c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  char buffer[8] = {};
  size_t count = 99;
  EXPECT_EQ(aFile_Read(file, buffer, 0, &count), aErrNone) << "zero bytes";
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone) << "short read";
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrEOF) << "at the end";
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Read(file, buffer, 1, nullptr), aErrEOF) << "count address is optional";
  aFile_Close(&file);
}

TEST(FileRead, AFailingReadIsAnErrorNotTheEndOfTheFile) {
  TempDir dir;
  // A directory opens as a stream on Linux, but every read of it fails.
  aFile* file = aFile_Open(dir.path().c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  char buffer[8];
  size_t count = 99;
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrIO);
  EXPECT_EQ(count, 0u);
  size_t length = 99;
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrIO);
  EXPECT_EQ(length, 0u);
  aFile_Close(&file);
}

TEST(FileSeek, TargetsByOriginAndOffset) {
  TempDir dir;
  const std::string path = dir.write("ten", "0123456789");
  struct Case {
    const char* what;
    int origin;
    int64_t offset;
    aErr result;
    uint64_t position;  // afterwards; the starting position 4 when refused
  };
  const Case cases[] = {
      {"from start", 0, 6, aErrNone, 6},
      {"to the size", 0, 10, aErrNone, 10},
      {"to size + 1", 0, 11, aErrRange, 4},
      {"to -1", 0, -1, aErrRange, 4},
      {"forward from current", 1, 3, aErrNone, 7},
      {"back to 0 from current", 1, -4, aErrNone, 0},
      {"before 0 from current", 1, -5, aErrRange, 4},
      {"past the size from current", 1, 7, aErrRange, 4},
      {"the end itself", 2, 0, aErrNone, 10},
      {"back from the end", 2, -10, aErrNone, 0},
      {"past the end", 2, 1, aErrRange, 4},
      {"unknown origin 7 counts from start", 7, 2, aErrNone, 2},
      {"unknown origin -1 counts from start", -1, 2, aErrNone, 2},
      {"offset that overflows", 1, INT64_MAX, aErrRange, 4},
      {"offset that underflows", 2, INT64_MIN, aErrRange, 4},
  };
  for (const Case& c : cases) {
    aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(aFile_Seek(file, 4, 0), aErrNone);
    EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result) << c.what;
    uint64_t position = 99;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone) << c.what;
    EXPECT_EQ(position, c.position) << c.what;
    aFile_Close(&file);
  }
}

TEST(FileSize, IncludesBufferedBytesAndKeepsThePosition) {
  TempDir dir;
  aFile* file = aFile_Open(dir.file("f").c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  uint64_t position = 99;
  EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 0u) << "position 0 is written too";
  ASSERT_EQ(aFile_Write(file, "hello", 5, nullptr), aErrNone);
  ASSERT_EQ(aFile_Seek(file, 2, 0), aErrNone);
  uint64_t size = 0;
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 2u);
  EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
  EXPECT_EQ(aFile_GetPosition(file, nullptr), aErrParam);
  aFile_Close(&file);
}

// Successive calls on a file holding one line; every piece but the last
// fills the buffer without a newline (aErrOverrun), the last ends the line.
TEST(FileReadLine, SplitsLinesByBufferSize) {
  TempDir dir;
  struct Case {
    size_t size;
    size_t lineLength;  // characters before the newline
    std::vector<size_t> pieces;
  };
  const Case cases[] = {
      {0, 8, {}},
      {0, 9, {}},
      {0, 10, {}},
      {1, 8, {}},
      {1, 9, {}},
      {1, 10, {}},
      {2, 8, std::vector<size_t>(9, 1)},
      {2, 9, std::vector<size_t>(10, 1)},
      {2, 10, std::vector<size_t>(11, 1)},
      {10, 8, {9}},
      {10, 9, {9, 1}},
      {10, 10, {9, 2}},
  };
  for (const Case& c : cases) {
    std::string line;
    for (size_t i = 0; i < c.lineLength; ++i) {
      line += static_cast<char>('a' + i);
    }
    line += '\n';
    const std::string label = "size " + std::to_string(c.size) + ", line of " + std::to_string(c.lineLength);
    aFile* file = aFile_Open(dir.write("line", line).c_str(), aFileModeReadOnly);
    ASSERT_NE(file, nullptr);
    std::vector<char> buffer(c.size + 1, '#');
    size_t length = 77;
    if (c.pieces.empty()) {
      EXPECT_EQ(aFile_ReadLine(file, buffer.data(), c.size, &length), aErrParam) << label;
      EXPECT_EQ(length, 77u) << label << ": length written";
      EXPECT_EQ(buffer[0], '#') << label << ": buffer written";
      aFile_Close(&file);
      continue;
    }
    size_t at = 0;
    for (size_t n = 0; n < c.pieces.size(); ++n) {
      const bool last = n + 1 == c.pieces.size();
      EXPECT_EQ(aFile_ReadLine(file, buffer.data(), c.size, &length), last ? aErrNone : aErrOverrun)
          << label << ", piece " << n;
      EXPECT_EQ(length, c.pieces[n]) << label << ", piece " << n;
      EXPECT_EQ(std::string(buffer.data()), line.substr(at, c.pieces[n])) << label << ", piece " << n;
      at += c.pieces[n];
    }
    EXPECT_EQ(aFile_ReadLine(file, buffer.data(), c.size, &length), aErrEOF) << label;
    EXPECT_EQ(length, 0u) << label;
    EXPECT_STREQ(buffer.data(), "") << label;
    aFile_Close(&file);
  }
}

TEST(FileReadLine, LastLineWithoutNewlineAndNulBytesAreKept) {
  TempDir dir;
  aFile* file = aFile_Open(dir.write("f", std::string("ab\0cd\nend", 9)).c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  char buffer[16];
  size_t length = 0;
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_EQ(std::string(buffer, length), std::string("ab\0cd\n", 6)) << "NUL must not shorten the line";
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_EQ(std::string(buffer, length), "end");
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, nullptr), aErrParam);
  EXPECT_EQ(aFile_ReadLine(file, nullptr, sizeof buffer, &length), aErrParam);
  aFile_Close(&file);
}

enum class Op { Read, ReadLine, Write, Printf, Unbuffered };

aErr perform(aFile* file, Op op) {
  char buffer[8];
  size_t count = 0;
  switch (op) {
    case Op::Read:
      return aFile_Read(file, buffer, sizeof buffer, &count);
    case Op::ReadLine:
      return aFile_ReadLine(file, buffer, sizeof buffer, &count);
    case Op::Write:
      return aFile_Write(file, "x", 1, &count);
    case Op::Printf:
      return aFile_Printf(file, "%d", 7);
    case Op::Unbuffered:
      return aFile_SetUnbuffered(file);
  }
  return aErrUnknown;
}

TEST(FileModes, GateReadingAndWriting) {
  TempDir dir;
  const std::string path = dir.write("f", "line\n");
  struct Case {
    const char* what;
    aFileMode mode;
    Op op;
    aErr result;
  };
  const Case cases[] = {
      {"write in read mode", aFileModeReadOnly, Op::Write, aErrMode},
      {"printf in read mode", aFileModeReadOnly, Op::Printf, aErrMode},
      {"unbuffered in read mode", aFileModeReadOnly, Op::Unbuffered, aErrMode},
      {"read in write mode", aFileModeWriteOnly, Op::Read, aErrMode},
      {"read line in write mode", aFileModeWriteOnly, Op::ReadLine, aErrMode},
      {"read in append mode", aFileModeAppend, Op::Read, aErrEOF},
      {"write in append mode", aFileModeAppend, Op::Write, aErrNone},
      {"printf in write mode", aFileModeWriteOnly, Op::Printf, aErrNone},
      {"unbuffered in append mode", aFileModeAppend, Op::Unbuffered, aErrNone},
  };
  for (const Case& c : cases) {
    dir.write("f", "line\n");
    aFile* file = aFile_Open(path.c_str(), c.mode);
    ASSERT_NE(file, nullptr) << c.what;
    EXPECT_EQ(perform(file, c.op), c.result) << c.what;
    aFile_Close(&file);
  }
}

TEST(FileValidation, NullOrForeignRecordIsAParameterError) {
  // Zeroed memory has no check word; Close must neither free it nor touch it
  // beyond the check (ASan reports a free of stack memory).
  alignas(16) unsigned char foreign[64] = {};
  aFile* const records[] = {nullptr, reinterpret_cast<aFile*>(foreign)};
  for (aFile* record : records) {
    for (Op op : {Op::Read, Op::ReadLine, Op::Write, Op::Printf, Op::Unbuffered}) {
      EXPECT_EQ(perform(record, op), aErrParam) << static_cast<int>(op);
    }
    uint64_t value = 0;
    EXPECT_EQ(aFile_Seek(record, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(record, &value), aErrParam);
    EXPECT_EQ(aFile_GetPosition(record, &value), aErrParam);
    aFile* handle = record;
    EXPECT_EQ(aFile_Close(&handle), aErrParam);
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST(FileClose, SecondCloseOfTheSameHandleIsAParameterError) {
  TempDir dir;
  aFile* file = aFile_Open(dir.file("f").c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(aFile_Close(&file), aErrParam);
}

TEST(FileOutput, PrintfAndUnbufferedWritesReachTheFile) {
  TempDir dir;
  const std::string path = dir.file("out");
  aFile* file = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Printf(file, "%s=%d;", "a", 1), aErrNone);
  EXPECT_EQ(aFile_SetUnbuffered(file), aErrNone);
  EXPECT_EQ(aFile_Write(file, "xyz", 3, nullptr), aErrNone);
  EXPECT_EQ(readFile(path), "a=1;xyz") << "unbuffered bytes must be in the file before the close";
  EXPECT_EQ(aFile_Printf(file, nullptr), aErrParam);
  EXPECT_EQ(aFile_Write(file, nullptr, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

// /dev/full accepts the open and refuses every byte written to it.
TEST(FileOutput, WritesThatDoNotLandAreErrors) {
  struct Case {
    const char* what;
    bool unbuffered;
    size_t bytes;
    bool viaPrintf;
  };
  const Case cases[] = {
      {"write larger than the stream buffer", false, 1 << 16, false},
      {"unbuffered small write", true, 3, false},
      {"unbuffered printf", true, 0, true},
  };
  for (const Case& c : cases) {
    aFile* file = aFile_Open("/dev/full", aFileModeWriteOnly);
    ASSERT_NE(file, nullptr);
    if (c.unbuffered) {
      ASSERT_EQ(aFile_SetUnbuffered(file), aErrNone);
    }
    if (c.viaPrintf) {
      EXPECT_EQ(aFile_Printf(file, "%s", "text"), aErrIO) << c.what;
    } else {
      std::vector<char> data(c.bytes, 'd');
      size_t written = c.bytes;
      EXPECT_EQ(aFile_Write(file, data.data(), data.size(), &written), aErrIO) << c.what;
      EXPECT_LT(written, c.bytes) << c.what;
    }
    aFile_Close(&file);
  }
}

// The record is freed although the close fails; a leak would be reported
// by the leak checker of the address-sanitizer build.
TEST(FileClose, FailingFlushIsReportedAndTheRecordFreed) {
  aFile* file = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  size_t written = 0;
  ASSERT_EQ(aFile_Write(file, "buffered", 8, &written), aErrNone) << "small writes stay in the buffer";
  EXPECT_EQ(written, 8u);
  EXPECT_EQ(aFile_Close(&file), aErrIO);
  EXPECT_EQ(file, nullptr);
}

TEST(FileDelete, ReportsWhyAFileCannotBeRemoved) {
  TempDir dir;
  const std::string file = dir.write("f", "x");
  const std::string missing = dir.file("missing");
  const std::string belowFile = dir.file("f/g");
  struct Case {
    const char* what;
    const char* path;
    aErr result;
  };
  const Case cases[] = {
      {"NULL", nullptr, aErrParam},
      {"4097 characters", kTooLong.c_str(), aErrFileNameLength},
      {"missing", missing.c_str(), aErrNotFound},
      {"below a file", belowFile.c_str(), aErrNotFound},
      {"a directory", dir.path().c_str(), aErrIO},
      {"existing file", file.c_str(), aErrNone},
      {"the same file again", file.c_str(), aErrNotFound},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(aFile_Delete(c.path), c.result) << c.what;
  }
}

TEST(FilePermissions, UnreadableFileAndReadOnlyDirectory) {
  TempDir dir;
  dir.openToAll();
  const std::string secret = dir.write("secret", "s");
  ASSERT_EQ(chmod(secret.c_str(), 0), 0);
  ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0755), 0);
  const std::string kept = dir.write("ro/kept", "k");
  ASSERT_EQ(chmod(dir.file("ro").c_str(), 0555), 0);

  EXPECT_EQ(runInChild([&] { return aFile_Open(secret.c_str(), aFileModeReadOnly) == nullptr ? 0 : 1; }, true), 0)
      << "an unreadable file opened";
  EXPECT_EQ(runInChild([&] { return aFile_Delete(kept.c_str()); }, true), aErrPermission);
  EXPECT_TRUE(aFile_Exists(kept.c_str()));
}

}  // namespace
