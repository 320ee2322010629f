// The Updater executable against sim-updateserver, both as processes of
// their own: download (-G) and build list (-B). Nothing here reaches a
// module, so nothing multicasts.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/updater/operations/Containers.h"
#include "updater/firmware/KeyValueStore.h"

extern char** environ;

namespace {

using opstest::containerBytes;
using opstest::ContainerSpec;
using testsupport::readFile;
using testsupport::TempDir;

// The child gets no proxy settings: libcurl would carry loopback requests
// off the machine through them.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> kept;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "http_proxy" || lower == "https_proxy" || lower == "all_proxy" || lower == "no_proxy") continue;
    kept.push_back(text);
  }
  return kept;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(&t[0]);
  out.push_back(nullptr);
  return out;
}

// Runs a program to its end with its output in files; its exit status.
int run(std::vector<std::string> argv, const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> env = childEnvironment();
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(env);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// sim-updateserver serving a model directory; its port is the first line
// it prints.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& models) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    std::vector<std::string> argv = {SIM_UPDATESERVER_PATH, "--models", models};
    std::vector<char*> args = pointers(argv);
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> envp = pointers(env);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string line;
    pollfd wait{pipeFds[0], POLLIN, 0};
    char c = 0;
    while (pid_ > 0 && poll(&wait, 1, 5000) == 1 && read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
    close(pipeFds[0]);
    port_ = std::atoi(line.c_str());
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

class UpdaterCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ContainerSpec latest;
    container = containerBytes(latest);
    ASSERT_EQ(mkdir(dir.file("models").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("models/0000ABCD").c_str(), 0755), 0);
    dir.write("models/0000ABCD/1234.bird", container);
    dir.write("models/0000ABCD/1234.version", "1.2.3\n");
    ContainerSpec old;
    old.build = 1200;
    dir.write("models/0000ABCD/1200.bird", containerBytes(old));
    dir.write("models/0000ABCD/1200.version", "1.1.0\n");
    dir.write("models/0000ABCD/latest", "1234 1.2.3\n");
    server = std::make_unique<ServerProcess>(dir.file("models"));
    ASSERT_GT(server->port(), 0) << "sim-updateserver did not start";
  }

  int updater(std::vector<std::string> options) {
    if (url.empty()) url = server->url();
    std::vector<std::string> argv = {UPDATER_PATH, "-u", url, "-i", dir.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    int status = run(argv, dir.file("out"), dir.file("err"));
    out = readFile(dir.file("out"));
    err = readFile(dir.file("err"));
    return status;
  }
  bool printed(const std::string& text) const { return out.find(text + "\n") != std::string::npos; }
  bool complained(const std::string& text) const { return err.find(text + "\n") != std::string::npos; }

  TempDir dir;
  std::string container;
  std::unique_ptr<ServerProcess> server;
  std::string url;
  std::string out;
  std::string err;
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
  EXPECT_TRUE(complained("Failed to retrieve builds for 00C0FFEE")) << err;
}

TEST_F(UpdaterCliTest, BuildListWithTheServerGone) {
  url = server->url();
  server.reset();
  EXPECT_EQ(updater({"-B", "-d", "0000ABCD"}), 0);
  EXPECT_TRUE(complained("Server request failed for " + url)) << err;
  EXPECT_TRUE(printed("No builds found for device [0000ABCD]")) << out;
}

}  // namespace
