#include "updater/CommandRunner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/updater/app/ArgumentList.h"
#include "tests/updater/app/FakeUpdater.h"
#include "tests/updater/app/RecordingDisplay.h"
#include "tests/updater/support/CapturedFd.h"
#include "updater/UpdaterMain.h"
#include "updater/Usage.h"
#include "updater/support/Log.h"

namespace {

using testsupport::ArgumentList;
using testsupport::FakeUpdater;
using testsupport::RecordingDisplay;
using testsupport::TempDir;
using Lines = std::vector<std::string>;

const char kBanner[] = "I:Updater (Version: 2.10.6 Mar 15 2024)";

struct ToolRun {
  int status = -1;
  bool commandsRan = false;
  Lines lines;  // after the banner
  std::string err;
  std::string storeDir;
  FakeUpdater updater;
};

// The run of the tool as main makes it, with the fake in place of the
// operations object.
void runTool(const Lines& words, ToolRun& run, const std::function<void(FakeUpdater&)>& setup = nullptr) {
  Lines all{"updater"};
  all.insert(all.end(), words.begin(), words.end());
  ArgumentList args(all);
  RecordingDisplay display;
  if (setup) setup(run.updater);
  {
    testsupport::CapturedFd err(STDERR_FILENO);
    run.status = _updater_main(args.argc(), args.argv(), display, [&](Parameters& params) {
      run.commandsRan = true;
      run.storeDir = params.storeDir;
      return _run_commands(display, params, run.updater);
    });
    run.err = err.release();
  }
  Log::SetOutput(nullptr);
  Log::package_bitmask = 0;
  if (!display.lines.empty() && display.lines[0] == kBanner) {
    run.lines.assign(display.lines.begin() + 1, display.lines.end());
  } else {
    run.lines = display.lines;
    run.lines.insert(run.lines.begin(), "(no banner first)");
  }
}

struct OrderCase {
  const char* name;
  Lines words;
  std::function<void(FakeUpdater&)> setup;
  Lines calls;
  int status;
  Lines lines;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class CommandOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(CommandOrder, CallsStatusAndMessages) {
  const OrderCase& c = GetParam();
  TempDir store;
  Lines words = c.words;
  words.push_back("-i");
  words.push_back(store.path());
  ToolRun run;
  runTool(words, run, c.setup);
  EXPECT_TRUE(run.commandsRan);
  EXPECT_EQ(run.updater.calls, c.calls);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.lines, c.lines);
  EXPECT_EQ(run.err, "");
}

const char kSerial[] = "40F5849A";
const std::string kFingerprintLine = "I:[ 11111111 22222222 33333333 44444444 ]";
const std::string kFingerprintCall = "Get_Fingerprint /dev/ttyS1 DEADDEAD [] 115200 reset";
const std::string kNoChip = "E:Got no response from chip";
const Lines kRetrievingLatest = {"I:Retrieving firmware for device with serial number 40F5849A",
                                 "I:No build specified", "I:Using Latest build"};
const std::string kDownloadLatest = "Download_Firmware 40F5849A []";

Lines join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

auto fingerprintFails = [](FakeUpdater& u) { u.fingerprintResult = false; };
auto downloads = [](unsigned build) { return [build](FakeUpdater& u) { u.downloadResult = build; }; };

INSTANTIATE_TEST_SUITE_P(
    Table, CommandOrder,
    ::testing::Values(
        // Fingerprint.
        OrderCase{"Fingerprint", {"-N", "-s", "/dev/ttyS1"}, nullptr, {kFingerprintCall}, 0, {kFingerprintLine}},
        OrderCase{"FingerprintPassesFileAndRate",
                  {"-N", "-s", "/dev/ttyS1", "-o", "9600", "-f", "fw.bird", "-d", kSerial},
                  nullptr,
                  {"Get_Fingerprint /dev/ttyS1 DEADDEAD [fw.bird] 9600 reset"},
                  0,
                  {kFingerprintLine}},
        OrderCase{"FingerprintNeedsPort",
                  {"-N", "-G", "-d", kSerial},
                  nullptr,
                  {},
                  1,
                  {"E:Must specify the serial port used for connecting"}},
        OrderCase{"FingerprintFails", {"-N", "-s", "/dev/ttyS1"}, fingerprintFails, {kFingerprintCall}, 1, {kNoChip}},
        OrderCase{"FingerprintFailureSaysWhy",
                  {"-N", "-s", "/dev/ttyS1"},
                  [](FakeUpdater& u) {
                    u.fingerprintResult = false;
                    u.fingerprintFailure = "no LPC17xx boot ROM answered on /dev/ttyS1";
                  },
                  {kFingerprintCall},
                  1,
                  {kNoChip + ": no LPC17xx boot ROM answered on /dev/ttyS1"}},
        // Download.
        OrderCase{"DownloadNeedsSerial",
                  {"-G"},
                  nullptr,
                  {},
                  1,
                  {"E:-G must specify a specific device via -d", "E:--help for usage information"}},
        OrderCase{"DownloadWithoutSerialEndsAfterFingerprint",
                  {"-N", "-s", "/dev/ttyS1", "-G", "-U"},
                  nullptr,
                  {kFingerprintCall},
                  1,
                  {kFingerprintLine, "E:-G must specify a specific device via -d", "E:--help for usage information"}},
        OrderCase{"DownloadLatest", {"-G", "-d", kSerial}, downloads(1234), {kDownloadLatest}, 0, kRetrievingLatest},
        OrderCase{"DownloadGivenBuild",
                  {"-G", "-d", kSerial, "-b", "99528558", "-OVERRIDE"},
                  downloads(99528558),
                  {"Download_Firmware 40F5849A [99528558] override"},
                  0,
                  {"I:Retrieving firmware for device with serial number 40F5849A",
                   "I:Retrieving firmware build 99528558"}},
        OrderCase{"DownloadFails", {"-G", "-d", kSerial}, nullptr, {kDownloadLatest}, 1, kRetrievingLatest},
        // -N and -G together: the download decides.
        OrderCase{"FingerprintFailsDownloadSucceeds",
                  {"-G", "-N", "-s", "/dev/ttyS1", "-d", kSerial},
                  [](FakeUpdater& u) {
                    u.fingerprintResult = false;
                    u.downloadResult = 5;
                  },
                  {kFingerprintCall, kDownloadLatest},
                  0,
                  join({{kNoChip}, kRetrievingLatest})},
        OrderCase{"FingerprintSucceedsDownloadFails",
                  {"-N", "-s", "/dev/ttyS1", "-G", "-d", kSerial},
                  nullptr,
                  {kFingerprintCall, kDownloadLatest},
                  1,
                  join({{kFingerprintLine}, kRetrievingLatest})},
        // A following command decides alone.
        OrderCase{"FailedFingerprintThenDiscover",
                  {"-N", "-s", "/dev/ttyS1", "-D"},
                  fingerprintFails,
                  {kFingerprintCall, "Discover_Devices 1"},
                  0,
                  {kNoChip, "I:Searching for Tessarine devices", "I:Discovered Devices: (USB)",
                   "I:    No devices found."}},
        OrderCase{"FailedDownloadThenBuildList",
                  {"-G", "-B", "-d", kSerial},
                  nullptr,
                  {kDownloadLatest, "Get_BuildList 40F5849A"},
                  0,
                  join({kRetrievingLatest, {"I:No builds found for device [40F5849A]"}})},
        OrderCase{"FailedFingerprintThenUpdate",
                  {"-N", "-s", "/dev/ttyS1", "-U", "-d", kSerial},
                  [](FakeUpdater& u) {
                    u.fingerprintResult = false;
                    u.updateResult = true;
                  },
                  {kFingerprintCall, "Update_Firmware 40F5849A 0 [] 0 00000000"},
                  0,
                  {kNoChip}},
        // Update.
        OrderCase{"DownloadedBuildIsUpdated",
                  {"-G", "-U", "-d", kSerial},
                  [](FakeUpdater& u) {
                    u.downloadResult = 555;
                    u.updateResult = true;
                  },
                  {kDownloadLatest, "Update_Firmware 40F5849A 555 [] 0 00000000"},
                  0,
                  kRetrievingLatest},
        OrderCase{"FailedDownloadKeepsGivenBuild",
                  {"-G", "-U", "-d", kSerial, "-b", "77"},
                  nullptr,
                  {"Download_Firmware 40F5849A [77]", "Update_Firmware 40F5849A 77 [] 0 00000000"},
                  1,
                  {"I:Retrieving firmware for device with serial number 40F5849A",
                   "I:Retrieving firmware build 77"}},
        OrderCase{"UpdateArguments",
                  {"-U", "-d", kSerial, "-f", "fw.bird", "-r", "D272031D", "-OVERRIDE"},
                  [](FakeUpdater& u) { u.updateResult = true; },
                  {"Update_Firmware 40F5849A 0 [fw.bird] 0 D272031D override"},
                  0,
                  {}},
        OrderCase{"UpdateFails", {"-U", "-d", kSerial}, nullptr, {"Update_Firmware 40F5849A 0 [] 0 00000000"}, 1, {}},
        OrderCase{"UpdateNeedsSerial",
                  {"-U", "-t", "USB"},
                  nullptr,
                  {},
                  1,
                  {"E:Must specify the specific device to be updated"}},
        OrderCase{"Recovery",
                  {"-U", "-t", "RECOVER", "-s", "/dev/ttyS0"},
                  [](FakeUpdater& u) { u.recoverResult = true; },
                  {"Recover_Firmware /dev/ttyS0 0 115200 00000000 []"},
                  0,
                  {}},
        OrderCase{"RecoveryArgumentsAndFailure",
                  {"-U", "-t", "RECOVER", "-s", "USB", "-d", kSerial, "-b", "12", "-o", "9600", "-f", "r.bird",
                   "-OVERRIDE"},
                  nullptr,
                  {"Recover_Firmware USB 12 9600 40F5849A [r.bird] override"},
                  1,
                  {}},
        // Build list.
        OrderCase{"BuildList",
                  {"-B", "-d", kSerial},
                  [](FakeUpdater& u) { u.builds = {{"5", "1.0.0"}}; },
                  {"Get_BuildList 40F5849A"},
                  0,
                  {"I:Build List for device [40F5849A]:\n", "I:Build          \tVersion        ",
                   "I:5              \t1.0.0          "}},
        // Discovery.
        OrderCase{"DiscoverTcp",
                  {"-D", "-t", "TCPIP"},
                  nullptr,
                  {"Discover_Devices 2"},
                  0,
                  {"I:Searching for Tessarine devices", "I:Discovered Devices: (TCPIP)", "I:    No devices found."}},
        OrderCase{"DiscoverWithRecoverLooksOnUsb",
                  {"-D", "-t", "RECOVER"},
                  nullptr,
                  {"Discover_Devices 1"},
                  0,
                  {"I:Searching for Tessarine devices", "I:Discovered Devices: (USB)", "I:    No devices found."}},
        OrderCase{"DiscoverBehindRouter",
                  {"-D", "-r", "D272031D"},
                  [](FakeUpdater& u) {
                    DeviceInfo found;
                    found.spec.type = TCPIP;
                    found.spec.serial_num = 0x2181F0EE;
                    found.spec.t.ip.ip_address = 0x0100007F;  // 127.0.0.1 as stored
                    u.devices = {found};
                  },
                  {"Discover_TNNetwork_Devices D272031D 0"},
                  0,
                  {"I:Searching for Tessarine Network devices connected to D272031D",
                   "I:Discovered Devices: (Unknown)",
                   "I:    Device    Module   Router  Model          Firmware Version (Build)   [IP address]",
                   "I:    2181F0EE  00       00      Unknown        0.0.0 (0) [127.0.0.1]"}},
        OrderCase{"DiscoverBehindRouterOnUsb",
                  {"-D", "-r", "D272031D", "-t", "USB"},
                  nullptr,
                  {"Discover_TNNetwork_Devices D272031D 1"},
                  0,
                  {"I:Searching for Tessarine Network devices connected to D272031D",
                   "I:Discovered Devices: (USB)", "I:    No devices found."}},
        // Only the first of -D, -U, -B runs.
        OrderCase{"DiscoverWinsOverUpdate",
                  {"-U", "-D", "-d", kSerial},
                  nullptr,
                  {"Discover_Devices 1"},
                  0,
                  {"I:Searching for Tessarine devices", "I:Discovered Devices: (USB)", "I:    No devices found."}},
        OrderCase{"UpdateWinsOverBuildList",
                  {"-B", "-U", "-d", kSerial},
                  [](FakeUpdater& u) { u.updateResult = true; },
                  {"Update_Firmware 40F5849A 0 [] 0 00000000"},
                  0,
                  {}},
        // Accepted commands without an action.
        OrderCase{"InfoOnly", {"-I"}, nullptr, {}, 0, {}},
        OrderCase{"CheckOnly", {"-C"}, nullptr, {}, 0, {}},
        OrderCase{"ZOnly", {"-Z", "word"}, nullptr, {}, 0, {}}));

TEST(CommandOrder, BuildListWithoutSerialShowsSynopsis) {
  TempDir store;
  ToolRun run;
  runTool({"-B", "-i", store.path()}, run);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.updater.calls.empty());
  EXPECT_EQ(run.lines, Lines{"E:Error must supply a serial number for the List Builds command"});
  EXPECT_EQ(run.err, _usage_text(false, false));
}

