#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Tessarine2/common/aDirectory.h"
#include "tests/sim/ChildProcess.h"
#include "tests/sim/TempDir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::runInChild;
using testsupport::TempDir;

// Everything below root, relative to it; directories end with "/".
std::set<std::string> treeOf(const std::string& root) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = entry.path().lexically_relative(root).string();
    entries.insert(entry.is_directory() && !entry.is_symlink() ? name + "/" : name);
  }
  return entries;
}

// --- BuildPath ---------------------------------------------------------------

struct Components {
  const char* c[11];
};

// Unused slots stay NULL and end the list early.
aErr build(char* buffer, size_t size, const Components& p) {
  return aDirectory_BuildPath(buffer, size, p.c[0], p.c[1], p.c[2], p.c[3], p.c[4], p.c[5], p.c[6], p.c[7],
                              p.c[8], p.c[9], p.c[10], static_cast<const char*>(nullptr));
}

TEST(BuildPath, JoinsComponentsWithinTheBuffer) {
  struct Case {
    const char* what;
    size_t size;
    Components parts;
    aErr result;
    const char* text;
  };
  const Case cases[] = {
      {"plain join", 64, {{"dir", "file"}}, aErrNone, "dir/file"},
      {"first ends with separator", 64, {{"dir/", "file"}}, aErrNone, "dir/file"},
      {"second starts with separator", 64, {{"dir", "/file"}}, aErrNone, "dir/file"},
      {"single component", 64, {{"only"}}, aErrNone, "only"},
      {"ten components", 64, {{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}}, aErrNone, "a/b/c/d/e/f/g/h/i/j"},
      {"eleven components", 64, {{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}}, aErrParam, ""},
      {"10 bytes, first of 8", 10, {{"12345678"}}, aErrNone, "12345678"},
      {"10 bytes, first of 9", 10, {{"123456789"}}, aErrOverrun, ""},
      {"10 bytes, second just fits", 10, {{"abc", "defg"}}, aErrNone, "abc/defg"},
      {"10 bytes, second too long keeps what was built", 10, {{"abc", "defgh"}}, aErrOverrun, "abc/"},
      {"empty first stays relative", 64, {{"", "etc"}}, aErrNone, "etc"},
      {"root first", 64, {{"/", "etc"}}, aErrNone, "/etc"},
      {"NULL first", 64, {{nullptr}}, aErrParam, ""},
  };
  for (const Case& c : cases) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(build(buffer, c.size, c.parts), c.result) << c.what;
    EXPECT_STREQ(buffer, c.text) << c.what;
  }
  char buffer[32];
  EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "home", ".zeltrova"), aErrNone);
  EXPECT_STREQ(buffer, "home/.zeltrova");
}

TEST(BuildPath, RefusesBuffersItCannotUse) {
  char buffer[32];
  std::strcpy(buffer, "dir");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "file", static_cast<const char*>(nullptr)), aErrParam)
      << "buffer is the first component";
  EXPECT_STREQ(buffer, "");

  std::strcpy(buffer, "dir");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "top", buffer, static_cast<const char*>(nullptr)), aErrParam)
      << "buffer is a further component";
  EXPECT_STREQ(buffer, "");

  std::strcpy(buffer, "abc/def");
  EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "top", buffer + 4), aErrParam)
      << "component inside the buffer";

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(aDirectory_JoinPath(buffer, 0, "a", "b"), aErrParam) << "size 0";
  EXPECT_EQ(buffer[0], '#') << "size 0 must not be written";
  EXPECT_EQ(aDirectory_JoinPath(nullptr, 8, "a", "b"), aErrParam);
}

// --- Ensure ------------------------------------------------------------------

enum class Where { Absolute, RelativeInside, RootedInside };

