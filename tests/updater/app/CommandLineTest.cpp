#include "updater/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/updater/app/ArgumentList.h"
#include "tests/updater/app/RecordingDisplay.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/support/Log.h"

namespace {

using testsupport::ArgumentList;
using testsupport::RecordingDisplay;
using Words = std::vector<std::string>;

struct ParseResult {
  int result = -1;
  Parameters params;
  Words errors;
  Words lines;
  Words argvAfter;
};

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Log::package_bitmask = 0;
    Log::SetOutput(nullptr);
  }
  void TearDown() override {
    Log::package_bitmask = 0;
    Log::SetOutput(nullptr);
  }

  static ParseResult parse(const Words& words) {
    Words all{"/usr/local/bin/updater"};
    all.insert(all.end(), words.begin(), words.end());
    ArgumentList args(all);
    RecordingDisplay display;
    ParseResult r;
    r.result = _get_params(display, args.argc(), args.argv(), r.params);
    r.errors = display.errors();
    r.lines = display.lines;
    r.argvAfter = args.words();
    return r;
  }
};

TEST_F(CommandLineTest, DefaultsWithoutOptions) {
  ParseResult r = parse({});
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(r.lines.empty());
  const Parameters& p = r.params;
  EXPECT_TRUE(p.commands.IsEmpty());
  EXPECT_EQ(p.serial, 0u);
  EXPECT_EQ(p.router, 0u);
  EXPECT_EQ(p.transport, TRANSPORT_USB);
  EXPECT_FALSE(p.transportGiven);
  EXPECT_EQ(p.baudRate, 115200u);
  EXPECT_EQ(p.moduleAddr, 0);
  EXPECT_EQ(p.url, UpdateServerRequest::DEFAULT_URL);
  EXPECT_EQ(p.logMode, "a+");
  EXPECT_EQ(p.logFile, "Updater.log");
  EXPECT_EQ(p.appName, "updater");
  EXPECT_FALSE(p.homeDir.empty());
  EXPECT_TRUE(p.storeDir.empty());
  EXPECT_TRUE(p.buildText.empty());
  EXPECT_FALSE(p.override);
  EXPECT_FALSE(p.extended);
  EXPECT_FALSE(p.helpGiven);
  EXPECT_EQ(p.buffer, nullptr);
}

TEST_F(CommandLineTest, ProgramNameAfterLastSeparator) {
  for (const auto& name : std::vector<std::pair<std::string, std::string>>{
           {"updater", "updater"}, {"./bin/upd", "upd"}, {"C:\\tools\\upd.exe", "upd.exe"}, {"dir/", ""}}) {
    ArgumentList args({name.first});
    RecordingDisplay display;
    Parameters p;
    EXPECT_EQ(_get_params(display, args.argc(), args.argv(), p), 0);
    EXPECT_EQ(p.appName, name.second) << name.first;
  }
  // No words at all (a program started with an empty argv).
  char* none[] = {nullptr};
  RecordingDisplay display;
  Parameters p;
  EXPECT_EQ(_get_params(display, 0, none, p), 0);
  EXPECT_EQ(p.appName, "");
}

struct OptionCase {
  const char* name;
  Words words;
  std::function<void(const Parameters&)> check;
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class EveryOption : public CommandLineTest, public ::testing::WithParamInterface<OptionCase> {};

// Each row of the option table, as the parse leaves it.
TEST_P(EveryOption, IsAcceptedAndStored) {
  ParseResult r = parse(GetParam().words);
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(r.errors.empty()) << r.errors[0];
  GetParam().check(r.params);
}

bool only(const Parameters& p, uint32_t bits) {
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if (p.commands.IsSet(bit) != ((bits & bit) != 0)) return false;
  }
  return true;
}

