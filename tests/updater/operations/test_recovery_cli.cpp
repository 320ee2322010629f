// The Updater executable's -N and -U -t RECOVER against the standalone
// simulated boot ROMs (sim-lpc17xx-isp, sim-imxrt-sdp on a pseudo-terminal),
// each a process of its own, with sim-updateserver for the recovery lookup.
// The ROM process runs the Updater with "{port}" as its device. These roads
// reach no module over the network: nothing multicasts.

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
#include "tests/updater/operations/RecoveryImages.h"

extern char** environ;

namespace {

using testsupport::readFile;
using testsupport::TempDir;

// The children get no proxy settings: libcurl would carry loopback requests
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
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

class RecoveryCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(dir.file("models").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("models/0000ABCD").c_str(), 0755), 0);
    dir.write("models/0000ABCD/1234.bird",
              opstest::bytesOf(opstest::lpcContainer(0x0000ABCD, opstest::lpcLayout(), true)));
    dir.write("models/fingerprints", "1A2B3C4D 00000042 8BADF00D 00C0FFEE 0000ABCD 1234\n");
    server = std::make_unique<ServerProcess>(dir.file("models"));
    ASSERT_GT(server->port(), 0) << "sim-updateserver did not start";
  }

  // The ROM process with its options, running the Updater with these.
  int underRom(const std::string& rom, std::vector<std::string> romOptions, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {rom};
    argv.insert(argv.end(), romOptions.begin(), romOptions.end());
    argv.insert(argv.end(), {"--", UPDATER_PATH, "-u", server->url(), "-i", dir.path()});
    argv.insert(argv.end(), options.begin(), options.end());
    int status = run(argv, dir.file("out"), dir.file("err"));
    out = readFile(dir.file("out"));
    err = readFile(dir.file("err"));
    return status;
  }
  bool printed(const std::string& text) const { return out.find(text + "\n") != std::string::npos; }
  bool complained(const std::string& text) const { return err.find(text + "\n") != std::string::npos; }

  TempDir dir;
  std::unique_ptr<ServerProcess> server;
  std::string out;
  std::string err;
};

TEST_F(RecoveryCliTest, FingerprintOfAnLpc17xx) {
  ASSERT_EQ(underRom(SIM_LPC17XX_ISP_PATH, {}, {"-N", "-s", "{port}"}), 0) << out << err;
  EXPECT_TRUE(printed("[ 1A2B3C4D 00000042 8BADF00D 00C0FFEE ]")) << out;
  EXPECT_TRUE(printed("synchronized"));
  EXPECT_FALSE(printed("unlocked")) << "a fingerprint writes nothing";
}

TEST_F(RecoveryCliTest, RecoveryOfAnLpc17xxThroughTheServersLookup) {
  const std::string image = dir.file("flash.bin");
  ASSERT_EQ(underRom(SIM_LPC17XX_ISP_PATH, {"--flash-out", image}, {"-U", "-t", "RECOVER", "-s", "{port}"}), 0)
      << out << err;
  EXPECT_TRUE(printed("Recovering firmware with build: 1234")) << out;
  EXPECT_TRUE(printed("Rebooting Device"));
  EXPECT_TRUE(printed("unlocked"));
  EXPECT_TRUE(printed("go 0x00000000 T"));
  const std::vector<uint8_t> expected = opstest::flashWith(opstest::lpcLayout());
  EXPECT_EQ(readFile(image), std::string(expected.begin(), expected.end()));
  const std::string settings = readFile(dir.file("updater/0000ABCD/.settings"));
  EXPECT_NE(settings.find("LATEST_DOWNLOAD=1234.bird\n"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("LATEST_TRANSFER"), std::string::npos) << "a recovery records no transfer";
}

#ifdef SIM_IMXRT_SDP_PATH
TEST_F(RecoveryCliTest, FingerprintOfAnImxRefusesAFile) {
  dir.write("loader.bird", "not looked at");
  EXPECT_EQ(underRom(SIM_IMXRT_SDP_PATH, {"--serial"}, {"-N", "-s", "{port}", "-f", dir.file("loader.bird")}), 1);
  EXPECT_TRUE(complained("Add serial number or remove the bird filename to use a default recovery image.")) << err;
  EXPECT_TRUE(complained("Got no response from chip"));
  EXPECT_EQ(out.find("write 0x"), std::string::npos) << out;
  EXPECT_EQ(out.find("jump 0x"), std::string::npos);
}
#endif

}  // namespace
