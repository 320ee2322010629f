// The Updater executable's -N and -U -t RECOVER on ports where no boot ROM
// can answer: a pseudo-terminal's master (its reads follow the other side's
// settings, so a blocking read there waits for ever), a FIFO, a missing
// path, a directory, no port at all. Each run ends by itself, with status 1
// and one error line that names the port and the reason.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "tests/sim/bird/BirdGenerator.h"
#include "tests/updater/operations/RecoveryImages.h"
#include "tests/updater/operations/UpdaterCliFixture.h"

namespace {

// Far beyond what any of these runs needs (two seconds at most, the i.MX
// road's settling included); a run still going then has hung.
constexpr const char* kHungAfterSeconds = "30";
// A run that timeout(1) had to stop: it ends with 124 or 137, or dies of
// its own KILL (the whole process group gets it), which reads as -1.
bool stoppedByTimeout(int status) { return status == -1 || status == 124 || status == 128 + 9; }

struct PortCase {
  const char* name;
  std::vector<std::string> options;  // "{dir}" stands for the test's folder
  bool storedLoader;                 // a recovery loader is stored for 0xDEADDEAD
  std::string line;                  // the one line on stderr
};

const char kNoLpc[] = "no LPC17xx boot ROM answered on /dev/ptmx";
const char kNoLoader[] = "no i.MX recovery loader to start (No recovery image stored for the device)";

void PrintTo(const PortCase& c, std::ostream* os) { *os << c.name; }

std::vector<PortCase> portCases() {
  const std::string noChip = "Got no response from chip: ";
  const std::string noId = "Could not get Device Identifier: ";
  return {
      {"FingerprintOnAPtyMaster", {"-N", "-s", "/dev/ptmx"}, false,
       noChip + kNoLpc + "; " + kNoLoader},
      // The i.MX serial road runs too: its reads on the master must end.
      {"FingerprintOnAPtyMasterWithALoader", {"-N", "-s", "/dev/ptmx"}, true,
       noChip + kNoLpc + "; no i.MX boot ROM answered on /dev/ptmx"},
      {"RecoveryOnAPtyMaster", {"-U", "-t", "RECOVER", "-s", "/dev/ptmx"}, false,
       noId + kNoLpc + "; " + kNoLoader},
      {"RecoveryOnAPtyMasterWithALoader", {"-U", "-t", "RECOVER", "-s", "/dev/ptmx"}, true,
       noId + kNoLpc + "; no i.MX boot ROM answered on /dev/ptmx"},
      // A FIFO, a missing path and a directory are not ports: no road tries
      // them, and no loader is looked for.
      {"FingerprintOnAFifo", {"-N", "-s", "{dir}/line"}, true,
       noChip + "{dir}/line is not a serial port: it is a FIFO"},
      {"RecoveryOnAFifo", {"-U", "-t", "RECOVER", "-s", "{dir}/line"}, true,
       noId + "{dir}/line is not a serial port: it is a FIFO"},
      {"FingerprintOnAMissingPort", {"-N", "-s", "{dir}/ttyUSB9"}, true,
       noChip + "cannot open serial port {dir}/ttyUSB9: No such file or directory"},
      {"FingerprintOnADirectory", {"-N", "-s", "{dir}"}, true,
       noChip + "cannot open serial port {dir}: Is a directory"},
      {"RecoveryWithoutAPort", {"-U", "-t", "RECOVER"}, true, noId + "no serial port given (-s)"},
  };
}

std::string withDir(std::string text, const std::string& dir) {
  for (size_t at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}", at + dir.size())) {
    text.replace(at, 5, dir);
  }
  return text;
}

// A recovery loader the i.MX road would write: one block with the vector
// table at the default start.
std::string loaderContainer() {
  birdgen::Container c;
  birdgen::Descriptor d;
  d.build = "77";
  d.version = "9.9.9";
  d.serial = "DEADDEAD";
  d.model = "Pandrel";
  c.blocks.push_back(birdgen::descriptor(d));
  c.blocks.push_back(
      birdgen::loader(0x20000000, birdgen::withVectorTable(birdgen::pattern(2500, 31), 0x20000000, 0x20000400)));
  return opstest::bytesOf(c);
}

class UnusablePortCli : public opstest::UpdaterCliFixture {
 protected:
  void SetUp() override {
    // The server knows no module: a loader is had only from the store.
    ASSERT_EQ(mkdir(dir.file("models").c_str(), 0755), 0);
    startServer();
    ASSERT_GT(server->port(), 0) << "sim-updateserver did not start";
    ASSERT_EQ(mkfifo(dir.file("line").c_str(), 0600), 0);
  }

  void storeLoader() {
    ASSERT_EQ(mkdir(dir.file("updater").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("updater/DEADDEAD").c_str(), 0755), 0);
    dir.write("updater/DEADDEAD/77.bird", loaderContainer());
    dir.write("updater/DEADDEAD/.settings", "LATEST_DOWNLOAD=77.bird\n");
  }

  // The Updater with the server and the store, stopped by timeout(1) if it
  // hangs.
  int runUpdater(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {testsupport::findOnPath("timeout"), "-s", "KILL", kHungAfterSeconds,
                                     UPDATER_PATH, "-u", serverUrl(), "-i", dir.path()};
    if (argv[0].empty()) {
      ADD_FAILURE() << "timeout(1) is missing";
      return -1;
    }
    for (const std::string& option : options) argv.push_back(withDir(option, dir.path()));
    return runCaptured(argv);
  }
};

class UnusablePort : public UnusablePortCli, public ::testing::WithParamInterface<PortCase> {};

TEST_P(UnusablePort, EndsWithOneLineSayingWhy) {
  const PortCase& c = GetParam();
  if (c.storedLoader) storeLoader();
  const auto start = std::chrono::steady_clock::now();
  const int status = runUpdater(c.options);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_FALSE(stoppedByTimeout(status)) << "still running after " << kHungAfterSeconds << " s";
  EXPECT_EQ(status, 1) << out << err;
  EXPECT_EQ(err, withDir(c.line, dir.path()) + "\n");
  RecordProperty("milliseconds", static_cast<int>(took.count()));
}

INSTANTIATE_TEST_SUITE_P(Ports, UnusablePort, ::testing::ValuesIn(portCases()),
                         [](const ::testing::TestParamInfo<PortCase>& info) { return info.param.name; });

// The diagnostic log of the failed open ends its line: the error line that
// follows starts a line of its own.
TEST_F(UnusablePortCli, TheLoggedOpenFailureEndsItsLine) {
  EXPECT_EQ(runUpdater({"-X", "0x1000", "-N", "-s", "{dir}/ttyUSB9"}), 1);
  EXPECT_NE(err.find("==> aErrNotFound\nGot no response from chip"), std::string::npos)
      << err;
}

}  // namespace
