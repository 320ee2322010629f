// Updater::load_bird: a container from a file or from the store, fetched
// from the simulated update server when the caller allows it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>

#include "tests/updater/operations/OpsServerFixture.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerShape;
using opstest::kBuild;
using opstest::kSerial;
using opstest::OpsServerTest;

using LoadBirdTest = OpsServerTest;

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string thrownBy(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

TEST_F(LoadBirdTest, APathIsLoadedWithoutTheStoreOrTheServer) {
  const std::string path = dir.write("given.bird", containerBytes(ContainerShape()));
  for (bool allowDownload : {false, true}) {
    BirdFile bird = updater->load_bird("Updating", path, kSerial, 4711, allowDownload);
    EXPECT_EQ(bird.GetBuild(), kBuild);
    EXPECT_EQ(bird.path, path);
  }
  EXPECT_TRUE(display.has("I:Updating from Birdfile: " + path)) << display.all();
  EXPECT_FALSE(exists(deviceDir(kSerial)));
  EXPECT_TRUE(peer.requests().empty());

  const std::string broken = dir.write("broken.bird", "bird\x01\x01 not zlib");
  EXPECT_EQ(thrownBy([&] { updater->load_bird("Recovering", broken, kSerial, 0, true); }), "Failed to load bird data");
  EXPECT_TRUE(peer.requests().empty());
}

TEST_F(LoadBirdTest, AStoredBuildIsRead) {
  ASSERT_EQ(updater->Download_Firmware(kSerial, "1234", false, false), kBuild);
  peer.clearRequests();
  display.lines.clear();
  BirdFile bird = updater->load_bird("Recovering", "", kSerial, kBuild, true);
  EXPECT_EQ(bird.GetBuild(), kBuild);
  EXPECT_EQ(display.lines, std::vector<std::string>{"I:Recovering firmware with build: 1234"});
  EXPECT_TRUE(peer.requests().empty());
}

TEST_F(LoadBirdTest, AMissingBuildWithoutDownloadThrowsButTheFolderIsMade) {
  EXPECT_EQ(thrownBy([&] { updater->load_bird("Updating", "", kSerial, kBuild, false); }), "Error reading birdfile");
  EXPECT_TRUE(exists(deviceDir(kSerial)));
  EXPECT_TRUE(peer.requests().empty());
}

TEST_F(LoadBirdTest, AMissingOrInvalidBuildIsDownloadedWhenAllowed) {
  BirdFile bird = updater->load_bird("Recovering", "", kSerial, kBuild, true);
  EXPECT_EQ(bird.GetBuild(), kBuild);
  EXPECT_TRUE(display.has("I:Downloading firmware build 1234")) << display.all();
  EXPECT_STREQ(settings(kSerial)["LATEST_DOWNLOAD"], "1234.bird");

  // A stored file that is no container is fetched again and replaced.
  dir.write("updater/0000ABCD/1234.bird", "bird but broken");
  peer.clearRequests();
  bird = updater->load_bird("Recovering", "", kSerial, kBuild, true);
  EXPECT_EQ(bird.GetBuild(), kBuild);
  EXPECT_EQ(requestsOf("bird"), 1u);
  EXPECT_EQ(storedFile(kSerial, "1234.bird"), containerBytes(ContainerShape()));
}

TEST_F(LoadBirdTest, ABuildTheServerDoesNotHaveThrowsAfterTheDownloadsOwnMessage) {
  EXPECT_EQ(thrownBy([&] { updater->load_bird("Recovering", "", kSerial, 999, true); }),
            "Invalid bird " + deviceDir(kSerial) + "/999.bird");
  EXPECT_EQ(display.errors(), std::vector<std::string>{"No valid build 999"});
}

}  // namespace
