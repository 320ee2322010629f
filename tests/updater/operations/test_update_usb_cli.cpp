// Updater -U as a user runs it, against a simulated module on the emulated
// USB bus of usbsim-run (the real libusb in the tool), through the module's
// restart into its loader: it leaves the bus and comes back as a new
// device, or never does. The test runs in a network namespace of its own,
// so the tool's fallback to the network stays inside it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/sim/ProgramRun.h"
#include "tests/sim/TempDir.h"
#include "tests/updater/operations/Containers.h"
#include "tests/updater/operations/PrivateNetworkEnvironment.h"

namespace {

struct Road {
  const char* what;
  std::vector<std::string> busOptions;
  int status;
  std::vector<std::string> errLines;  // lines standard error must hold
  bool recorded;
};

TEST(UsbUpdateCli, TheModulesRestartIntoItsLoader) {
  REQUIRE_PRIVATE_NETWORK();
  const Road roads[] = {
      {"back as a new device after 2 s", {},
       0,
       {"usbsim-run: module 0000ABCD restarts and leaves the bus (device 001/001)",
        "usbsim-run: module 0000ABCD is back on the bus as device 001/002",
        "usbsim-run: module 0000ABCD took 3 firmware writes and 1 reboots"},
       true},
      {"never back", {"--never-return"},
       1,
       {"Update failed at the reconnect after the loader start: module [0000ABCD] did not come back; it may be in "
        "its loader and can be recovered with -t RECOVER",
        "usbsim-run: module 0000ABCD took 0 firmware writes and 0 reboots"},
       false},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.what);
    testsupport::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("updater").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("updater/0000ABCD").c_str(), 0755), 0);
    dir.write("updater/0000ABCD/1234.bird", opstest::containerBytes(opstest::ContainerShape()));

    std::vector<std::string> argv{USBSIM_RUN_PATH};
    argv.insert(argv.end(), road.busOptions.begin(), road.busOptions.end());
    for (const char* word : {"--sim-module", "0000ABCD:4", "--", UPDATER_PATH, "-U", "-d", "0000ABCD", "-b", "1234",
                             "-i"}) {
      argv.push_back(word);
    }
    argv.push_back(dir.path());
    const int status = testsupport::runProgram(argv, dir.file("out"), dir.file("err"));
    const std::string out = testsupport::readFile(dir.file("out"));
    const std::string err = testsupport::readFile(dir.file("err"));

    EXPECT_EQ(status, road.status) << out << err;
    for (const std::string& line : road.errLines) {
      EXPECT_NE(err.find(line + "\n"), std::string::npos) << line << "\n" << err;
    }
    const std::string record = testsupport::readFile(dir.file("updater/0000ABCD/.settings"));
    EXPECT_EQ(record.find("LATEST_TRANSFER=1234.bird") != std::string::npos, road.recorded) << record;
    EXPECT_EQ(out.find("Update time: ") != std::string::npos, road.recorded) << out;
  }
}

}  // namespace
