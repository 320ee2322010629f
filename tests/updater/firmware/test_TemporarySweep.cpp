// Temporaries that writers leave in a store folder: a save removes those
// whose writer is gone and never one that a live writer holds, whatever
// process id its name carries.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/sim/TempDir.h"
#include "updater/firmware/FileReplace.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;

constexpr int kChildWaitMs = 10000;

std::set<std::string> folderEntries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

std::string pidText(pid_t pid) { return std::to_string(static_cast<long>(pid)); }

// Another process in the middle of two saves: it holds the temporary that
// TemporaryFile makes for 7.bird, and a locked file under the very name
// this process's save of 5.bird tries first, as a writer with the same
// process id in another namespace would. It holds both until it is killed.
class LiveWriter {
 public:
  LiveWriter(const std::string& folder, pid_t parent) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      TemporaryFile temporary;
      int error = 0;
      const std::string sameName = folder + "/.5.bird." + pidText(parent) + ".tmp";
      const int held = open(sameName.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (!temporary.Create(folder + "/7.bird", &error) || held < 0 || flock(held, LOCK_EX | LOCK_NB) != 0) _exit(1);
      const std::string line = fs::path(temporary.Path()).filename().string() + "\n";
      if (write(ready[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(2);
      for (;;) pause();
    }
    close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    char text[256] = {0};
    if (pid_ > 0 && poll(&wait, 1, kChildWaitMs) == 1) {
      ssize_t got = read(ready[0], text, sizeof text - 1);
      if (got > 1) temporaryName_.assign(text, static_cast<size_t>(got) - 1);
    }
    close(ready[0]);
  }
  ~LiveWriter() { kill9(); }

  // kill -9: the writer is gone, and its locks with it.
  void kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& temporaryName() const { return temporaryName_; }

 private:
  pid_t pid_ = -1;
  std::string temporaryName_;
};

TEST(TemporarySweep, ASaveRemovesWhatGoneWritersLeftAndKeepsLiveOnes) {
  TempDir dir;
  const std::string folder = dir.path();
  const std::string self = pidText(getpid());
  dir.write("5.bird", "old build");
  dir.write(".settings", "LATEST_DOWNLOAD=5.bird\n");
  dir.write(".settings.lock", "");
  // Left by killed writers. One carries this live process's id, as a
  // reused process id would; nobody holds it all the same.
  const std::set<std::string> abandoned = {".5.bird.4194301.tmp", "..settings." + self + ".tmp",
                                           ".1234.bird.77.3.tmp"};
  for (const std::string& name : abandoned) dir.write(name, std::string(4096, 'x'));
  // Not temporaries of the store's files: another program's hidden file,
  // names without a process id, and a folder.
  const std::set<std::string> others = {".notes.123.tmp", ".5.bird.tmp", "5.bird.123.tmp", ".bird.9.tmp"};
  for (const std::string& name : others) dir.write(name, "keep");
  ASSERT_TRUE(fs::create_directory(dir.file(".6.bird.12.tmp")));

  LiveWriter writer(folder, getpid());
  ASSERT_FALSE(writer.temporaryName().empty()) << "the writer did not start";
  const std::string sameName = ".5.bird." + self + ".tmp";

  const std::string bytes = "new build";
  int error = -1;
  ASSERT_EQ(ReplaceFile(dir.file("5.bird"), bytes.data(), bytes.size(), &error), aErrNone);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(readFile(dir.file("5.bird")), bytes);

  std::set<std::string> expected = {"5.bird", ".settings", ".settings.lock", ".6.bird.12.tmp",
                                    writer.temporaryName(), sameName};
  expected.insert(others.begin(), others.end());
  EXPECT_EQ(folderEntries(folder), expected);

  // Once the writer is killed nothing holds its temporaries any more.
  writer.kill9();
  EXPECT_EQ(SweepTemporaries(folder), 2u);
  expected.erase(writer.temporaryName());
  expected.erase(sameName);
  EXPECT_EQ(folderEntries(folder), expected);
}

TEST(TemporarySweep, NamesOfTheStoresTemporaries) {
  struct Row {
    const char* name;
    bool temporary;
  } rows[] = {
      {".1234.bird.8391.tmp", true},  {"..settings.17.tmp", true},  {".1234.bird.8391.2.tmp", true},
      {".1234.bird.tmp", false},      {"1234.bird.8391.tmp", false}, {".settings.17.tmp", false},
      {".bird.17.tmp", false},        {".a.bird.x7.tmp", false},     {".a.bird.7.tmp.gz", false},
      {"..settings.lock", false},     {".1.bird.1.2.3.tmp", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsStoreTemporaryName(row.name), row.temporary) << row.name;
}

}  // namespace
