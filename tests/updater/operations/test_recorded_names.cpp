// A module's record names the containers that the update falls back on. A
// name that is not a plain file of the module's folder is ignored with a
// log line, and the build choice goes on as if it were not recorded.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "tests/updater/operations/OpsServerFixture.h"
#include "updater/support/Log.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerShape;
using opstest::kSerial;

// Everything Log writes while it lives.
class CapturedLog {
 public:
  CapturedLog() : file_(std::tmpfile()) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_Updater);
  }
  ~CapturedLog() {
    Log::DeactivatePackage(DEBUG_Updater);
    Log::SetOutput(nullptr);
    if (file_ != nullptr) std::fclose(file_);
  }
  std::string text() const {
    std::string all;
    if (file_ == nullptr) return all;
    std::fflush(file_);
    std::rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) all.append(chunk, n);
    return all;
  }

 private:
  std::FILE* file_;
};

using RecordedNamesTest = opstest::OpsServerTest;

TEST_F(RecordedNamesTest, TheUpdateFollowsNoRecordedNameOutOfTheFolder) {
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deviceDir(kSerial).c_str(), 0755), 0);
  ASSERT_EQ(mkdir((deviceDir(kSerial) + "/sub").c_str(), 0755), 0);
  // Good containers wherever the names point; none in the folder itself,
  // so a name that were followed would end in "Failed to load bird file".
  const std::string good = containerBytes(ContainerShape());
  dir.write("updater/1234.bird", good);
  dir.write("updater/0000ABCD/sub/1234.bird", good);
  const std::string absolute = dir.write("1234.bird", good);
  // The server names no build: the choice falls to the record.
  testsupport::UpdateServerFaults noLatest;
  noLatest.onlyOp = "qu";
  noLatest.body = "fail\n";
  peer.setFaults(noLatest);

  const std::string names[] = {"../1234.bird", absolute, "sub/1234.bird", "1234.bird/../../1234.bird"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    dir.write("updater/0000ABCD/.settings", "LATEST_DOWNLOAD=" + name + "\nLATEST_TRANSFER=" + name + "\n");
    display.lines.clear();
    CapturedLog log;
    EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
    EXPECT_EQ(display.errors(), std::vector<std::string>{"Could not find valid build for this device."})
        << display.all();
    EXPECT_FALSE(display.has("I:Updating with the Latest Download")) << display.all();
    EXPECT_NE(log.text().find("LATEST_DOWNLOAD [" + name + "] is not a file of"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("LATEST_TRANSFER [" + name + "] is not a file of"), std::string::npos);
  }
}

}  // namespace
