// Download_Firmware and Get_BuildList against the simulated update server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/updater/operations/OpsServerFixture.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerSpec;
using opstest::kBuild;
using opstest::kJunkSerial;
using opstest::kOldBuild;
using opstest::kSerial;
using opstest::OpsServerTest;
using testsupport::UpdateServerFaults;

using DownloadTest = OpsServerTest;

TEST_F(DownloadTest, LatestBuildIsStoredAndRecorded) {
  EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), kBuild);

  ContainerSpec latest;
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), containerBytes(latest));
  KeyValueStore values = settings(kSerial);
  ASSERT_NE(values["LATEST_DOWNLOAD"], nullptr);
  EXPECT_STREQ(values["LATEST_DOWNLOAD"], "1234.bird");
  ASSERT_NE(values["LAST_DOWNLOAD_DATE"], nullptr);
  EXPECT_EQ(values.GetString("LAST_DOWNLOAD_DATE", "").size(), 24u) << "ctime text without its newline";

  EXPECT_TRUE(display.has("I:Retrieving build 1234")) << display.all();
  EXPECT_TRUE(display.has("I:Validating build 1234 with server"));
  EXPECT_TRUE(display.has("I:Build 1234 is valid"));
  EXPECT_TRUE(display.errors().empty()) << display.all();
  // The spinner is drawn at least once and cleared once.
  EXPECT_GE(display.spinnerTurns, 1);
  EXPECT_EQ(display.spinnerCleared, 1);
}

TEST_F(DownloadTest, GivenBuildWithLeadingZerosIsStoredByItsValue) {
  EXPECT_EQ(updater->Download_Firmware(kSerial, "0001200", false, false), kOldBuild);
  ContainerSpec old;
  old.build = kOldBuild;
  EXPECT_EQ(storedFile(kSerial, "1200.bird"), containerBytes(old));
  EXPECT_STREQ(settings(kSerial)["LATEST_DOWNLOAD"], "1200.bird");
  // The latest-build query is made even for a given build: its version goes
  // with the build request.
  EXPECT_EQ(requestsOf("qu"), 1u);
  bool sawBird = false;
  for (const testsupport::RecordedRequest& r : peer.requests()) {
    if (r.op == "bird") {
      sawBird = true;
      EXPECT_NE(r.target.find("bld=1200&fw=1.2.3&"), std::string::npos) << r.target;
    }
  }
  EXPECT_TRUE(sawBird);
}

TEST_F(DownloadTest, ADownloadReplacesTheStoredFileOfTheSameBuild) {
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deviceDir(kSerial).c_str(), 0755), 0);
  dir.write("updater/0000ABCD/1234.bird", "stale");
  EXPECT_EQ(updater->Download_Firmware(kSerial, "1234", false, false), kBuild);
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), containerBytes(ContainerSpec()));
}

struct FailureCase {
  const char* what;
  uint32_t serial;
  const char* build;
  bool overrideChecks;
  UpdateServerFaults faults;
  bool stopServer;
  std::vector<std::string> errors;  // in order
};

TEST_F(DownloadTest, FailuresReturnZeroAndRecordNothing) {
  UpdateServerFaults birdFails;
  birdFails.onlyOp = "bird";
  birdFails.status = 500;
  UpdateServerFaults badBase64;
  badBase64.badBase64 = true;
  UpdateServerFaults noBuilds;
  noBuilds.onlyOp = "builds";
  noBuilds.body = "fail\n";

  const FailureCase cases[] = {
      {"letters: the build-number error comes before the serial-number error", 0, "abc", false, {}, false,
       {"Build number 'abc' must be an number"}},
      {"serial number 0", 0, "", false, {}, false, {"Serial Number must be non-zero"}},
      {"server unreachable", kSerial, "", false, {}, true, {"Server request failed for URL"}},
      {"module unknown to the server", 0x00C0FFEE, "", false, {}, false, {"No build information for device"}},
      {"build not listed", kSerial, "999", false, {}, false, {"No valid build 999"}},
      {"build list refused", kSerial, "", false, noBuilds, false, {"No valid build 1234"}},
      {"build request fails", kSerial, "", false, birdFails, false,
       {"Download failed", "Failed to retrieve a valid BIRD file"}},
      {"container text is not base64", kSerial, "", false, badBase64, false, {"Failed to retrieve a valid BIRD file"}},
      {"server sends bytes that are no container", kJunkSerial, "", false, {}, false,
       {"Failed to retrieve a valid BIRD file"}},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    peer.setFaults(c.faults);
    // Nothing listens on port 1 of the loopback interface.
    const std::string deadUrl = "http://127.0.0.1:1/cgi/u";
    Updater unreachable(deadUrl.c_str(), store.c_str(), display);
    Updater& u = c.stopServer ? unreachable : *updater;
    display.lines.clear();
    EXPECT_EQ(u.Download_Firmware(c.serial, c.build, c.overrideChecks, false), 0u);
    std::vector<std::string> expected;
    for (const std::string& e : c.errors) {
      expected.push_back(e == "Server request failed for URL" ? "Server request failed for " + deadUrl : e);
    }
    EXPECT_EQ(display.errors(), expected) << display.all();
    if (c.serial != 0) {
      EXPECT_EQ(settings(c.serial)["LATEST_DOWNLOAD"], nullptr);
    }
  }
  // Nothing that is not a container ever reaches the store.
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), "");
  EXPECT_EQ(storedFile(kJunkSerial, "77.bird"), "");
}

