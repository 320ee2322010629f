#include "updater/support/BuildPath.h"

#include <gtest/gtest.h>

namespace {

TEST(BuildPath, JoinsComponentsUnchanged) {
  struct Case {
    const char* shows;
    std::string built;
    std::string expected;
  } cases[] = {
      {"only a first component", BuildPath("store", nullptr), "store"},
      {"three components", BuildPath("a", "b", "c", nullptr), "a/b/c"},
      {"a trailing separator is doubled", BuildPath("/home/u/", ".zeltrova", nullptr), "/home/u//.zeltrova"},
      {"a leading separator is doubled", BuildPath("dir", "/file", nullptr), "dir//file"},
      {"empty components still get separators", BuildPath("", "", "x", "", nullptr), "//x/"},
      {"store file layout", BuildPath("/s", "0A1B2C3D", "1234.bird", nullptr), "/s/0A1B2C3D/1234.bird"},
      {"more than ten components", BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", nullptr),
       "1/2/3/4/5/6/7/8/9/10/11/12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(c.built, c.expected);
  }
}

TEST(BuildPath, StopsAtTheFirstNull) {
  EXPECT_EQ(BuildPath("a", "b", nullptr, "c", nullptr), "a/b");
}

}  // namespace
