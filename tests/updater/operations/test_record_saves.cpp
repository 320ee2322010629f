// The Updater executable's -G and -U when the module's record cannot be
// saved: a directory in its place, a record the user may not read (the tool
// run without root), and a full disk (a small tmpfs over the store in a
// mount namespace of the child's own). Each run exits 1 with one line that
// names the record; the firmware is stored or written all the same, and the
// old record is left as it was.
//
// The module for -U is simulated over TCP and found by legacy discovery, so
// the whole program runs in a network namespace of its own (which the
// Updater child inherits); the update server is simulated on loopback.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/sim/ProgramRun.h"
#include "tests/updater/operations/DiscoverableModule.h"
#include "tests/updater/operations/OpsServerFixture.h"
#include "tests/updater/operations/PrivateNetworkEnvironment.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerShape;
using opstest::kSerial;
using testsupport::readFile;

constexpr size_t kPage = 4096;

enum class Failure { Directory, Unreadable, DiskFull };

const char* nameOf(Failure failure) {
  switch (failure) {
    case Failure::Directory: return "Directory";
    case Failure::Unreadable: return "Unreadable";
    case Failure::DiskFull: break;
  }
  return "DiskFull";
}

void PrintTo(Failure failure, std::ostream* os) { *os << nameOf(failure); }

class RecordSaveTest : public opstest::OpsServerTest {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    OpsServerTest::SetUp();
    ASSERT_EQ(mkdir(store.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(deviceDir(kSerial).c_str(), 0777), 0);
    ASSERT_EQ(chmod(store.c_str(), 0777), 0);
    ASSERT_EQ(chmod(deviceDir(kSerial).c_str(), 0777), 0);
    dir.openToAll();
  }
  void TearDown() override {
    module.reset();
    OpsServerTest::TearDown();
  }

  void startModule() { module = std::make_unique<opstest::DiscoverableModule>(kSerial); }

  // The module's folder as the run left it: the store itself, or for a full
  // disk the copy that the child made of its tmpfs before it ended.
  std::string folderAfter(Failure failure) const {
    return failure == Failure::DiskFull ? dir.file("after/" + opstest::hex8(kSerial)) : deviceDir(kSerial);
  }

