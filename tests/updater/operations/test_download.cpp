// Download_Firmware and Get_BuildList against the simulated update server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "tests/updater/operations/OpsServerFixture.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerShape;
using opstest::kBuild;
using opstest::kJunkSerial;
using opstest::kOldBuild;
using opstest::kSerial;
using opstest::OpsServerTest;
using testsupport::UpdateServerFaults;

using DownloadTest = OpsServerTest;

TEST_F(DownloadTest, LatestBuildIsStoredAndRecorded) {
  EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), kBuild);

  ContainerShape latest;
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
  ContainerShape old;
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
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), containerBytes(ContainerShape()));
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

// The server answers the request for build 1300 of 0000ABCD with the
// container of the row; only a container that is that build, for that module
// (or generic), may take the name 1300.bird.
TEST_F(DownloadTest, AContainerThatIsNotTheRequestedOneIsRefused) {
  constexpr uint32_t kAsked = 1300;
  ContainerShape good;
  good.build = kAsked;
  ContainerShape otherBuild;
  ContainerShape otherDevice;
  otherDevice.build = kAsked;
  otherDevice.serial = 0x00C0FFEE;
  ContainerShape genericOtherBuild;
  genericOtherBuild.generic = true;
  genericOtherBuild.serial = 0;
  ContainerShape noDescriptor;
  noDescriptor.descriptor = false;
  struct Row {
    const char* what;
    ContainerShape sent;
    const char* error;  // the first error line
  };
  const Row rows[] = {
      {"build 1234 for a request of 1300", otherBuild, "Server sent build 1234 instead of build 1300; not stored"},
      {"build 1300 of another module", otherDevice,
       "Server sent build 1300 for device 00C0FFEE instead of 0000ABCD; not stored"},
      {"a generic container of another build", genericOtherBuild,
       "Server sent build 1234 instead of build 1300; not stored"},
      {"no descriptor: no build at all", noDescriptor, "Server sent build 0 instead of build 1300; not stored"},
  };
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(deviceDir(kSerial).c_str(), 0755), 0);
  const std::string stored = containerBytes(good);
  dir.write("updater/0000ABCD/1300.bird", stored);
  const std::string record = "LATEST_DOWNLOAD=1300.bird\n";
  dir.write("updater/0000ABCD/.settings", record);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testsupport::UpdateServerModel model = opstest::opsModel();
    model.addBuild(kSerial, kAsked, "1.3.0", containerBytes(row.sent));
    peer.setModel(model);
    display.lines.clear();
    EXPECT_EQ(updater->Download_Firmware(kSerial, "1300", false, false), 0u);
    EXPECT_EQ(display.errors(), (std::vector<std::string>{row.error, "Failed to retrieve a valid BIRD file"}))
        << display.all();
    EXPECT_EQ(storedFile(kSerial, "1300.bird"), stored);
    EXPECT_EQ(storedFile(kSerial, ".settings"), record);
  }

  // A generic container carries no module's serial number: the build alone
  // must match.
  ContainerShape generic;
  generic.generic = true;
  generic.serial = 0;
  generic.build = kAsked;
  testsupport::UpdateServerModel model = opstest::opsModel();
  model.addBuild(kSerial, kAsked, "1.3.0", containerBytes(generic));
  peer.setModel(model);
  display.lines.clear();
  EXPECT_EQ(updater->Download_Firmware(kSerial, "1300", false, false), kAsked) << display.all();
  EXPECT_EQ(storedFile(kSerial, "1300.bird"), containerBytes(generic));
}

// A server that trickles above the low-speed floor is cut off by the
// deadline of the whole request, which follows the size cap: with a cap of
// 4 KiB at 4 KiB a second it is 1 s on top of the fast limits' 2 s.
TEST_F(DownloadTest, ATricklingServerMeetsTheDeadline) {
  HTTPLimits limits = servertest::fastLimits();
  limits.maxBodyBytes = 4096;
  limits.minAverageBytesPerSecond = 4096;
  ASSERT_EQ(limits.TransferDeadlineMS(), 3000);
  EXPECT_GT(HTTPLimits().TransferDeadlineMS(), 60L * 1000) << "the default deadline leaves room for a slow link";
  HTTPRequest::SetLimits(limits);
  UpdateServerFaults trickle;
  trickle.onlyOp = "bird";
  trickle.trickleBytesPerSecond = 50;  // the container's base64 takes well over 3 s at this rate
  peer.setFaults(trickle);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), 0u);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 2.5);
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(display.errors(), (std::vector<std::string>{"Download failed", "Download of build 1234 did not finish within 3 s",
                                                        "Failed to retrieve a valid BIRD file"}))
      << display.all();
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), "");
  EXPECT_EQ(settings(kSerial)["LATEST_DOWNLOAD"], nullptr);
}

}  // namespace
