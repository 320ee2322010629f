#include "Tessarine2/common/aStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"

namespace {

// A transport that plays a script: each step is a byte or a result code.
// When the script runs out it answers `after`. Everything written to it is
// recorded, with the number of put and write calls.
struct ScriptedTransport {
  struct Step {
    aErr code;
    uint8_t byte;
  };
  std::deque<Step> script;
  aErr after = aErrNotReady;
  std::string written;
  int puts = 0;
  int writes = 0;
  int waits = 0;
  uint32_t lastWaitTimeout = 0;
  aErr failPutsWith = aErrNone;

  void bytes(const std::string& text) {
    for (char c : text) {
      script.push_back({aErrNone, static_cast<uint8_t>(c)});
    }
  }
  void code(aErr err) { script.push_back({err, 0}); }

  static aErr get(uint8_t* byte, void* reference) {
    auto* self = static_cast<ScriptedTransport*>(reference);
    if (self->script.empty()) {
      return self->after;
    }
    Step step = self->script.front();
    self->script.pop_front();
    if (step.code == aErrNone) {
      *byte = step.byte;
    }
    return step.code;
  }
  static aErr put(uint8_t byte, void* reference) {
    auto* self = static_cast<ScriptedTransport*>(reference);
    ++self->puts;
    if (self->failPutsWith != aErrNone) {
      return self->failPutsWith;
    }
    self->written.push_back(static_cast<char>(byte));
    return aErrNone;
  }
  static aErr write(const uint8_t* data, size_t length, void* reference) {
    auto* self = static_cast<ScriptedTransport*>(reference);
    ++self->writes;
    self->written.append(reinterpret_cast<const char*>(data), length);
    return aErrNone;
  }
  static aErr wait(uint32_t timeoutMS, void* reference) {
    auto* self = static_cast<ScriptedTransport*>(reference);
    ++self->waits;
    self->lastWaitTimeout = timeoutMS;
    return aErrTimeout;
  }
};

class StreamCore : public ::testing::Test {
 protected:
  void SetUp() override {
    stream = aStream_Create(ScriptedTransport::get, ScriptedTransport::put, ScriptedTransport::write, nullptr,
                            &transport);
    ASSERT_NE(stream, nullptr);
  }
  void TearDown() override { aStream_Destroy(&stream); }

  std::string readAll(size_t count) {
    std::string out(count, '\0');
    EXPECT_EQ(aStream_Read(stream, &out[0], count), aErrNone);
    return out;
  }