  // Sets the record up to fail, runs the Updater with the options and
  // returns its exit status. freePages: what a full disk leaves free.
  int runFailing(Failure failure, const std::vector<std::string>& options, size_t freePages) {
    const std::string record = deviceDir(kSerial) + "/.settings";
    std::vector<std::string> argv = {UPDATER_PATH, "-u", peer.url(), "-i", dir.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    switch (failure) {
      case Failure::Directory:
        if (mkdir(record.c_str(), 0755) != 0) return -2;
        break;
      case Failure::Unreadable:
        dir.write("updater/0000ABCD/.settings", oldRecord);
        if (chmod(record.c_str(), 0) != 0) return -2;
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        break;
      case Failure::DiskFull: {
        dir.write("updater/0000ABCD/.settings", oldRecord);
        // The store is copied onto a small tmpfs mounted over it, filled to
        // the last free pages, and copied back out after the run; the mount
        // goes with the child's namespace.
        const std::string script =
            "set -e; S=\"$0/updater\"; mkdir \"$0/seed\" \"$0/after\"; cp -a \"$S/.\" \"$0/seed/\";"
            "mount -t tmpfs -o size=512k,mode=0777 tmpfs \"$S\"; cp -a \"$0/seed/.\" \"$S/\";"
            "dd if=/dev/zero of=\"$S/.fill\" bs=4096 2>/dev/null || true;"
            "truncate -s -" + std::to_string(freePages * kPage) + " \"$S/.fill\";"
            "set +e; \"$@\"; rc=$?; rm -f \"$S/.fill\"; cp -a \"$S/.\" \"$0/after/\"; exit $rc";
        argv.insert(argv.begin(), {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script,
                                   dir.path()});
        break;
      }
    }
    int status = testsupport::runProgram(argv, dir.file("out"), dir.file("err"));
    out = readFile(dir.file("out"));
    err = readFile(dir.file("err"));
    return status;
  }

  // What the error line says went wrong with the record, and why.
  static std::string reasonOf(Failure failure) {
    switch (failure) {
      case Failure::Directory: return "cannot be read: Is a directory";
      case Failure::Unreadable: return "cannot be read: Permission denied";
      case Failure::DiskFull: break;
    }
    return "cannot be written: No space left on device";
  }

  // What the old record is after the run: the same bytes, or still a
  // directory.
  void expectOldRecord(Failure failure) {
    const std::string record = folderAfter(failure) + "/.settings";
    if (failure == Failure::Directory) {
      struct stat info;
      ASSERT_EQ(stat(record.c_str(), &info), 0);
      EXPECT_TRUE(S_ISDIR(info.st_mode));
    } else {
      chmod(record.c_str(), 0644);
      EXPECT_EQ(readFile(record), oldRecord);
    }
  }

  const std::string oldRecord = "CREATED_TIME=Mon Jan  1 00:00:00 2024\nLATEST_DOWNLOAD=1200.bird\n";
  std::unique_ptr<opstest::DiscoverableModule> module;
  std::string out;
  std::string err;
};

class RecordSaveFailureTest : public RecordSaveTest, public ::testing::WithParamInterface<Failure> {};

// -G of the latest build: the container is stored, but the record of it is
// not, and the run says so.
TEST_P(RecordSaveFailureTest, DownloadStoresTheBuildAndReportsTheRecord) {
  ContainerShape old;
  old.build = opstest::kOldBuild;
  dir.write("updater/0000ABCD/1200.bird", containerBytes(old));
  const std::string latest = containerBytes(ContainerShape());
  const size_t birdPages = (latest.size() + kPage - 1) / kPage;

  EXPECT_EQ(runFailing(GetParam(), {"-G", "-d", "0000ABCD"}, birdPages), 1) << out << err;
  EXPECT_NE(err.find("Could not record the download of 1234.bird: " + deviceDir(kSerial) + "/.settings " +
                     reasonOf(GetParam()) + "\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(readFile(folderAfter(GetParam()) + "/1234.bird"), latest);
  EXPECT_EQ(readFile(folderAfter(GetParam()) + "/1200.bird"), containerBytes(old));
  expectOldRecord(GetParam());
}

// -U over TCP of the stored build: the module gets its firmware, the run
// exits 1 saying that the transfer could not be recorded.
TEST_P(RecordSaveFailureTest, UpdateWritesTheModuleAndReportsTheRecord) {
  const std::string stored = containerBytes(ContainerShape());
  dir.write("updater/0000ABCD/1234.bird", stored);
  startModule();

  EXPECT_EQ(runFailing(GetParam(), {"-U", "-d", "0000ABCD", "-b", "1234"}, 0), 1) << out << err;
  EXPECT_NE(err.find("Firmware written, but the transfer of 1234.bird could not be recorded: " + deviceDir(kSerial) +
                     "/.settings " + reasonOf(GetParam()) + "\n"),
            std::string::npos)
      << err;
  opstest::expectFirmwareIn(module->sim.upgrade);
  EXPECT_EQ(readFile(folderAfter(GetParam()) + "/1234.bird"), stored);
  expectOldRecord(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Records, RecordSaveFailureTest,
                         ::testing::Values(Failure::Directory, Failure::Unreadable, Failure::DiskFull),
                         [](const ::testing::TestParamInfo<Failure>& info) { return nameOf(info.param); });

// The same two runs with a record that can be saved: exit 0, and the keys
// that other runs recorded stay beside the new ones.
TEST_F(RecordSaveTest, WithAWritableRecordBothRunsRecord) {
  dir.write("updater/0000ABCD/.settings", oldRecord);
  std::vector<std::string> argv = {UPDATER_PATH, "-u", peer.url(), "-i", dir.path(), "-G", "-d", "0000ABCD"};
  ASSERT_EQ(testsupport::runProgram(argv, dir.file("out"), dir.file("err")), 0) << readFile(dir.file("err"));
  startModule();
  argv = {UPDATER_PATH, "-u", peer.url(), "-i", dir.path(), "-U", "-d", "0000ABCD"};
  ASSERT_EQ(testsupport::runProgram(argv, dir.file("out"), dir.file("err")), 0) << readFile(dir.file("err"));
  EXPECT_EQ(readFile(dir.file("err")), "");
  KeyValueStore values = settings(kSerial);
  EXPECT_STREQ(values["LATEST_DOWNLOAD"], "1234.bird");
  EXPECT_STREQ(values["LATEST_TRANSFER"], "1234.bird");
  EXPECT_STREQ(values["CREATED_TIME"], "Mon Jan  1 00:00:00 2024");
}

}  // namespace
