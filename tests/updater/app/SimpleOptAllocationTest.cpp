// The parser's heap buffer for long command lines can fail to be allocated.
// This program replaces the global allocation functions (all of them, so
// that every pointer is freed by the function family that made it) to make
// that failure happen on demand.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tests/updater/app/ArgumentList.h"
#include "updater/CommandLine.h"
#include "updater/SimpleOpt.h"

namespace {
bool g_refuseNothrowArrays = false;

void* allocate(std::size_t size) { return std::malloc(size != 0 ? size : 1); }
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return g_refuseNothrowArrays ? nullptr : allocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using testsupport::ArgumentList;

std::vector<std::string> longCommandLine(int pairs) {
  std::vector<std::string> words{"prog"};
  for (int i = 0; i < pairs; ++i) {
    words.push_back("file" + std::to_string(i));
    words.push_back("-b");
    words.push_back(std::to_string(i));
  }
  return words;
}

std::vector<std::string> parsedOrder(ArgumentList& args, bool refuse, bool* initResult) {
  g_refuseNothrowArrays = refuse;
  CSimpleOpt parser(args.argc(), args.argv(), g_rgOptions);
  *initResult = parser.Init(args.argc(), args.argv(), g_rgOptions, 0);
  g_refuseNothrowArrays = false;
  int reported = 0;
  while (parser.Next()) {
    EXPECT_EQ(parser.LastError(), OPT_SUCCESS);
    ++reported;
  }
  EXPECT_EQ(reported, (args.argc() - 1) / 3);
  return args.words();
}

// Without its buffer the parser still gives the same order: short moves go
// through its 50-word stack buffer, longer ones are made in place.
TEST(SimpleOptAllocation, FailedBufferStillGivesTheSameOrder) {
  for (int pairs : {20, 40}) {
    ArgumentList withBuffer(longCommandLine(pairs));
    ArgumentList withoutBuffer(longCommandLine(pairs));
    bool initOk = false;
    std::vector<std::string> expected = parsedOrder(withBuffer, false, &initOk);
    EXPECT_TRUE(initOk);
    std::vector<std::string> got = parsedOrder(withoutBuffer, true, &initOk);
    EXPECT_FALSE(initOk);
    EXPECT_EQ(got, expected);
  }
}

TEST(SimpleOptAllocation, LargeMoveWithoutBuffer) {
  std::vector<std::string> words{"prog"};
  for (int i = 0; i < 70; ++i) words.push_back("w" + std::to_string(i));
  words.push_back("-D");
  ArgumentList args(words);
  g_refuseNothrowArrays = true;
  CSimpleOpt parser(args.argc(), args.argv(), g_rgOptions);
  g_refuseNothrowArrays = false;
  ASSERT_TRUE(parser.Next());
  EXPECT_STREQ(parser.OptionText(), "-D");
  EXPECT_FALSE(parser.Next());
  std::vector<std::string> expected{"prog", "-D"};
  for (int i = 0; i < 70; ++i) expected.push_back("w" + std::to_string(i));
  EXPECT_EQ(args.words(), expected);
}

}  // namespace