TEST(Ensure, CreatesWhatIsMissingAndFailsOnAFileInTheWay) {
  struct Case {
    const char* what;
    std::vector<const char*> dirs;
    std::vector<const char*> files;
    Where where;
    const char* path;  // below the temporary directory, or from its inside
    aErr result;
    std::set<std::string> tree;
  };
  const Case cases[] = {
      {"existing directory", {"d"}, {}, Where::Absolute, "d", aErrNone, {"d/"}},
      {"relative a/b/c in an empty directory", {}, {}, Where::RelativeInside, "a/b/c", aErrNone,
       {"a/", "a/b/", "a/b/c/"}},
      // The child runs chrooted in the temporary directory: only "/" exists.
      {"absolute below the root", {}, {}, Where::RootedInside, "/x/y/z", aErrNone, {"x/", "x/y/", "x/y/z/"}},
      {"home/.zeltrova/updater", {"home"}, {}, Where::Absolute, "home/.zeltrova/updater", aErrNone,
       {"home/", "home/.zeltrova/", "home/.zeltrova/updater/"}},
      {"doubled and trailing separators", {}, {}, Where::Absolute, "p//q/", aErrNone, {"p/", "p/q/"}},
      {"plain file is the path", {}, {"f"}, Where::Absolute, "f", aErrPermission, {"f"}},
      {"plain file on the way", {}, {"f"}, Where::Absolute, "f/g/h", aErrPermission, {"f"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const char* d : c.dirs) {
      ASSERT_EQ(mkdir(dir.file(d).c_str(), 0755), 0);
    }
    for (const char* f : c.files) {
      dir.write(f, "x");
    }
    const std::string path = dir.file(c.path);
    const char* relative = c.path;
    const std::string inside = dir.path();
    switch (c.where) {
      case Where::Absolute:
        EXPECT_EQ(aDirectory_Ensure(path.c_str(), 0755), c.result) << c.what;
        break;
      case Where::RelativeInside:
        EXPECT_EQ(runInChild([&] { return chdir(inside.c_str()) == 0 ? aDirectory_Ensure(relative, 0755) : 100; },
                             false),
                  c.result)
            << c.what;
        break;
      case Where::RootedInside:
        EXPECT_EQ(runInChild(
                      [&] {
                        return chroot(inside.c_str()) == 0 && chdir("/") == 0 ? aDirectory_Ensure(relative, 0755)
                                                                              : 100;
                      },
                      false),
                  c.result)
            << c.what;
        break;
    }
    EXPECT_EQ(treeOf(dir.path()), c.tree) << c.what;
  }
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

TEST(Ensure, ReadOnlyParentIsAPermissionError) {
  TempDir dir;
  dir.openToAll();
  ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir.file("ro").c_str(), 0555), 0);
  const std::string path = dir.file("ro/new/deeper");
  EXPECT_EQ(runInChild([&] { return aDirectory_Ensure(path.c_str(), 0755); }, true), aErrPermission);
  EXPECT_FALSE(aDirectory_Exists(dir.file("ro/new").c_str()));
}

// --- List --------------------------------------------------------------------

struct Seen {
  std::string name;
  uint32_t size;
  uint32_t isDirectory;
  bool operator<(const Seen& other) const { return name < other.name; }
  bool operator==(const Seen& other) const {
    return name == other.name && isDirectory == other.isDirectory && (isDirectory || size == other.size);
  }
};

struct Collector {
  std::string dir;
  std::set<Seen> seen;
  size_t calls = 0;
  size_t stopAfter = SIZE_MAX;
  bool pathsJoined = true;
};

bool collect(const aDirectoryListData* entry, void* reference) {
  Collector* c = static_cast<Collector*>(reference);
  std::string path = entry->path;
  std::string name = path.substr(path.rfind('/') + 1);
  c->pathsJoined = c->pathsJoined && path == c->dir + "/" + name;
  c->seen.insert({name, entry->size, entry->isDirectory});
  return ++c->calls < c->stopAfter;
}

