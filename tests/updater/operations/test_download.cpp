// Download_Firmware and Get_BuildList against the simulated update server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/sim/updateserver/UpdateServerReplies.h"
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
      {"server unreachable", kSerial, "", false, {}, true,
       {"Server request failed for URL: the connection was refused"}},
      {"module unknown to the server", 0x00C0FFEE, "", false, {}, false,
       {"No build information for device: the answer begins \"fail unknown module\", not \"ok\""}},
      {"build not listed", kSerial, "999", false, {}, false, {"No valid build 999"}},
      {"build list refused", kSerial, "", false, noBuilds, false,
       {"No valid build 1234: the answer begins \"fail\", not \"ok\""}},
      {"build request fails", kSerial, "", false, birdFails, false,
       {"Download failed for URL: the server answered with HTTP status 500", "Failed to retrieve a valid BIRD file"}},
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
    for (std::string e : c.errors) {
      const size_t at = e.find(" for URL:");
      if (at != std::string::npos) e.replace(at + 5, 3, c.stopServer ? deadUrl : peer.url());
      expected.push_back(e);
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
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to retrieve recovery information from Zeltrova update "
                                                       "server: the answer begins \"fail unknown fingerprint\", not "
                                                       "\"ok\""});
}

TEST_F(DownloadTest, BuildList) {
  std::map<std::string, std::string> builds = updater->Get_BuildList(kSerial);
  EXPECT_EQ(builds, (std::map<std::string, std::string>{{"1200", "1.1.0"}, {"1234", "1.2.3"}}));
  EXPECT_TRUE(display.errors().empty());

  EXPECT_TRUE(updater->Get_BuildList(0x00C0FFEE).empty());
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to retrieve builds for 00C0FFEE: the answer begins "
                                                       "\"fail unknown module\", not \"ok\""});

  display.lines.clear();
  peer.stop();
  EXPECT_TRUE(updater->Get_BuildList(kSerial).empty());
  EXPECT_EQ(display.errors(),
            std::vector<std::string>{"Server request failed for " + updater->url + ": the connection was refused"});
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

