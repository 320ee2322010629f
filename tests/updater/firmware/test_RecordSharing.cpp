// One module's record changed by several processes at once, and the bound
// on waiting for another process's lock.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/TempDir.h"
#include "updater/firmware/RecordLock.h"
#include "updater/firmware/UpdaterStore.h"

extern char** environ;

namespace {

using testsupport::readFile;
using testsupport::TempDir;

constexpr int kChanges = 200;

pid_t startWriter(const std::string& store, const std::string& prefix) {
  std::vector<std::string> args = {RECORD_WRITER_PATH, store, "0000ABCD", prefix, std::to_string(kChanges)};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// The writer's exit status; -1 when it died, or was killed after the bound.
int finish(pid_t pid, std::chrono::seconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two processes, no folder yet: both make it and its record, then each adds
// its own keys one change at a time. Every key of both survives.
TEST(RecordSharing, TwoProcessesChangingOneRecordLoseNoKey) {
  TempDir dir;
  const std::string store = dir.file("updater");
  const pid_t a = startWriter(store, "A");
  const pid_t b = startWriter(store, "B");
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(finish(a, std::chrono::seconds(120)), 0);
  EXPECT_EQ(finish(b, std::chrono::seconds(120)), 0);

  KeyValueStore record;
  const std::string text = readFile(store + "/0000ABCD/.settings");
  record.Parse(text.data(), text.size());
  int missing = 0;
  for (const char* prefix : {"A", "B"}) {
    for (int i = 0; i < kChanges; ++i) {
      const std::string key = prefix + std::to_string(i);
      if (record.GetString(key.c_str(), "") != std::to_string(i)) ++missing;
    }
  }
  EXPECT_EQ(missing, 0) << text;
  EXPECT_NE(record[KeyValueStore::KEY_CREATED_TIME], nullptr);
}

TEST(RecordSharing, AHeldLockEndsTheWaitWithAnErrorAndTheRecordAsItWas) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem item = store.AddDevice(0x0000ABCDu);
  const std::string before = readFile(item.SettingsPath());

  // Locks are held per open file, so another lock of this process stands
  // in for another process.
  RecordLock other;
  std::string error;
  ASSERT_TRUE(other.Acquire(item.SettingsPath(), 0, &error)) << error;
  const auto start = std::chrono::steady_clock::now();
  bool changed = item.ChangeAttributes([](KeyValueStore& record) { record.Add("K", "1"); }, &error, 300);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(changed);
  EXPECT_GE(waited, 0.25);
  EXPECT_LT(waited, 5.0);
  EXPECT_NE(error.find(item.SettingsPath()), std::string::npos) << error;
  EXPECT_NE(error.find("held by another process"), std::string::npos) << error;
  EXPECT_EQ(readFile(item.SettingsPath()), before);
  EXPECT_EQ(item.attributes["K"], nullptr);

  other.Release();
  EXPECT_TRUE(item.ChangeAttributes([](KeyValueStore& record) { record.Add("K", "1"); }, &error, 300)) << error;
  EXPECT_STREQ(item.attributes["K"], "1");
  EXPECT_NE(readFile(item.SettingsPath()).find("K=1\n"), std::string::npos);
}

}  // namespace