TEST(List, HandsEveryEntryIncludingDotAndDotDot) {
  TempDir dir;
  dir.write("f", "12345");
  ASSERT_EQ(mkdir(dir.file("s").c_str(), 0755), 0);
  Collector all;
  all.dir = dir.path();
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &all), aErrNone);
  const std::set<Seen> expected = {{".", 0, 1}, {"..", 0, 1}, {"f", 5, 0}, {"s", 0, 1}};
  EXPECT_EQ(all.seen, expected);
  EXPECT_TRUE(all.pathsJoined);

  Collector first;
  first.dir = dir.path();
  first.stopAfter = 1;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &first), aErrNone);
  EXPECT_EQ(first.calls, 1u) << "the callback asked to stop";

  Collector none;
  EXPECT_EQ(aDirectory_List(dir.file("missing").c_str(), collect, &none), aErrNotFound);
  EXPECT_EQ(none.calls, 0u);
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), nullptr, nullptr), aErrParam);
}

// A directory whose own path takes 2000 of the 2048 bytes listing and tree
// removal join entries in.
std::string deepDirectory(const TempDir& dir) {
  std::string path = dir.path();
  while (path.size() < 2000) {
    path += "/" + std::string(std::min<size_t>(200, 2000 - path.size() - 1), 'd');
  }
  fs::create_directories(path);
  return path;
}

TEST(List, SkipsAnEntryWhosePathDoesNotFit) {
  TempDir dir;
  const std::string deep = deepDirectory(dir);
  ASSERT_EQ(deep.size(), 2000u);
  fs::create_directory(deep + "/" + std::string(60, 'x'));
  fs::create_directory(deep + "/ok");
  Collector c;
  c.dir = deep;
  EXPECT_EQ(aDirectory_List(deep.c_str(), collect, &c), aErrNone);
  const std::set<Seen> expected = {{".", 0, 1}, {"..", 0, 1}, {"ok", 0, 1}};
  EXPECT_EQ(c.seen, expected);
}

// --- Delete and DeleteTree ---------------------------------------------------

TEST(Delete, RemovesOnlyEmptyDirectories) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("full").c_str(), 0755), 0);
  dir.write("full/f", "x");
  EXPECT_EQ(aDirectory_Delete(dir.file("empty").c_str()), aErrNone);
  EXPECT_EQ(aDirectory_Delete(dir.file("full").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete(dir.file("missing").c_str()), aErrUnknown);
  EXPECT_EQ(treeOf(dir.path()), (std::set<std::string>{"full/", "full/f"}));
}

TEST(DeleteTree, RemovesLinksWithoutFollowingThem) {
  TempDir dir;
  fs::create_directories(dir.file("outside/inner"));
  dir.write("outside/keep", "k");
  dir.write("outside-file", "o");
  fs::create_directories(dir.file("tree/sub/subsub"));
  dir.write("tree/a", "a");
  dir.write("tree/sub/b", "b");
  fs::create_directory_symlink(dir.file("outside"), dir.file("tree/sub/to-dir"));
  fs::create_symlink(dir.file("outside-file"), dir.file("tree/to-file"));
  fs::create_symlink(dir.file("nowhere"), dir.file("tree/dangling"));

  EXPECT_EQ(aDirectory_DeleteTree(dir.file("tree").c_str()), aErrNone);
  EXPECT_EQ(treeOf(dir.path()),
            (std::set<std::string>{"outside/", "outside/inner/", "outside/keep", "outside-file"}));
}

TEST(DeleteTree, RefusesALinkAsTheTopAndAMissingTop) {
  TempDir dir;
  fs::create_directory(dir.file("outside"));
  dir.write("outside/keep", "k");
  fs::create_directory_symlink(dir.file("outside"), dir.file("link"));
  EXPECT_EQ(aDirectory_DeleteTree(dir.file("link").c_str()), aErrNotFound);
  EXPECT_EQ(aDirectory_DeleteTree(dir.file("missing").c_str()), aErrNotFound);
  EXPECT_EQ(treeOf(dir.path()), (std::set<std::string>{"outside/", "outside/keep", "link"}));
}

TEST(DeleteTree, AnEntryWhosePathDoesNotFitEndsTheWalk) {
  TempDir dir;
  const std::string deep = deepDirectory(dir);
  const std::string tooLong = deep + "/" + std::string(60, 'x');
  fs::create_directory(tooLong);
  EXPECT_EQ(aDirectory_DeleteTree(deep.c_str()), aErrUnknown);
  EXPECT_TRUE(fs::is_directory(tooLong));
}