// A slow server is given up at the bound of the request it holds: a short
// answer's a second beyond the connection's, a container's from its
// declared length (else the size cap) at the bulk rate; and whatever the
// request, a rate below the low-speed floor ends it within that window.
// Each give-up is one line naming the request and the bound; the server
// trickles 50 bytes a second, far below any real server.
TEST_F(DownloadTest, ASlowServerIsGivenUpAtTheBoundOfTheRequestItHolds) {
  constexpr int kTrickle = 50;
  ASSERT_EQ(servertest::fastLimits().DeadlineMS(HTTPAnswer::Short, -1), 2000);
  // Each answer is padded to take seconds at the trickle's rate.
  const std::string padding = std::string(400, '#') + "\n";
  const std::string shortBound = "was given up: no complete answer within 2 s, the bound for a short answer";
  const std::string bird = "Download failed for URL: the build request (op=bird) was given up: ";

  struct Row {
    const char* what;
    const char* op;
    std::optional<std::string> body;
    bool trickle;              // else the server goes silent after its headers
    bool noContentLength;
    long long contentLength;   // >= 0: the declared length, whatever is sent
    size_t maxBodyBytes;
    bool lowSpeedFloor;        // the default floor, else one the trickle clears
    double boundSeconds;
    std::vector<std::string> errors;  // "URL" stands for the server's address
  };
  const Row rows[] = {
      {"server check", "hi", "ok\n" + padding, true, false, -1, HTTP_MAX_BODY_BYTES, false, 2.0,
       {"Server request failed for URL: the server check (op=hi) " + shortBound}},
      {"latest-build query", "qu", "ok\n1234\n1.2.3\n" + padding, true, false, -1, HTTP_MAX_BODY_BYTES, false, 2.0,
       {"No build information for device: the latest-build query (op=qu) " + shortBound}},
      {"build-list query", "builds", "ok\n1234;1.2.3\n" + padding, true, false, -1, HTTP_MAX_BODY_BYTES, false, 2.0,
       {"No valid build 1234: the build-list query (op=builds) " + shortBound}},
      // 2 s, then 4096 bytes at 4096 bytes a second.
      {"container of declared length", "bird", std::nullopt, true, false, 4096, HTTP_MAX_BODY_BYTES, false, 3.0,
       {bird + "no complete answer within 3 s, the bound for its 4096 declared bytes at 4096 bytes a second",
        "Failed to retrieve a valid BIRD file"}},
      {"container without a length: the cap sets the bound", "bird", std::nullopt, true, true, -1, 8192, false, 4.0,
       {bird + "no complete answer within 4 s, the bound for an answer of up to 8192 bytes at 4096 bytes a second",
        "Failed to retrieve a valid BIRD file"}},
      {"container below the low-speed floor", "bird", std::nullopt, true, false, 1 << 20, HTTP_MAX_BODY_BYTES, true,
       1.0, {bird + "fewer than 1024 bytes a second arrived for 1 s", "Failed to retrieve a valid BIRD file"}},
      {"container that stalls after its headers", "bird", std::nullopt, false, false, -1, HTTP_MAX_BODY_BYTES, true,
       1.0, {bird + "nothing arrived for 1 s", "Failed to retrieve a valid BIRD file"}},
  };
  const std::string container = "ok\n" + testsupport::base64Encode(containerBytes(ContainerShape())) + "\n";
  ASSERT_GT(container.size() * 1000 / kTrickle, 4000u + 3000u) << "the container must trickle for longer than its bound";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    HTTPLimits limits = servertest::fastLimits();
    limits.maxBodyBytes = row.maxBodyBytes;
    if (!row.lowSpeedFloor) limits.lowSpeedBytesPerSecond = kTrickle / 2;
    HTTPRequest::SetLimits(limits);
    UpdateServerFaults faults;
    faults.onlyOp = row.op;
    faults.body = row.body;
    faults.trickleBytesPerSecond = row.trickle ? kTrickle : 0;
    faults.stallAfterHeaders = !row.trickle;
    faults.noContentLength = row.noContentLength;
    faults.contentLength = row.contentLength;
    peer.setFaults(faults);
    display.lines.clear();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater->Download_Firmware(kSerial, "", false, false), 0u);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // libcurl looks at a stalled transfer about once a second.
    EXPECT_GE(seconds, row.boundSeconds - 0.1);
    EXPECT_LT(seconds, row.boundSeconds + 3.0);
    std::vector<std::string> expected;
    for (std::string e : row.errors) {
      const size_t at = e.find(" for URL:");
      if (at != std::string::npos) e.replace(at + 5, 3, peer.url());
      expected.push_back(e);
    }
    EXPECT_EQ(display.errors(), expected) << display.all();
  }
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), "");
  EXPECT_EQ(settings(kSerial)["LATEST_DOWNLOAD"], nullptr);
}

// An update asks for the latest build before it looks at the store; a
// server that trickles that answer holds it for the short bound alone, and
// the update says so and goes on with what is stored.
TEST_F(DownloadTest, AnUpdateGivesUpTheLatestBuildQueryAtItsBound) {
  HTTPLimits limits = servertest::fastLimits();
  limits.lowSpeedBytesPerSecond = 25;
  HTTPRequest::SetLimits(limits);
  UpdateServerFaults trickle;
  trickle.onlyOp = "qu";
  trickle.trickleBytesPerSecond = 50;
  trickle.body = "ok\n1234\n1.2.3\n" + std::string(400, '#') + "\n";
  peer.setFaults(trickle);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(updater->Update_Firmware(kSerial, 0, "", 0, 0, false));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(display.errors(),
            (std::vector<std::string>{"No build information for device: the latest-build query (op=qu) was given up: "
                                      "no complete answer within 2 s, the bound for a short answer",
                                      "Could not find valid build for this device."}))
      << display.all();
}

}  // namespace