TEST(UpdaterMain, UsageWhenNothingIsToBeDone) {
  struct Row {
    Lines words;
    bool extended;
    bool full;
  };
  const Row rows[] = {
      {{}, false, false},
      {{"-q"}, false, false},
      {{"-OVERRIDE", "-d", kSerial}, false, false},
      {{"-X", "0x400"}, true, false},
      {{"-h"}, false, true},
      {{"--help", "-D"}, false, true},
      {{"-X", "0x400", "-H"}, true, true},
      {{"-h", "-X", "0x400"}, false, true},
  };
  for (const Row& row : rows) {
    ToolRun run;
    runTool(row.words, run);
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(run.commandsRan);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0].substr(0, 3), "I:(");
    EXPECT_EQ(run.err, _usage_text(row.extended, row.full)) << (row.words.empty() ? "" : row.words[0]);
  }
}

TEST(UpdaterMain, HelpBeforeMaskLeavesTheLogAlone) {
  Lines all{"updater", "-h", "-X", "0x400"};
  ArgumentList args(all);
  RecordingDisplay display;
  Log::package_bitmask = 0;
  testsupport::CapturedFd err(STDERR_FILENO);
  _updater_main(args.argc(), args.argv(), display, [](Parameters&) { return 1; });
  err.release();
  EXPECT_EQ(Log::package_bitmask, 0u);
  EXPECT_EQ(Log::fh, stderr);
  Log::SetOutput(nullptr);
}