INSTANTIATE_TEST_SUITE_P(
    Table, EveryOption,
    ::testing::Values(
        OptionCase{"B", {"-B"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_LIST_BUILDS)); }},
        OptionCase{"D", {"-D"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_DISCOVER)); }},
        OptionCase{"G", {"-G"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_GET)); }},
        OptionCase{"I", {"-I"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_INFO)); }},
        OptionCase{"U", {"-U"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_UPDATE)); }},
        OptionCase{"OVERRIDE", {"-OVERRIDE"},
                   [](const Parameters& p) {
                     EXPECT_TRUE(p.override);
                     EXPECT_TRUE(p.commands.IsEmpty());
                   }},
        OptionCase{"OVERRIDEAbbreviated", {"-OV"}, [](const Parameters& p) { EXPECT_TRUE(p.override); }},
        OptionCase{"N", {"-N"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_FINGERPRINT)); }},
        OptionCase{"C", {"-C"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_CHECK)); }},
        OptionCase{"h", {"-h"},
                   [](const Parameters& p) {
                     EXPECT_TRUE(only(p, CMD_HELP));
                     EXPECT_TRUE(p.helpGiven);
                   }},
        OptionCase{"H", {"-H"}, [](const Parameters& p) { EXPECT_TRUE(p.helpGiven); }},
        OptionCase{"help", {"--help"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_HELP)); }},
        OptionCase{"n", {"-n"}, [](const Parameters& p) { EXPECT_TRUE(p.nFlag); }},
        OptionCase{"XHex", {"-X", "0x10400"},
                   [](const Parameters& p) {
                     EXPECT_TRUE(p.extended);
                     EXPECT_EQ(p.debugMask, 0x10400u);
                     EXPECT_EQ(Log::package_bitmask, 0x10400u);
                   }},
        OptionCase{"XDecimal", {"-X", "17"},
                   [](const Parameters& p) {
                     EXPECT_EQ(p.debugMask, 17u);
                     EXPECT_EQ(Log::package_bitmask, 17u);
                   }},
        OptionCase{"ZIgnoresItsWord", {"-Z", "anything"},
                   [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_Z)); }},
        OptionCase{"i", {"-i", "/tmp/store"}, [](const Parameters& p) { EXPECT_EQ(p.storeDir, "/tmp/store"); }},
        OptionCase{"b", {"-b", "0099528558"}, [](const Parameters& p) { EXPECT_EQ(p.buildText, "99528558"); }},
        OptionCase{"d", {"-d", "40F5849A"}, [](const Parameters& p) { EXPECT_EQ(p.serial, 0x40F5849Au); }},
        OptionCase{"dPrefixed", {"-d", "0x40F5849A"}, [](const Parameters& p) { EXPECT_EQ(p.serial, 0x40F5849Au); }},
        OptionCase{"dUpperPrefixLowerDigits", {"-d", "0X40f5849a"},
                   [](const Parameters& p) { EXPECT_EQ(p.serial, 0x40F5849Au); }},
        OptionCase{"dEquals", {"-d=D272031D"}, [](const Parameters& p) { EXPECT_EQ(p.serial, 0xD272031Du); }},
        OptionCase{"tUSB", {"-t", "USB"},
                   [](const Parameters& p) {
                     EXPECT_EQ(p.transport, TRANSPORT_USB);
                     EXPECT_TRUE(p.transportGiven);
                   }},
        OptionCase{"tTCP", {"-t", "TCP"}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_TCPIP); }},
        OptionCase{"tTCPIP", {"-t", "TCPIP"}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_TCPIP); }},
        OptionCase{"tRECOVER", {"-t", "RECOVER"},
                   [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_RECOVER); }},
        OptionCase{"f", {"-f", "fw.bird"}, [](const Parameters& p) { EXPECT_EQ(p.file, "fw.bird"); }},
        OptionCase{"r", {"-r", "0xD272031D"}, [](const Parameters& p) { EXPECT_EQ(p.router, 0xD272031Du); }},
        OptionCase{"s", {"-s", "/dev/ttyUSB0"}, [](const Parameters& p) { EXPECT_EQ(p.port, "/dev/ttyUSB0"); }},
        OptionCase{"o", {"-o", "9600"}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 9600u); }},
        OptionCase{"eIgnoresItsWord", {"-e", "x"}, [](const Parameters& p) { EXPECT_TRUE(p.echo); }},
        OptionCase{"l", {"-l", "note"}, [](const Parameters& p) { EXPECT_EQ(p.logMessage, "note"); }},
        OptionCase{"k", {"-k", "x.log"}, [](const Parameters& p) { EXPECT_EQ(p.logFile, "x.log"); }},
        OptionCase{"u", {"-u", "http://localhost:8080/cgi/u"},
                   [](const Parameters& p) { EXPECT_EQ(p.url, "http://localhost:8080/cgi/u"); }},
        OptionCase{"SeveralCommands", {"-G", "-U", "-d", "2181F0EE", "-r", "D272031D"},
                   [](const Parameters& p) {
                     EXPECT_TRUE(only(p, CMD_GET | CMD_UPDATE));
                     EXPECT_EQ(p.serial, 0x2181F0EEu);
                     EXPECT_EQ(p.router, 0xD272031Du);
                   }}));