TEST(DeleteTree, UnlinkFailureIsPrintedAndEndsTheWalk) {
  TempDir dir;
  dir.openToAll();
  fs::create_directories(dir.file("tree/ro"));
  const std::string stuck = dir.write("tree/ro/stuck", "s");
  ASSERT_EQ(chmod(dir.file("tree").c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.file("tree/ro").c_str(), 0555), 0);
  const std::string tree = dir.file("tree");
  const std::string out = dir.file("stdout");
  const std::string err = dir.file("stderr");
  int result = runInChild(
      [&] {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) {
          return 100;
        }
        aErr r = aDirectory_DeleteTree(tree.c_str());
        fflush(stdout);
        return static_cast<int>(r);
      },
      true);
  EXPECT_EQ(result, aErrUnknown);
  EXPECT_EQ(readFile(out), "---error unlink-ing file [" + stuck + "]\n");
  EXPECT_EQ(readFile(err), "aDirectory_DeleteTree: Permission denied\n");
  EXPECT_TRUE(fs::exists(stuck));
}

// --- Where things are --------------------------------------------------------

TEST(Locations, CurrentDirectoryAndExecutable) {
  char buffer[4096];
  ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), fs::current_path().string());
  EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam) << "too small";
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(aDirectory_CWD(buffer, 0), aErrParam);

  const std::string exe = fs::read_symlink("/proc/self/exe").string();
  ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), exe);
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrNone) << "truncated";
  EXPECT_EQ(std::string(buffer), exe.substr(0, 4));
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 1), aErrNone);
  EXPECT_STREQ(buffer, "");
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 0), aErrParam);
  EXPECT_EQ(buffer[0], '#');
}

// Each case runs in a child that sets HOME and, unless it stays root, takes a
// user id without a password entry.
TEST(HomeDirectory, PasswordEntryThenHomeElseAnError) {
  constexpr uid_t kUnknownUser = 54321;
  ASSERT_EQ(getpwuid(kUnknownUser), nullptr) << "the test needs a user id without an entry";
  const passwd* root = getpwuid(0);
  ASSERT_NE(root, nullptr);
  const std::string rootHome = root->pw_dir;
  struct Case {
    const char* what;
    bool unknownUser;
    const char* home;  // NULL: unset
    size_t size;
    aErr result;
    std::string text;
  };
  const Case cases[] = {
      {"password entry wins over HOME", false, "/elsewhere", 64, aErrNone, rootHome},
      {"HOME without a password entry", true, "/srv/home", 64, aErrNone, "/srv/home"},
      {"HOME that just fits", true, "/srv/home", 10, aErrNone, "/srv/home"},
      {"HOME longer than the buffer", true, "/srv/home", 9, aErrOverrun, ""},
      {"neither", true, nullptr, 64, aErrNotFound, ""},
  };
  for (const Case& c : cases) {
    int status = runInChild(
        [&] {
          if ((c.home == nullptr ? unsetenv("HOME") : setenv("HOME", c.home, 1)) != 0 ||
              (c.unknownUser && setuid(kUnknownUser) != 0)) {
            return 100;
          }
          std::vector<char> buffer(c.size, '#');
          aErr r = aDirectory_GetHomeDirectory(buffer.data(), buffer.size());
          bool terminated = std::memchr(buffer.data(), '\0', buffer.size()) != nullptr;
          return r == c.result && terminated && c.text == buffer.data() ? 0 : 1;
        },
        false);
    EXPECT_EQ(status, 0) << c.what;
  }
  char buffer[4] = {'#'};
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, 0), aErrParam);
  EXPECT_EQ(buffer[0], '#');
}

TEST(Exists, OnlyDirectories) {
  TempDir dir;
  EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
  EXPECT_FALSE(aDirectory_Exists(dir.write("f", "x").c_str()));
  EXPECT_FALSE(aDirectory_Exists(dir.file("missing").c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
}

}  // namespace