  ScriptedTransport transport;
  aStream* stream = nullptr;
};

TEST_F(StreamCore, ReadIsAllOrNothingAndReplaysBytesAfterNotReady) {
  transport.bytes("ab");
  transport.code(aErrNotReady);
  transport.bytes("cd");
  char out[4];
  memset(out, 'z', sizeof out);
  EXPECT_EQ(aStream_Read(stream, out, 4), aErrNotReady);
  EXPECT_EQ(std::string(out, 4), "zzzz");
  EXPECT_EQ(aStream_Read(stream, out, 4), aErrNone);
  EXPECT_EQ(std::string(out, 4), "abcd");
  EXPECT_EQ(aStream_Read(stream, out, 0), aErrNone);
}

TEST_F(StreamCore, ReadFailureDropsTheBytesAndEndCopiesThem) {
  transport.bytes("ab");
  transport.code(aErrIO);
  transport.bytes("cd");
  transport.after = aErrEOF;
  char out[4];
  memset(out, 'z', sizeof out);
  EXPECT_EQ(aStream_Read(stream, out, 4), aErrIO);
  EXPECT_EQ(std::string(out, 4), "zzzz");
  EXPECT_EQ(aStream_Read(stream, out, 4), aErrEOF);
  EXPECT_EQ(std::string(out, 4), "cdzz");
}

TEST_F(StreamCore, LargeReadTakesWorkingMemoryAndStillReplays) {
  std::string big(1000, 'q');
  transport.bytes(big.substr(0, 700));
  transport.code(aErrNotReady);
  transport.bytes(big.substr(700));
  std::string out(1000, '\0');
  EXPECT_EQ(aStream_Read(stream, &out[0], 1000), aErrNotReady);
  EXPECT_EQ(readAll(1000), big);
}

TEST_F(StreamCore, PushedBackBytesComeFirstOldestFirst) {
  transport.bytes("xyz");
  ASSERT_EQ(aStreamBufferChar(stream, '1'), aErrNone);
  ASSERT_EQ(aStreamBufferChar(stream, '2'), aErrNone);
  EXPECT_EQ(readAll(5), "12xyz");
}

uint8_t pattern(size_t i) { return static_cast<uint8_t>(i % 251); }

TEST_F(StreamCore, RingGrowsInOrderFromEmptyAndWhileWrapped) {
  // 600 in a row: the ring grows once from 512.
  for (size_t i = 0; i < 600; ++i) {
    ASSERT_EQ(aStreamBufferChar(stream, pattern(i)), aErrNone);
  }
  std::string first = readAll(600);
  for (size_t i = 0; i < 600; ++i) {
    ASSERT_EQ(static_cast<uint8_t>(first[i]), pattern(i)) << i;
  }

  // Wrapped: the read index is past the middle and the write index has gone
  // round when the ring fills, then grows twice more.
  aStream_Destroy(&stream);
  stream = aStream_Create(ScriptedTransport::get, nullptr, nullptr, nullptr, &transport);
  size_t next = 0;
  for (; next < 300; ++next) {
    ASSERT_EQ(aStreamBufferChar(stream, pattern(next)), aErrNone);
  }
  readAll(200);
  for (; next < 300 + 1400; ++next) {
    ASSERT_EQ(aStreamBufferChar(stream, pattern(next)), aErrNone);
  }
  std::string rest = readAll(1500);
  for (size_t i = 0; i < rest.size(); ++i) {
    ASSERT_EQ(static_cast<uint8_t>(rest[i]), pattern(200 + i)) << i;
  }
  char extra;
  EXPECT_EQ(aStream_Read(stream, &extra, 1), aErrNotReady);
}

TEST_F(StreamCore, WriteUsesPutForOneByteAndWriteForMore) {
  EXPECT_EQ(aStream_Write(stream, "a", 1), aErrNone);
  EXPECT_EQ(transport.puts, 1);
  EXPECT_EQ(transport.writes, 0);
  EXPECT_EQ(aStream_Write(stream, "bc", 2), aErrNone);
  EXPECT_EQ(transport.puts, 1);
  EXPECT_EQ(transport.writes, 1);
  EXPECT_EQ(transport.written, "abc");
}

TEST(StreamCoreWrite, PutOnlyStreamStopsAtTheFirstFailure) {
  ScriptedTransport transport;
  aStream* stream = aStream_Create(nullptr, ScriptedTransport::put, nullptr, nullptr, &transport);
  transport.failPutsWith = aErrIO;
  EXPECT_EQ(aStream_Write(stream, "abc", 3), aErrIO);
  EXPECT_EQ(transport.puts, 1);
  aStream_Destroy(&stream);
}

aErr deleteCounting(void* reference) {
  ++*static_cast<int*>(reference);
  return aErrBusy;
}

TEST(StreamCoreErrors, InvalidArgumentsAndMissingFunctions) {
  char byte = 0;
  size_t length = 0;
  EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
  EXPECT_EQ(aStream_Write(nullptr, &byte, 1), aErrParam);
  EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(nullptr, &byte, &length, 1, "\n", 1), aErrParam);
  EXPECT_EQ(aStream_WaitReadable(nullptr, 0), aErrParam);
  EXPECT_EQ(aStream_Flush(nullptr, nullptr), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);