TEST(UpdaterMain, RefusedCommandLine) {
  ToolRun run;
  runTool({"-Y", "-D"}, run);
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(run.commandsRan);
  // The refusal comes first, then the banner.
  ASSERT_GE(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], "(no banner first)");
  ASSERT_EQ(run.lines.size(), 4u);
  EXPECT_EQ(run.lines[1], "E:Unhandled command: [-Y]");
  EXPECT_EQ(run.lines[2], kBanner);
  EXPECT_EQ(run.lines[3].substr(0, 3), "I:(");
  EXPECT_EQ(run.err, _usage_text(false, false));
}

TEST(UpdaterMain, StoreDirectoryIsMadeBeforeTheCommands) {
  TempDir parent;
  const std::string root = parent.file("a/b");
  ToolRun run;
  runTool({"-I", "-i", root}, run);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.commandsRan);
  EXPECT_EQ(run.storeDir, root + "/updater");
  EXPECT_EQ(access(run.storeDir.c_str(), W_OK), 0);
}

TEST(UpdaterMain, StoreDirectoryFailureEndsTheRun) {
  ToolRun run;
  runTool({"-D", "-i", "/proc/no-such-directory"}, run);
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(run.commandsRan);
  EXPECT_EQ(run.lines, Lines{"E:Could not find updater directory at /proc/no-such-directory/updater"});
}

}  // namespace