struct RefusedCase {
  const char* name;
  Words words;
  Words errors;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class Refused : public CommandLineTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, FailsTheParseWithItsMessages) {
  ParseResult r = parse(GetParam().words);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.errors, GetParam().errors);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refused,
    ::testing::Values(
        RefusedCase{"Y", {"-Y"}, {"Unhandled command: [-Y]"}},
        RefusedCase{"SerialZero", {"-d", "0"}, {"Invalid serial number obtained from argument [0]"}},
        RefusedCase{"SerialPrefixOnly", {"-d", "0x"}, {"Invalid serial number obtained from argument []"}},
        RefusedCase{"SerialNotHex",
                    {"-d", "xyz"},
                    {"Invalid format for \"-d\" parameter, unprocessed characters [xyz]",
                     "Invalid serial number obtained from argument [xyz]"}},
        RefusedCase{"SerialTrailingCharacters",
                    {"-d", "0x40F5849AZ"},
                    {"Invalid format for \"-d\" parameter, unprocessed characters [Z]",
                     "Invalid serial number obtained from argument [40F5849AZ]"}},
        // Nine digits would otherwise be cut to another module's number;
        // the line says so instead of calling the digits unprocessed.
        RefusedCase{"SerialBeyond32Bits",
                    {"-d", "1FFFFFFFF"},
                    {"Invalid serial number obtained from argument [1FFFFFFFF]: the number is too large, the largest "
                     "is FFFFFFFF"}},
        RefusedCase{"RouterBeyond32Bits",
                    {"-r", "0x100000000"},
                    {"Invalid router serial number obtained from argument [100000000]: the number is too large, the "
                     "largest is FFFFFFFF"}},
        RefusedCase{"RouterZero", {"-r", "0x0"}, {"Invalid router serial number obtained from argument [0]"}},
        RefusedCase{"RouterNotHex",
                    {"-r", "D27-"},
                    {"Invalid format for \"-r\" parameter, unprocessed characters [-]",
                     "Invalid router serial number obtained from argument [D27-]"}},
        RefusedCase{"TransportLowerCase",
                    {"-t", "usb"},
                    {"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"}},
        RefusedCase{"TransportShortRecover",
                    {"-t", "RECOVE"},
                    {"Invalid transport type:[RECOVE]\nMust be one of the following: USB, TCPIP, RECOVER"}},
        RefusedCase{"BuildTrailingCharacters",
                    {"-b", "12x"},
                    {"Invalid format for \"-b\" parameter, unprocessed characters [x]"}},
        RefusedCase{"BuildBeyond32Bits",
                    {"-b", "4294967296"},
                    {"Invalid format for \"-b\" parameter, number too large [4294967296], the largest is 4294967295"}},
        RefusedCase{"BaudFarBeyond64Bits",
                    {"-o", "99999999999999999999999"},
                    {"Invalid format for \"-o\" parameter, number too large [99999999999999999999999], the largest "
                     "is 4294967295"}},
        RefusedCase{"BaudNotDecimal", {"-o", "0x2580"},
                    {"Invalid format for \"-o\" parameter, unprocessed characters [x2580]"}},
        // The parse goes on after a refused option and reports each one.
        RefusedCase{"EveryProblemIsReported",
                    {"-Y", "-t", "serial", "-d", "0"},
                    {"Unhandled command: [-Y]",
                     "Invalid transport type:[serial]\nMust be one of the following: USB, TCPIP, RECOVER",
                     "Invalid serial number obtained from argument [0]"}}));