TEST_F(DownloadTest, AFailedDownloadLeavesTheStoredBuildWhole) {
  ASSERT_EQ(updater->Download_Firmware(kSerial, "1234", false, false), kBuild);
  const std::string good = storedFile(kSerial, "1234.bird");
  UpdateServerFaults badBase64;
  badBase64.badBase64 = true;
  peer.setFaults(badBase64);
  EXPECT_EQ(updater->Download_Firmware(kSerial, "1234", false, false), 0u);
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), good);
}

TEST_F(DownloadTest, OverrideRequestsAnUnlistedBuild) {
  EXPECT_EQ(updater->Download_Firmware(kSerial, "999", true, false), 0u);
  EXPECT_TRUE(display.has("I:Override specified, skipping validation of build 999")) << display.all();
  EXPECT_EQ(requestsOf("builds"), 0u);
  EXPECT_EQ(requestsOf("bird"), 1u);
}

TEST_F(DownloadTest, AFileThatCannotBeWrittenIsAFailure) {
  // A directory in place of the file: the rename into place fails.
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deviceDir(kSerial).c_str(), 0755), 0);
  ASSERT_EQ(mkdir((deviceDir(kSerial) + "/1234.bird").c_str(), 0755), 0);
  EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), 0u);
  ASSERT_EQ(display.errors().size(), 1u) << display.all();
  EXPECT_EQ(display.errors()[0].rfind("Failed to write file with ", 0), 0u);
  EXPECT_EQ(settings(kSerial)["LATEST_DOWNLOAD"], nullptr);
}

TEST_F(DownloadTest, ServerLatestThatIsNoNumberMeansBuildZero) {
  UpdateServerFaults latest;
  latest.onlyOp = "qu";
  latest.body = "ok\nnext\n1.0\n";
  peer.setFaults(latest);
  EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_TRUE(display.has("I:Retrieving build 0")) << display.all();
  EXPECT_EQ(display.errors(), std::vector<std::string>{"No valid build 0"});
}

TEST_F(DownloadTest, AListedKeyThatIsNoNumberCountsAsBuildZero) {
  // Every reply is this body: the latest build "beta;0.9" reads as 0, and
  // so does the listed key "beta"; the container line is no base64.
  UpdateServerFaults replies;
  replies.body = "ok\nbeta;0.9\n";
  peer.setFaults(replies);
  EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_TRUE(display.has("I:Build 0 is valid")) << display.all();
  EXPECT_EQ(requestsOf("bird"), 1u);
}

TEST_F(DownloadTest, TheSpinnerTurnsWhileTheServerIsSlow) {
  UpdateServerFaults slow;
  slow.onlyOp = "bird";
  slow.delayMs = 450;
  peer.setFaults(slow);
  EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), kBuild);
  EXPECT_GE(display.spinnerTurns, 4);
  EXPECT_LE(display.spinnerTurns, 12);
  EXPECT_EQ(display.spinnerCleared, 1);
}

TEST_F(DownloadTest, ByFingerprintUsesTheServersModuleAndBuild) {
  EXPECT_EQ(updater->Download_Firmware(Fingerprint{{1, 2, 3, 4}}, "", false), kOldBuild);
  EXPECT_STREQ(settings(kSerial)["LATEST_DOWNLOAD"], "1200.bird");
  // A given build wins over the server's.
  EXPECT_EQ(updater->Download_Firmware(Fingerprint{{1, 2, 3, 4}}, "1234", false), kBuild);
  display.lines.clear();
  EXPECT_EQ(updater->Download_Firmware(Fingerprint{{9, 9, 9, 9}}, "", false), 0u);
  EXPECT_EQ(display.errors(),
            std::vector<std::string>{"Failed to retrieve recovery information from Zeltrova update server"});
}

TEST_F(DownloadTest, BuildList) {
  std::map<std::string, std::string> builds = updater->Get_BuildList(kSerial);
  EXPECT_EQ(builds, (std::map<std::string, std::string>{{"1200", "1.1.0"}, {"1234", "1.2.3"}}));
  EXPECT_TRUE(display.errors().empty());

  EXPECT_TRUE(updater->Get_BuildList(0x00C0FFEE).empty());
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to retrieve builds for 00C0FFEE"});

  display.lines.clear();
  peer.stop();
  EXPECT_TRUE(updater->Get_BuildList(kSerial).empty());
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Server request failed for " + updater->url});
  EXPECT_TRUE(updater->Get_BuildListLocal(kSerial).empty());
}

}  // namespace
