// The Updater executable against sim-updateserver, both as processes of
// their own: download (-G) and build list (-B). Nothing here reaches a
// module, so nothing multicasts.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/updater/operations/Containers.h"
#include "tests/updater/operations/UpdaterCliFixture.h"
#include "updater/firmware/KeyValueStore.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerShape;
using testsupport::readFile;

class UpdaterCliTest : public opstest::UpdaterCliFixture {
 protected:
  void SetUp() override {
    ContainerShape latest;
    container = containerBytes(latest);
    ASSERT_EQ(mkdir(dir.file("models").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("models/0000ABCD").c_str(), 0755), 0);
    dir.write("models/0000ABCD/1234.bird", container);
    dir.write("models/0000ABCD/1234.version", "1.2.3\n");
    ContainerShape old;
    old.build = 1200;
    dir.write("models/0000ABCD/1200.bird", containerBytes(old));
    dir.write("models/0000ABCD/1200.version", "1.1.0\n");
    dir.write("models/0000ABCD/latest", "1234 1.2.3\n");
    startServer();
    ASSERT_GT(server->port(), 0) << "sim-updateserver did not start";
  }

  int updater(std::vector<std::string> options) {
    if (url.empty()) url = serverUrl();
    std::vector<std::string> argv = {UPDATER_PATH, "-u", url, "-i", dir.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    return runCaptured(argv);
  }

  std::string container;
  std::string url;
};

TEST_F(UpdaterCliTest, DownloadStoresTheLatestBuild) {
  ASSERT_EQ(updater({"-G", "-d", "0000ABCD"}), 0) << out << err;
  EXPECT_TRUE(printed("Retrieving firmware for device with serial number 0000ABCD")) << out;
  EXPECT_TRUE(printed("Using Latest build"));
  EXPECT_TRUE(printed("Build 1234 is valid"));
  EXPECT_EQ(readFile(dir.file("updater/0000ABCD/1234.bird")), container);
  std::string settings = readFile(dir.file("updater/0000ABCD/.settings"));
  EXPECT_NE(settings.find("LATEST_DOWNLOAD=1234.bird\n"), std::string::npos) << settings;
}

TEST_F(UpdaterCliTest, DownloadOfABuildTheServerDoesNotList) {
  EXPECT_EQ(updater({"-G", "-d", "0x0000ABCD", "-b", "999"}), 1);
  EXPECT_TRUE(printed("Retrieving firmware build 999")) << out;
  EXPECT_TRUE(complained("No valid build 999")) << err;
  EXPECT_EQ(readFile(dir.file("updater/0000ABCD/999.bird")), "");
}

TEST_F(UpdaterCliTest, DownloadWithoutADevice) {
  EXPECT_EQ(updater({"-G"}), 1);
  EXPECT_TRUE(complained("-G must specify a specific device via -d")) << err;
}

TEST_F(UpdaterCliTest, BuildListIsSortedByVersion) {
  ASSERT_EQ(updater({"-B", "-d", "0000ABCD"}), 0) << err;
  const size_t head = out.find("Build List for device [0000ABCD]:");
  const size_t older = out.find("1200           \t1.1.0          ");
  const size_t newer = out.find("1234           \t1.2.3          ");
  ASSERT_NE(head, std::string::npos) << out;
  ASSERT_NE(older, std::string::npos) << out;
  ASSERT_NE(newer, std::string::npos) << out;
  EXPECT_LT(head, older);
  EXPECT_LT(older, newer);
}

TEST_F(UpdaterCliTest, BuildListOfAnUnknownModule) {
  EXPECT_EQ(updater({"-B", "-d", "00C0FFEE"}), 0);
  EXPECT_TRUE(printed("No builds found for device [00C0FFEE]")) << out;
  EXPECT_TRUE(complained("Failed to retrieve builds for 00C0FFEE: the answer begins \"fail unknown module\", not \"ok\""))
      << err;
}

TEST_F(UpdaterCliTest, BuildListWithTheServerGone) {
  url = serverUrl();
  server.reset();
  EXPECT_EQ(updater({"-B", "-d", "0000ABCD"}), 0);
  EXPECT_TRUE(complained("Server request failed for " + url + ": the connection was refused")) << err;
  EXPECT_TRUE(printed("No builds found for device [0000ABCD]")) << out;
}

}  // namespace