TEST_F(CommandLineTest, RefusedTransportIsZeroAndParseGoesOn) {
  ParseResult r = parse({"-t", "usb", "-D"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.params.transport, 0u);
  EXPECT_TRUE(r.params.transportGiven);
  EXPECT_TRUE(r.params.commands.IsSet(CMD_DISCOVER));
}

TEST_F(CommandLineTest, LargestValuesFit) {
  ParseResult r = parse({"-d", "FFFFFFFF", "-b", "4294967295", "-o", "230400"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.params.serial, 0xFFFFFFFFu);
  EXPECT_EQ(r.params.buildText, "4294967295");
  EXPECT_EQ(r.params.baudRate, 230400u);
}

// Problems the parser finds are skipped without a word and fail nothing.
TEST_F(CommandLineTest, ParserErrorsAreSkippedSilently) {
  struct Row {
    Words words;
    std::function<void(const Parameters&)> check;
  };
  const Row rows[] = {
      {{"-q"}, [](const Parameters& p) { EXPECT_TRUE(p.commands.IsEmpty()); }},
      {{"-B=1", "-D"}, [](const Parameters& p) { EXPECT_TRUE(only(p, CMD_DISCOVER)); }},
      {{"-d"}, [](const Parameters& p) { EXPECT_EQ(p.serial, 0u); }},
      {{"-d", "-B"},
       [](const Parameters& p) {
         EXPECT_EQ(p.serial, 0u);
         EXPECT_TRUE(only(p, CMD_LIST_BUILDS));
       }},
      {{"-Z"}, [](const Parameters& p) { EXPECT_TRUE(p.commands.IsEmpty()); }},
      {{"--", "-", "-BX", "stray"}, [](const Parameters& p) { EXPECT_TRUE(p.commands.IsEmpty()); }},
  };
  for (const Row& row : rows) {
    ParseResult r = parse(row.words);
    EXPECT_EQ(r.result, 0) << row.words[0];
    EXPECT_TRUE(r.lines.empty()) << row.words[0];
    row.check(r.params);
  }
}

TEST_F(CommandLineTest, HelpEndsTheParse) {
  ParseResult after = parse({"-X", "0x400", "-h"});
  EXPECT_EQ(after.result, 0);
  EXPECT_TRUE(after.params.extended);
  EXPECT_EQ(Log::package_bitmask, 0x400u);

  Log::package_bitmask = 0;
  ParseResult before = parse({"-h", "-X", "0x400", "-Y", "-d", "0"});
  EXPECT_EQ(before.result, 0);
  EXPECT_TRUE(before.errors.empty());
  EXPECT_FALSE(before.params.extended);
  EXPECT_EQ(Log::package_bitmask, 0u);
  EXPECT_TRUE(before.params.helpGiven);
}

TEST_F(CommandLineTest, DebugMaskWithTrailingCharactersIsReportedButNotActivated) {
  ParseResult r = parse({"-X", "12ab", "-D"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.errors, Words{"Invalid format for \"-X\" parameter, unprocessed characters [ab]"});
  EXPECT_TRUE(r.params.extended);
  EXPECT_EQ(Log::package_bitmask, 0u);
  EXPECT_TRUE(r.params.commands.IsSet(CMD_DISCOVER));
}

TEST_F(CommandLineTest, LogsHomeAndWordsAfterReordering) {
  FILE* log = tmpfile();
  ASSERT_NE(log, nullptr);
  Log::SetOutput(log);
  Log::ActivatePackage(DEBUG_APP | DEBUG_Updater);
  ParseResult r = parse({"stray", "-d", "0x40F5849A", "-D"});
  Log::SetOutput(nullptr);
  std::string text;
  rewind(log);
  char chunk[512];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, log)) > 0) text.append(chunk, got);
  fclose(log);

  EXPECT_EQ(r.argvAfter, (Words{"/usr/local/bin/updater", "-d", "0x40F5849A", "-D", "stray"}));
  EXPECT_EQ(text, "Home directory:[" + r.params.homeDir + "]\n" +
                      "Discarding '0x' serial number prefix\n"
                      "\nApplication parameters:[updater]\n"
                      "\t[/usr/local/bin/updater]\n\t[-d]\n\t[0x40F5849A]\n\t[-D]\n\t[stray]\n");
}

TEST(NumberConversion, DigitsOnly) {
  struct Row {
    const char* text;
    bool hex;
    uint32_t value;
    const char* rest;  // nullptr: the end pointer stays unset
  };
  const Row rows[] = {
      {"", true, 0, nullptr},           {"", false, 0, nullptr},
      {"1F", true, 0x1F, ""},           {"1F", false, 0, "F"},
      {"00012", false, 12, ""},         {"xyz", true, 0, "xyz"},
      {"12 ", false, 0, " "},           {"+5", false, 0, "+5"},
      {"-1", false, 0, "-1"},           {"FFFFFFFF", true, 0xFFFFFFFF, ""},
      {"100000000", true, 0, "100000000"},
      {"4294967295", false, 4294967295u, ""},
      {"99999999999999999999999", false, 0, "99999999999999999999999"},
  };
  for (const Row& row : rows) {
    const char* end = nullptr;
    uint32_t value = row.hex ? _get_hex_arg(row.text, &end) : _get_int_arg(row.text, &end);
    EXPECT_EQ(value, row.value) << row.text;
    if (row.rest == nullptr) {
      EXPECT_EQ(end, nullptr) << row.text;
    } else {
      ASSERT_NE(end, nullptr) << row.text;
      EXPECT_STREQ(end, row.rest) << row.text;
    }
  }
  EXPECT_EQ(_get_hex_arg("1F", nullptr), 0u);
  EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(ReleaseParams, FreesTheBuffer) {
  Parameters p;
  p.buffer = malloc(64);
  EXPECT_EQ(_release_params(p), 0);
  EXPECT_EQ(p.buffer, nullptr);
  EXPECT_EQ(_release_params(p), 0);
  EXPECT_EQ(_validate_params(p), 0);
}

}  // namespace
