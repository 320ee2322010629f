// The Updater executable's one line on stderr for each way a store, a
// container or a module can refuse a run: what failed, on which file, and
// the system's reason in words. And the temporaries of a run killed between
// its write and its rename, which the next run clears away.
//
// Store trouble is made in a mount namespace of the child's own: a small
// tmpfs filled to the last page over the store, or the store bound
// read-only (which binds root too). The module for the validation rows is
// simulated over TCP and found by legacy discovery, so the whole program
// runs in a network namespace of its own, which the Updater child inherits;
// the update server is simulated on loopback.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/sim/ProgramRun.h"
#include "tests/updater/operations/DiscoverableModule.h"
#include "tests/updater/operations/OpsServerFixture.h"
#include "tests/updater/operations/PrivateNetworkEnvironment.h"

namespace {

namespace fs = std::filesystem;
using opstest::containerBytes;
using opstest::ContainerShape;
using opstest::kSerial;
using testsupport::readFile;

// Where the run's store lives while it runs.
enum class Mount { Plain, FullDisk, ReadOnly };

class FailureLineTest : public opstest::OpsServerTest {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    OpsServerTest::SetUp();
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  }
  void TearDown() override {
    module.reset();
    OpsServerTest::TearDown();
  }

  // The Updater with the options, its store mounted as asked; its exit
  // status (-1 when it did not exit by itself), out and err what it printed.
  int run(const std::vector<std::string>& options, Mount mount = Mount::Plain,
          const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv = {UPDATER_PATH, "-u", peer.url(), "-i", dir.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string script;
    switch (mount) {
      case Mount::Plain: break;
      case Mount::FullDisk:
        // The store is copied onto a small tmpfs mounted over it and filled
        // to the last page.
        script =
            "set -e; S=\"$0/updater\"; mkdir \"$0/seed\"; cp -a \"$S/.\" \"$0/seed/\";"
            "mount -t tmpfs -o size=512k tmpfs \"$S\"; cp -a \"$0/seed/.\" \"$S/\";"
            "dd if=/dev/zero of=\"$S/.fill\" bs=4096 2>/dev/null || true; set +e; exec \"$@\"";
        break;
      case Mount::ReadOnly:
        script = "set -e; S=\"$0/updater\"; mount --bind \"$S\" \"$S\"; mount -o remount,bind,ro \"$S\"; exec \"$@\"";
        break;
    }
    if (!script.empty()) {
      argv.insert(argv.begin(),
                  {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, dir.path()});
    }
    if (!environment.empty()) {
      argv.insert(argv.begin(), environment.begin(), environment.end());
      argv.insert(argv.begin(), "/usr/bin/env");
    }
    int status = testsupport::runProgram(argv, dir.file("out"), dir.file("err"));
    out = readFile(dir.file("out"));
    err = readFile(dir.file("err"));
    return status;
  }

  std::set<std::string> entriesOf(const std::string& folder) const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
  }

  std::unique_ptr<opstest::DiscoverableModule> module;
  std::string out;
  std::string err;
};

class FailureLines;

struct FailingRun {
  const char* name;
  // Prepares the store and files; returns the lines stderr must hold.
  std::function<std::vector<std::string>(FailureLines&)> prepare;
  std::vector<std::string> options;  // "@name": the file name in the test's folder
  Mount mount = Mount::Plain;
  bool module = false;  // a module 0000ABCD answers on the network
};

class FailureLines : public FailureLineTest, public ::testing::WithParamInterface<FailingRun> {
 public:
  // Public for the rows, which set the store up.
  using FailureLineTest::deviceDir;
  using FailureLineTest::dir;
};

void PrintTo(const FailingRun& run, std::ostream* os) { *os << run.name; }

TEST_P(FailureLines, OneLineSaysWhatFailedOnWhichFileAndWhy) {
  const std::vector<std::string> lines = GetParam().prepare(*this);
  if (GetParam().module) module = std::make_unique<opstest::DiscoverableModule>(kSerial);
  std::vector<std::string> options = GetParam().options;
  for (std::string& option : options) {
    if (option[0] == '@') option = dir.file(option.substr(1));
  }
  EXPECT_EQ(run(options, GetParam().mount), 1) << out << err;
  std::string expected;
  for (const std::string& line : lines) expected += line + "\n";
  EXPECT_EQ(err, expected);
}

std::string moduleFolder(FailureLines& t) { return t.deviceDir(kSerial); }

// A module folder that is there, with its record.
void makeModuleFolder(FailureLines& t) {
  ASSERT_EQ(mkdir(moduleFolder(t).c_str(), 0755), 0);
  t.dir.write("updater/0000ABCD/.settings", "CREATED_TIME=Mon Jan  1 00:00:00 2024\n");
}

const std::vector<std::string> kDownload = {"-G", "-d", "0000ABCD"};

