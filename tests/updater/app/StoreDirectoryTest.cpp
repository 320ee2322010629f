#include "updater/StoreDirectory.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/sim/ChildProcess.h"
#include "tests/sim/TempDir.h"
#include "Tessarine2/common/aError.h"
#include "tests/updater/app/RecordingDisplay.h"
#include "updater/support/Log.h"

namespace {

using testsupport::RecordingDisplay;
using testsupport::runInChild;
using testsupport::TempDir;

// Results of the checks made in a child, as its exit status.
enum ChildResult {
  kPassed = 0,
  kCannotSwitchUser = 2,
  kWrongStatus,
  kWrongStoreDir,
  kNotMade,
  kWrongMode,
  kWrongMessages,
  kWrongLog,
};

bool isDirectoryWithMode(const std::string& path, mode_t mode) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 07777) == mode;
}

// A user id the password database does not know, so the home directory
// comes from HOME.
uid_t unknownUser() {
  for (uid_t uid = 54321; uid < 54421; ++uid) {
    if (getpwuid(uid) == nullptr) return uid;
  }
  return 0;
}

bool becomeUser(uid_t uid, gid_t gid) {
  return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 && getuid() == uid;
}

std::string readAll(FILE* file) {
  std::string text;
  rewind(file);
  char chunk[256];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  return text;
}

class StoreDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { savedMask_ = umask(022); }
  void TearDown() override { umask(savedMask_); }

 private:
  mode_t savedMask_ = 022;
};

TEST_F(StoreDirectoryTest, GivenDirectoryIsTheParentOfTheStore) {
  TempDir dir;
  for (const std::string& given : {dir.path(), dir.file("new/deeper")}) {
    RecordingDisplay display;
    Parameters params;
    params.storeDir = given;
    EXPECT_EQ(_ensure_store_directory(display, params), 0);
    EXPECT_EQ(params.storeDir, given + "/updater");
    EXPECT_TRUE(isDirectoryWithMode(params.storeDir, 0755)) << params.storeDir;
    EXPECT_TRUE(display.lines.empty());
  }
  // Present already: nothing to do.
  RecordingDisplay display;
  Parameters params;
  params.storeDir = dir.path();
  EXPECT_EQ(_ensure_store_directory(display, params), 0);
}

TEST_F(StoreDirectoryTest, HomeFromEnvironmentWhenTheUserHasNoEntry) {
  uid_t uid = unknownUser();
  if (uid == 0) GTEST_SKIP() << "no free user id";
  TempDir home;
  home.openToAll();
  int result = runInChild(
      [&] {
        if (setenv("HOME", home.path().c_str(), 1) != 0 || !becomeUser(uid, uid)) return int(kCannotSwitchUser);
        RecordingDisplay display;
        Parameters params;
        if (_ensure_store_directory(display, params) != 0) return int(kWrongStatus);
        if (params.storeDir != home.path() + "/.zeltrova/updater") return int(kWrongStoreDir);
        if (!isDirectoryWithMode(home.path() + "/.zeltrova", 0755)) return int(kNotMade);
        if (!isDirectoryWithMode(params.storeDir, 0755)) return int(kWrongMode);
        return display.lines.empty() ? int(kPassed) : int(kWrongMessages);
      },
      false);
  EXPECT_EQ(result, kPassed);
}

TEST_F(StoreDirectoryTest, NoHomeDirectoryEndsWithStatusOneAndALogLine) {
  uid_t uid = unknownUser();
  if (uid == 0) GTEST_SKIP() << "no free user id";
  int result = runInChild(
      [&] {
        if (unsetenv("HOME") != 0 || !becomeUser(uid, uid)) return int(kCannotSwitchUser);
        FILE* log = tmpfile();
        Log::SetOutput(log);
        Log::ActivatePackage(DEBUG_APP);
        RecordingDisplay display;
        Parameters params;
        if (_ensure_store_directory(display, params) != 1) return int(kWrongStatus);
        if (!display.lines.empty()) return int(kWrongMessages);
        std::string expected = "Updater: FailedaDirectory_GetHomeDirectory()==> " + std::to_string(aErrNotFound) + "\n";
        return readAll(log) == expected ? int(kPassed) : int(kWrongLog);
      },
      false);
  EXPECT_EQ(result, kPassed);
}

// The password entry wins over HOME; nobody's home cannot be written.
TEST_F(StoreDirectoryTest, UnwritableHomeIsReported) {
  TempDir decoy;
  decoy.openToAll();
  int result = runInChild(
      [&] {
        setenv("HOME", decoy.path().c_str(), 1);
        const passwd* self = getpwuid(getuid());
        if (self == nullptr || access(self->pw_dir, F_OK) == 0) return int(kPassed);  // nothing to show here
        RecordingDisplay display;
        Parameters params;
        if (_ensure_store_directory(display, params) != 1) return int(kWrongStatus);
        std::string expectedDir = std::string(self->pw_dir) + "/.zeltrova/updater";
        if (params.storeDir != expectedDir) return int(kWrongStoreDir);
        if (display.lines != std::vector<std::string>{"E:Could not find updater directory at " + expectedDir})
          return int(kWrongMessages);
        return int(kPassed);
      },
      true);
  EXPECT_EQ(result, kPassed);
}

TEST_F(StoreDirectoryTest, GivenDirectoryWithoutPermission) {
  TempDir dir;  // owned by root, not writable by others
  chmod(dir.path().c_str(), 0755);
  int result = runInChild(
      [&] {
        RecordingDisplay display;
        Parameters params;
        params.storeDir = dir.path();
        if (_ensure_store_directory(display, params) != 1) return int(kWrongStatus);
        if (display.lines != std::vector<std::string>{"E:Could not find updater directory at " + dir.path() + "/updater"})
          return int(kWrongMessages);
        return access((dir.path() + "/updater").c_str(), F_OK) != 0 ? int(kPassed) : int(kNotMade);
      },
      true);
  EXPECT_EQ(result, kPassed);
}

}  // namespace