  int deletes = 0;
  aStream* empty = aStream_Create(nullptr, nullptr, nullptr, deleteCounting, &deletes);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(aStream_Read(empty, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Read(empty, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_Write(empty, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Write(empty, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_WaitReadable(empty, 0), aErrMode);
  // The delete function's result comes back; the pointer is cleared.
  EXPECT_EQ(aStream_Destroy(&empty), aErrBusy);
  EXPECT_EQ(empty, nullptr);
  EXPECT_EQ(deletes, 1);
  EXPECT_EQ(aStream_Destroy(&empty), aErrParam);
}

TEST_F(StreamCore, WaitReadableAsksTheTransportOnlyWhenNothingIsHeld) {
  // No wait function: ready at once.
  EXPECT_EQ(aStream_WaitReadable(stream, 1000), aErrNone);
  ASSERT_EQ(aStream_SetWaitProc(stream, ScriptedTransport::wait), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(stream, 250), aErrTimeout);
  EXPECT_EQ(transport.waits, 1);
  EXPECT_EQ(transport.lastWaitTimeout, 250u);
  ASSERT_EQ(aStreamBufferChar(stream, 'p'), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(stream, 250), aErrNone);
  EXPECT_EQ(transport.waits, 1);
  EXPECT_EQ(aStream_SetWaitProc(nullptr, ScriptedTransport::wait), aErrParam);
}

// One record read per row: input script, buffer size, delimiter, and what
// comes out.
struct RecordCase {
  const char* shows;
  std::string input;
  aErr after;
  size_t size;
  std::string delimiter;
  aErr result;
  std::string record;
  std::string left;  // what the next reads deliver
};

class RecordRead : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordRead, ReadsOneRecord) {
  const RecordCase& c = GetParam();
  ScriptedTransport transport;
  transport.bytes(c.input);
  transport.after = c.after;
  aStream* stream = aStream_Create(ScriptedTransport::get, nullptr, nullptr, nullptr, &transport);
  std::vector<char> buffer(c.size + 1, '#');
  size_t length = 12345;
  EXPECT_EQ(aStream_ReadRecord(stream, buffer.data(), &length, c.size, c.delimiter.data(), c.delimiter.size()),
            c.result);
  if (c.result == aErrNone) {
    EXPECT_EQ(std::string(buffer.data(), length), c.record);
  } else if (c.result == aErrEOF) {
    EXPECT_EQ(length, 0u);
  } else {
    EXPECT_EQ(length, 12345u);
  }
  std::string left;
  char byte;
  while (aStream_Read(stream, &byte, 1) == aErrNone) {
    left.push_back(byte);
  }
  EXPECT_EQ(left, c.left);
  aStream_Destroy(&stream);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordRead,
    ::testing::Values(
        RecordCase{"delimiter consumed, not stored", "abc\nrest", aErrEOF, 10, "\n", aErrNone, "abc", "rest"},
        RecordCase{"full buffer ends the record", "abcdef\n", aErrEOF, 4, "\n", aErrNone, "abcd", "ef\n"},
        RecordCase{"end after bytes is a record", "ab", aErrEOF, 10, "\n", aErrNone, "ab", ""},
        RecordCase{"end before any byte", "", aErrEOF, 10, "\n", aErrEOF, "", ""},
        RecordCase{"not ready gives the bytes back", "ab", aErrNotReady, 10, "\n", aErrNotReady, "", "ab"},
        RecordCase{"failure drops the bytes", "ab", aErrIO, 10, "\n", aErrIO, "", ""},
        RecordCase{"empty record", "\nx", aErrEOF, 10, "\n", aErrNone, "", "x"},
        RecordCase{"broken two-byte delimiter keeps its bytes", "ab\rc\r\nz", aErrEOF, 10, "\r\n", aErrNone,
                   "ab\rc", "z"},
        RecordCase{"overlapping delimiter restarts in the middle", "xaaabz", aErrEOF, 10, "aab", aErrNone, "xa",
                   "z"},
        RecordCase{"partial delimiter at not ready goes back", "ab\r", aErrNotReady, 10, "\r\n", aErrNotReady, "",
                   "ab\r"},
        RecordCase{"partial delimiter at the end is data", "ab\r", aErrEOF, 10, "\r\n", aErrNone, "ab\r", ""},
        RecordCase{"delimiter right after a full buffer stays", "abc\r\n", aErrEOF, 3, "\r\n", aErrNone, "abc",
                   "\r\n"},
        RecordCase{"bytes beyond a full buffer go back in order", "ab\rXY", aErrEOF, 3, "\r\n", aErrNone, "ab\r",
                   "XY"},
        RecordCase{"size zero refused", "abc", aErrEOF, 0, "\n", aErrParam, "", "abc"},
        RecordCase{"empty delimiter refused", "abc", aErrEOF, 10, "", aErrParam, "", "abc"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) {
      std::string name = info.param.shows;
      for (char& ch : name) {
        if (!isalnum(static_cast<unsigned char>(ch))) {
          ch = '_';
        }
      }
      return name;
    });

TEST_F(StreamCore, CStringReadsStopAtTheNulOrAFullBuffer) {
  transport.bytes(std::string("abc\0abcd\0", 9));
  char text[5];
  ASSERT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "abc");
  ASSERT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "abcd");
  // The NUL was left in the stream: it ends an empty string.
  ASSERT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "");

  transport.bytes("OK\r\nnext");
  ASSERT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, "\r\n"), aErrNone);
  EXPECT_STREQ(text, "OK");
}