std::vector<std::string> updateFrom(const char* file) {
  return {"-U", "-d", "0000ABCD", "-f", std::string("@") + file};
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailureLines,
    ::testing::Values(
        FailingRun{"DownloadOntoAFullDisk",
                   [](FailureLines& t) -> std::vector<std::string> {
                     makeModuleFolder(t);
                     return {"Failed to write file with 6: " + moduleFolder(t) +
                             "/1234.bird: No space left on device"};
                   },
                   kDownload, Mount::FullDisk},
        FailingRun{"DownloadIntoAReadOnlyStore",
                   [](FailureLines& t) -> std::vector<std::string> {
                     makeModuleFolder(t);
                     return {"Failed to write file with 12: " + moduleFolder(t) +
                             "/1234.bird: Read-only file system"};
                   },
                   kDownload, Mount::ReadOnly},
        FailingRun{"DownloadIntoAReadOnlyStoreWithoutTheModulesFolder",
                   [](FailureLines& t) -> std::vector<std::string> {
                     return {"Could not create directory for storing BIRD file: " + moduleFolder(t) +
                             ": Read-only file system"};
                   },
                   kDownload, Mount::ReadOnly},
        FailingRun{"DownloadWhereTheModulesFolderIsAFile",
                   [](FailureLines& t) -> std::vector<std::string> {
                     t.dir.write("updater/0000ABCD", "not a folder");
                     return {"Failed to write file with 3: " + moduleFolder(t) + "/1234.bird: Not a directory"};
                   },
                   kDownload},
        FailingRun{"UpdateFromAMissingFile",
                   [](FailureLines& t) -> std::vector<std::string> {
                     return {"Failed to load bird file: " + t.dir.file("missing.bird") +
                             ": No such file or directory"};
                   },
                   updateFrom("missing.bird")},
        FailingRun{"UpdateFromADirectory",
                   [](FailureLines& t) -> std::vector<std::string> {
                     fs::create_directory(t.dir.file("folder.bird"));
                     return {"Failed to load bird file: " + t.dir.file("folder.bird") + ": Is a directory"};
                   },
                   updateFrom("folder.bird")},
        FailingRun{"UpdateFromATextFile",
                   [](FailureLines& t) -> std::vector<std::string> {
                     t.dir.write("notes.bird", "LATEST_DOWNLOAD=1234.bird\nthis is no container\n");
                     return {"Failed to load bird file: " + t.dir.file("notes.bird") +
                             ": it does not begin with \"bird\", so it is no firmware container"};
                   },
                   updateFrom("notes.bird")},
        FailingRun{"UpdateFromATruncatedContainer",
                   [](FailureLines& t) -> std::vector<std::string> {
                     const std::string whole = containerBytes(ContainerShape());
                     t.dir.write("cut.bird", whole.substr(0, whole.size() / 2));
                     return {"Failed to load bird file: " + t.dir.file("cut.bird") +
                             ": its compressed body is damaged or cut short"};
                   },
                   updateFrom("cut.bird")},
        FailingRun{"UpdateWithABuildThatIsNotStored",
                   [](FailureLines& t) -> std::vector<std::string> {
                     makeModuleFolder(t);
                     return {"Failed to load bird file: " + moduleFolder(t) + "/999.bird: No such file or directory"};
                   },
                   {"-U", "-d", "0000ABCD", "-b", "999"}},
        FailingRun{"UpdateWithAContainerForAnotherDevice",
                   [](FailureLines& t) -> std::vector<std::string> {
                     ContainerShape other;
                     other.serial = 0x11112222;
                     t.dir.write("other.bird", containerBytes(other));
                     return {"Birdfile failed validation: " + t.dir.file("other.bird") +
                             " is for device 11112222, not 0000ABCD"};
                   },
                   updateFrom("other.bird"), Mount::Plain, true},
        // The model line comes first, as it always has.
        FailingRun{"UpdateWithAContainerForAnotherModel",
                   [](FailureLines& t) -> std::vector<std::string> {
                     ContainerShape other;
                     other.model = "Quillet";
                     t.dir.write("quillet.bird", containerBytes(other));
                     return {"Connected device model and Bird file model do not match [Pandrel] (0)",
                             "Birdfile failed validation: " + t.dir.file("quillet.bird") +
                                 " is for model Quillet, the module is a Pandrel"};
                   },
                   updateFrom("quillet.bird"), Mount::Plain, true}),
    [](const ::testing::TestParamInfo<FailingRun>& info) { return std::string(info.param.name); });

// A download killed at the rename of its container, or of the record after
// it, leaves its temporary; the next run stores the build and no temporary
// is left.
TEST_F(FailureLineTest, AKilledDownloadsTemporaryIsGoneAfterTheNextRun) {
  const std::string container = containerBytes(ContainerShape());
  struct Row {
    const char* killedAt;
    std::string temporaryPrefix;
    size_t temporarySize;  // 0: not checked
  } rows[] = {
      {"/1234.bird", ".1234.bird.", container.size()},
      {"/.settings", "..settings.", 0},
  };
  std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
  asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.killedAt);
    fs::remove_all(deviceDir(kSerial));

    const std::vector<std::string> killing = {std::string("LD_PRELOAD=") + KILL_AT_RENAME_PATH,
                                              std::string("TESSARINE_KILL_AT_RENAME=") + row.killedAt,
                                              "ASAN_OPTIONS=" + asan};
    EXPECT_EQ(run(kDownload, Mount::Plain, killing), -1)
        << "the run was not killed: " << out << err;
    std::vector<std::string> temporaries;
    for (const std::string& name : entriesOf(deviceDir(kSerial))) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) temporaries.push_back(name);
    }
    ASSERT_EQ(temporaries.size(), 1u);
    EXPECT_EQ(temporaries[0].rfind(row.temporaryPrefix, 0), 0u) << temporaries[0];
    if (row.temporarySize != 0) {
      EXPECT_EQ(fs::file_size(deviceDir(kSerial) + "/" + temporaries[0]), row.temporarySize);
    }

    ASSERT_EQ(run(kDownload), 0) << out << err;
    EXPECT_EQ(readFile(deviceDir(kSerial) + "/1234.bird"), container);
    EXPECT_EQ(entriesOf(deviceDir(kSerial)), (std::set<std::string>{".settings", ".settings.lock", "1234.bird"}));
  }
}

}  // namespace