TEST_F(StreamCore, CStringReadsRefuseBuffersWithoutRoomForText) {
  transport.bytes(std::string("a\0", 2));
  char text[2] = {'#', '#'};
  EXPECT_EQ(aStream_ReadCString(stream, text, 0), aErrParam);
  EXPECT_EQ(aStream_ReadCString(stream, text, 1), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream, text, 1, "\n"), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream, text, 2, nullptr), aErrParam);
  EXPECT_EQ(text[0], '#');
  EXPECT_EQ(readAll(2), std::string("a\0", 2));
}

TEST_F(StreamCore, CStringAndRecordWrites) {
  EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteRecord(stream, "ab", 2, "\r\n", 2), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(stream, "cd", ";"), aErrNone);
  EXPECT_EQ(transport.written, std::string("hi\0ab\r\ncd;\0", 11));
  EXPECT_EQ(aStream_WriteCString(stream, nullptr), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(stream, "ab", 2, "", 0), aErrParam);
}

TEST(StreamFlush, CopiesPushedBackBytesThenTheSourceToItsEnd) {
  ScriptedTransport source;
  ScriptedTransport sink;
  source.bytes("abc");
  source.after = aErrEOF;
  aStream* from = aStream_Create(ScriptedTransport::get, nullptr, nullptr, nullptr, &source);
  aStream* to = aStream_Create(nullptr, ScriptedTransport::put, nullptr, nullptr, &sink);
  ASSERT_EQ(aStreamBufferChar(from, 'x'), aErrNone);
  ASSERT_EQ(aStreamBufferChar(from, 'y'), aErrNone);
  EXPECT_EQ(aStream_Flush(from, to), aErrNone);
  EXPECT_EQ(sink.written, "xyabc");
  char byte;
  EXPECT_EQ(aStream_Read(from, &byte, 1), aErrEOF);

  EXPECT_EQ(aStream_Flush(to, from), aErrMode);
  source.bytes("d");
  source.code(aErrIO);
  EXPECT_EQ(aStream_Flush(from, to), aErrIO);
  EXPECT_EQ(sink.written, "xyabcd");
  aStream_Destroy(&from);
  aStream_Destroy(&to);
}

TEST(FileStreams, WriteThenReadBackToTheEnd) {
  testsupport::TempDir dir;
  std::string path = dir.file("data.bin");
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_WriteCString(out, "line"), aErrNone);
  EXPECT_EQ(aStream_Write(out, "!", 1), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);
  EXPECT_EQ(testsupport::readFile(path), std::string("line\0!", 6));

  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(in, 5000), aErrNone);
  char text[16];
  ASSERT_EQ(aStream_ReadCString(in, text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "line");
  char two[2] = {'#', '#'};
  EXPECT_EQ(aStream_Read(in, two, 2), aErrEOF);
  EXPECT_EQ(two[0], '!');
  size_t length = 99;
  EXPECT_EQ(aStream_ReadRecord(in, text, &length, sizeof text, "\n", 1), aErrEOF);
  EXPECT_EQ(aStream_Write(in, "x", 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(FileStreams, UnopenablePathsGiveResourceAndLeaveTheResult) {
  testsupport::TempDir dir;
  std::string missing = dir.file("no/such/dir/file");
  aStream* sentinel = reinterpret_cast<aStream*>(0x1);
  aStream* result = sentinel;
  EXPECT_EQ(aStream_CreateFileInput(missing.c_str(), &result), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(missing.c_str(), &result), aErrResource);
  EXPECT_EQ(result, sentinel);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &result), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(dir.file("x").c_str(), nullptr), aErrResource);
}

}  // namespace
