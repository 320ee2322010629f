// The LPC17xx ISP client against the simulated boot ROM on a
// pseudo-terminal.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>
#include <random>
#include <vector>

#include "tests/sim/bootrom/Lpc17xxIspLine.h"
#include "tests/updater/recovery/IspFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> pattern(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& b : bytes) {
    b = static_cast<uint8_t>(random());
  }
  return bytes;
}

// --- the two roads of a recovery --------------------------------------

TEST_F(IspTest, FingerprintRoadSynchronisesAndReadsTheSerialWords) {
  connectAndSync();
  EXPECT_TRUE(rom.synchronized());
  EXPECT_EQ(rom.crystalKHz(), 14746u);
  ASSERT_EQ(isp.GetDeviceID(), aErrNone);
  const bootrom::LpcIdentity chip;
  for (unsigned i = 0; i < 4; ++i) {
    EXPECT_EQ(isp.deviceId(i), chip.serial[i]) << i;
  }
}

// Unlock, prepare and erase everything, echo off, then per chunk a RAM write
// to the staging address, a prepare and a copy; echo on and run.
TEST_F(IspTest, FlashingRoadWritesTheImageAndStartsIt) {
  connectAndSync();
  // The flashing runs at the caller's rate, announced to the chip first.
  ASSERT_EQ(isp.SetBaudRate(57600), aErrNone);
  isp.Disconnect();
  connect(57600);
  const uint32_t target = 0x10000;
  const std::vector<uint8_t> image = pattern(4096 + 4096 + 1000, 7);

  ASSERT_EQ(isp.Unlock(), aErrNone);
  ASSERT_EQ(isp.Prepare(0, 29), aErrNone);
  ASSERT_EQ(isp.Erase(0, 29), aErrNone);
  ASSERT_EQ(isp.SetEcho(false), aErrNone);
  EXPECT_FALSE(isp.echoEnabled());
  EXPECT_FALSE(rom.echo());
  for (uint32_t offset = 0; offset < image.size(); offset += 4096) {
    uint32_t chunk = std::min<uint32_t>(4096, static_cast<uint32_t>(image.size()) - offset);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, chunk, image.data() + offset), aErrNone) << offset;
    unsigned first = NXPSerialClass::SectorFromAddress(target + offset);
    unsigned last = NXPSerialClass::SectorFromAddress(target + offset + chunk - 1);
    ASSERT_EQ(isp.Prepare(first, last), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(target + offset, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(chunk)),
              aErrNone);
  }
  ASSERT_EQ(isp.SetEcho(true), aErrNone);
  EXPECT_TRUE(rom.echo());
  ASSERT_EQ(isp.ExecuteFrom(0), aErrNone);

  EXPECT_EQ(rom.flash(target, static_cast<uint32_t>(image.size())), image);
  EXPECT_EQ(rom.flash(0, 16), std::vector<uint8_t>(16, 0xFF));  // erased, not written
  // The ROM answers "G" before it leaves; give its thread the moment.
  for (int i = 0; i < 200 && !rom.running(); ++i) {
    usleep(1000);
  }
  EXPECT_TRUE(rom.running());
  EXPECT_EQ(rom.goAddress(), 0u);
  EXPECT_EQ(rom.goMode(), 'T');
}

// 45 bytes a line, a checksum after every 20 lines and after the last.
TEST_F(IspTest, RamWritesSendOneChecksumPerTwentyLines) {
  struct Case {
    uint32_t count;
    bool echo;
    unsigned checksums;
  };
  const Case cases[] = {{4, true, 1}, {900, true, 1}, {904, true, 2}, {4096, true, 5}, {904, false, 2}};
  connectAndSync();
  uint32_t address = 0x10002000;
  unsigned seen = 0;
  for (const Case& c : cases) {
    if (isp.echoEnabled() != c.echo) {
      ASSERT_EQ(isp.SetEcho(c.echo), aErrNone);
    }
    const std::vector<uint8_t> data = pattern(c.count, c.count);
    ASSERT_EQ(isp.Write(address, c.count, data.data()), aErrNone) << c.count;
    EXPECT_EQ(rom.ram(address, c.count), data) << c.count;
    EXPECT_EQ(rom.writeChecksums() - seen, c.checksums) << c.count << (c.echo ? " echo" : " no echo");
    seen = rom.writeChecksums();
    address += 0x1000;
  }
}

TEST_F(IspTest, InformationCommandsReadTheirLines) {
  connectAndSync();
  const bootrom::LpcIdentity chip;
  long part = 0;
  ASSERT_EQ(isp.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, static_cast<long>(chip.partId));
  // Minor number first, as the chip sends it.
  unsigned char major = 0, minor = 0;
  ASSERT_EQ(isp.GetBootLoaderVersion(&minor, &major), aErrNone);
  EXPECT_EQ(major, chip.bootCodeMajor);
  EXPECT_EQ(minor, chip.bootCodeMinor);
  EXPECT_EQ(isp.SetBaudRate(57600), aErrNone);
  EXPECT_EQ(rom.baudRequested(), 57600u);
  connect(57600);  // the chip listens at the new rate from now on
  EXPECT_EQ(isp.SetBaudRate(1234), aErrParam);  // INVALID_BAUD_RATE
  // The commands still line up after a refused one.
  ASSERT_EQ(isp.GetDeviceID(), aErrNone);
  EXPECT_EQ(isp.deviceId(3), chip.serial[3]);
}

TEST_F(IspTest, ReadsMemoryBackAndAsksAgainOnABadChecksum) {
  const std::vector<uint8_t> stored = pattern(2000, 3);
  rom.loadFlash(0x3000, stored);
  connectAndSync();
  std::vector<uint8_t> back(stored.size());
  ASSERT_EQ(isp.Read(0x3000, static_cast<uint32_t>(back.size()), back.data()), aErrNone);
  EXPECT_EQ(back, stored);

  bootrom::LpcFaults faults;
  faults.corruptReadChecksums = 2;
  rom.setFaults(faults);
  std::fill(back.begin(), back.end(), 0);
  ASSERT_EQ(isp.Read(0x3000, static_cast<uint32_t>(back.size()), back.data()), aErrNone);
  EXPECT_EQ(back, stored);

  faults.corruptReadChecksums = 3;
  rom.setFaults(faults);
  EXPECT_EQ(isp.Read(0x3000, 1000, back.data()), aErrTimeout);
}

// --- refused before anything is sent ----------------------------------

TEST_F(IspTest, ArgumentsOutOfRangeSendNothing) {
  connect();
  std::vector<uint8_t> data(1024, 1);
  const std::pair<const char*, std::function<aErr()>> cases[] = {
      {"prepare 5 to 3", [&] { return isp.Prepare(5, 3); }},
      {"erase 5 to 3", [&] { return isp.Erase(5, 3); }},
      {"copy to an address off a 256-byte boundary", [&] { return isp.CopyToFlash(0x1080, 0x10001000, 256); }},
      {"copy of 300 bytes", [&] { return isp.CopyToFlash(0x1000, 0x10001000, 300); }},
      {"copy of 4097 bytes", [&] { return isp.CopyToFlash(0x1000, 0x10001000, NXPSerialClass::CopyLength(4097)); }},
      {"write of 0 bytes", [&] { return isp.Write(0x10001000, 0, data.data()); }},
      {"write of 901 bytes", [&] { return isp.Write(0x10001000, 901, data.data()); }},
      {"write without data", [&] { return isp.Write(0x10001000, 4, nullptr); }},
      {"read of 6 bytes", [&] { return isp.Read(0x0, 6, data.data()); }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.second(), aErrParam) << c.first;
  }
  usleep(20000);
  EXPECT_EQ(peer.received(), "");
}

// --- what the ROM answers -------------------------------------------------

struct AnswerCase {
  const char* what;
  char command;
  std::string answer;  // in place of the ROM's own
  std::function<aErr(NXPSerialClass&)> call;
  aErr expected;
};

// Parameters print as their name, not as bytes.
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.what; }

class IspAnswers : public IspTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(IspAnswers, AnythingButCodeZeroFails) {
  const AnswerCase& c = GetParam();
  connectAndSync();
  bootrom::LpcFaults faults;
  faults.answers[c.command] = c.answer;
  rom.setFaults(faults);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(c.call(isp), c.expected);
  EXPECT_LT(msSince(start), 3000);
}

std::vector<uint8_t> gBuffer(4096, 0x5A);

const AnswerCase kAnswerCases[] = {
    {"prepare_code_9", 'P', "9\r\n", [](NXPSerialClass& i) { return i.Prepare(0, 1); }, aErrParam},
    // With echo on only the last digit sits before CR LF; 10 is still an error.
    {"prepare_code_10", 'P', "10\r\n", [](NXPSerialClass& i) { return i.Prepare(0, 1); }, aErrParam},
    {"erase_no_answer", 'E', "", [](NXPSerialClass& i) { return i.Erase(0, 1); }, aErrParam},
    {"copy_garbage", 'C', "\x01\xFFgarbage\r\n",
     [](NXPSerialClass& i) { return i.CopyToFlash(0, 0x10001000, 256); }, aErrParam},
    {"unlock_invalid_code", 'U', "16\r\n", [](NXPSerialClass& i) { return i.Unlock(); }, aErrParam},
    {"write_addr_not_mapped", 'W', "14\r\n",
     [](NXPSerialClass& i) { return i.Write(0x10001000, 8, gBuffer.data()); }, aErrParam},
    {"echo_off_refused", 'A', "1\r\n",
     [](NXPSerialClass& i) {
       aErr e = i.SetEcho(false);
       return i.echoEnabled() ? e : aErrNone;  // the client must still expect echoes
     },
     aErrParam},
    {"id_code_19", 'N', "19\r\n", [](NXPSerialClass& i) { return i.GetDeviceID(); }, aErrParam},
    {"id_two_words_only", 'N', "0\r\n12\r\n34\r\n", [](NXPSerialClass& i) { return i.GetDeviceID(); }, aErrNotReady},
    {"id_word_not_a_number", 'N', "0\r\n1\r\n2\r\nx3\r\n4\r\n", [](NXPSerialClass& i) { return i.GetDeviceID(); },
     aErrIO},
    {"id_word_beyond_32_bits", 'N', "0\r\n1\r\n2\r\n4294967296\r\n4\r\n",
     [](NXPSerialClass& i) { return i.GetDeviceID(); }, aErrIO},
    {"id_garbage_flood", 'N', std::string(3000, '\x7F'), [](NXPSerialClass& i) { return i.GetDeviceID(); },
     aErrParam},
    {"part_code_1", 'J', "1\r\n", [](NXPSerialClass& i) {
       long part = 0;
       return i.GetPartNumber(&part);
     },
     aErrParam},
    {"version_byte_too_large", 'K', "0\r\n300\r\n1\r\n",
     [](NXPSerialClass& i) {
       unsigned char a = 0, b = 0;
       return i.GetBootLoaderVersion(&a, &b);
     },
     aErrIO},
};

INSTANTIATE_TEST_SUITE_P(Faults, IspAnswers, ::testing::ValuesIn(kAnswerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& info) { return info.param.what; });

// The ROM's own refusals, from its real rules.
TEST_F(IspTest, RomRefusalsAreFailures) {
  connectAndSync();
  EXPECT_EQ(isp.Erase(0, 1), aErrParam);  // CMD_LOCKED before unlock
  ASSERT_EQ(isp.Unlock(), aErrNone);
  EXPECT_EQ(isp.Erase(0, 1), aErrParam);  // SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION
  EXPECT_EQ(isp.Prepare(0, 30), aErrParam);  // INVALID_SECTOR
  std::vector<uint8_t> data(256, 0);
  ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()), aErrNone);
  EXPECT_EQ(isp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);  // not prepared
  EXPECT_EQ(isp.Write(0x10000000, 4, data.data()), aErrParam);  // the ISP handler's own RAM
  EXPECT_EQ(rom.flash(0x2000, 256), std::vector<uint8_t>(256, 0xFF));
}

// Random answers, line ends sprinkled in, to every command that reads
// lines: nothing overruns a buffer (the sanitizer trees watch), and an
// answer without a "0" anywhere never passes as success. Half the rounds
// open with code 0 and send junk after it.
TEST_F(IspTest, RandomAnswersStayInBoundsAndNeverPassWithoutCodeZero) {
  connectAndSync();
  std::mt19937 random(99);
  const std::string alphabet("123456789 -x`!MZ\r\n\r\n\r\n\x7f\xff\x00", 26);
  const char commands[] = "PNJKWR";
  for (int round = 0; round < 48; ++round) {
    const bool startsWithZero = round % 2 == 1;
    std::string answer = startsWithZero ? "0\r\n" : "";
    const size_t length = random() % 400;
    for (size_t i = 0; i < length; ++i) {
      answer += alphabet[random() % alphabet.size()];
    }
    const char letter = commands[(round / 2) % 6];
    bootrom::LpcFaults faults;
    faults.answers[letter] = answer;
    rom.setFaults(faults);
    // Start each round on a quiet line: what the last one left is dropped.
    usleep(5000);
    connect();

    std::vector<uint8_t> exact(904);  // exactly what is asked for: an overrun is caught
    long part = 0;
    unsigned char a = 0, b = 0;
    aErr result = aErrNone;
    switch (letter) {
      case 'P': result = isp.Prepare(0, 1); break;
      case 'N': result = isp.GetDeviceID(); break;
      case 'J': result = isp.GetPartNumber(&part); break;
      case 'K': result = isp.GetBootLoaderVersion(&a, &b); break;
      case 'W': result = isp.Write(0x10001000, 904, exact.data()); break;
      default: result = isp.Read(0x0, 904, exact.data()); break;
    }
    if (!startsWithZero) {
      EXPECT_NE(result, aErrNone) << letter << " round " << round;
    }
  }
}

// With echo off the code line is judged from its start.
TEST_F(IspTest, EchoOffCodeLines) {
  connectAndSync();
  ASSERT_EQ(isp.SetEcho(false), aErrNone);
  EXPECT_EQ(isp.Prepare(0, 0), aErrNone);
  bootrom::LpcFaults faults;
  faults.answers['P'] = "10\r\n";
  rom.setFaults(faults);
  EXPECT_EQ(isp.Prepare(0, 0), aErrParam);
}

// --- the handshake ------------------------------------------------------

struct SyncCase {
  const char* what;
  std::function<void(bootrom::LpcFaults&)> fault;
  aErr expected;
};

// Parameters print as their name, not as bytes.
void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.what; }

class IspSync : public IspTest, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(IspSync, HandshakeFailuresAreReported) {
  const SyncCase& c = GetParam();
  bootrom::LpcFaults faults;
  c.fault(faults);
  rom.setFaults(faults);
  connect();
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(isp.Sync(), c.expected);
  EXPECT_LT(msSince(start), 3000);
}

const SyncCase kSyncCases[] = {
    {"silent_rom", [](bootrom::LpcFaults& f) { f.silent = true; }, aErrNotReady},
    {"no_ok_after_synchronized", [](bootrom::LpcFaults& f) { f.syncAccepted = "NO\r\n"; }, aErrIO},
    {"frequency_not_accepted", [](bootrom::LpcFaults& f) { f.crystalAccepted = "ERROR\r\n"; }, aErrIO},
    {"frequency_unanswered", [](bootrom::LpcFaults& f) { f.crystalAccepted = ""; }, aErrNotReady},
    {"flood_of_line_ends", [](bootrom::LpcFaults& f) { f.syncGreeting = std::string(5000, '\n'); }, aErrIO},
    {"flood_of_noise", [](bootrom::LpcFaults& f) { f.syncGreeting = std::string(5000, '\x7F'); }, aErrIO},
};

INSTANTIATE_TEST_SUITE_P(Faults, IspSync, ::testing::ValuesIn(kSyncCases),
                         [](const ::testing::TestParamInfo<SyncCase>& info) { return info.param.what; });

// A synchronised ROM reads "?" as the start of a command line.
TEST_F(IspTest, SecondSyncFailsOnASynchronisedRom) {
  connectAndSync();
  EXPECT_NE(isp.Sync(), aErrNone);
}

// Nothing at all answers: the first reply is given its transmission time
// plus 20 ms, then 100 empty polls 1 ms apart.
TEST_F(IspTest, SilentRomIsGivenItsFullBudget) {
  bootrom::LpcFaults faults;
  faults.silent = true;
  rom.setFaults(faults);
  connect();
  Clock::time_point start = Clock::now();
  EXPECT_EQ(isp.Sync(), aErrNotReady);
  EXPECT_GE(msSince(start), 120);
  start = Clock::now();
  isp.SetEcho(false);  // no echo, no code line: 100 empty polls for each
  EXPECT_GE(msSince(start), 190);
  EXPECT_LT(msSince(start), 2000);
}

// --- checksum verdicts of a RAM write ------------------------------------

struct VerdictCase {
  const char* what;
  std::vector<const char*> verdicts;
  aErr expected;
};

// Parameters print as their name, not as bytes.
void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.what; }

class IspVerdicts : public IspTest, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(IspVerdicts, ResendRepeatsTheBlockTwiceAtMost) {
  const VerdictCase& c = GetParam();
  connectAndSync();
  bootrom::LpcFaults faults;
  for (const char* v : c.verdicts) {
    faults.checksumVerdicts.push_back(v);
  }
  rom.setFaults(faults);
  const std::vector<uint8_t> data = pattern(1800, 11);
  EXPECT_EQ(isp.Write(0x10004000, 1800, data.data()), c.expected);
  if (c.expected == aErrNone) {
    EXPECT_EQ(rom.ram(0x10004000, 1800), data);
  }
}

const VerdictCase kVerdictCases[] = {
    {"one_resend", {"RESEND\r\n"}, aErrNone},
    {"two_resends", {"OK\r\n", "RESEND\r\n", "RESEND\r\n"}, aErrNone},
    {"third_resend_fails", {"RESEND\r\n", "RESEND\r\n", "RESEND\r\n"}, aErrTimeout},
    {"unexpected_verdict", {"NOPE\r\n"}, aErrIO},
    {"verdict_without_line_end", {"OK"}, aErrIO},
};

INSTANTIATE_TEST_SUITE_P(Faults, IspVerdicts, ::testing::ValuesIn(kVerdictCases),
                         [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.what; });

// --- the port ---------------------------------------------------------------

TEST_F(IspTest, ConnectPicksTheFirstRateAtLeastTheRequest) {
  const std::pair<unsigned, unsigned> cases[] = {
      {115200, 115200}, {100000, 115200}, {0, 2400}, {9600, 9600}, {230400, 230400}, {460800, 9600}};
  for (const auto& c : cases) {
    connect(c.first);
    EXPECT_EQ(isp.baudRate(), c.second) << c.first;
  }
  connect(100000);
  termios t{};
  int fd = open(peer.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  tcgetattr(fd, &t);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

TEST_F(IspTest, ConnectReportsAPortThatCannotBeOpened) {
  EXPECT_EQ(isp.Connect("/nonexistent/ttyISP", 115200), aErrNotFound);
  EXPECT_FALSE(isp.isConnected());
  EXPECT_NE(isp.Sync(), aErrNone);
  EXPECT_NE(isp.GetDeviceID(), aErrNone);
}

// --- on a paced line -------------------------------------------------------

// The ROM on a line that carries bytes at the port's rate both ways, with a
// USB-serial adapter's 16 ms latency; its UART follows auto-baud and "B",
// and erase and copy are answered only once the flash is done.
class PacedIspTest : public ::testing::Test {
 protected:
  bootrom::Lpc17xxIspRom rom;
  bootrom::SerialRomPeer peer{bootrom::lpcIspLineHandler(rom),
                              bootrom::lpcIspLineOptions(std::chrono::milliseconds(16))};
  NXPSerialClass isp;

  void connectAndSync() {
    ASSERT_EQ(isp.Connect(peer.devicePath().c_str(), 115200), aErrNone);
    ASSERT_EQ(isp.Sync(), aErrNone);
  }
};

// A slow chip: an erase of sectors 0-29 may take up to 30 sector erases
// of 105 ms (here 1.5 s), a copy 1 ms per 256 bytes, plus the adapter's
// latency on every answer.
TEST_F(PacedIspTest, FlashAnswersAreAwaitedForTheChipsWorstCase) {
  rom.setTiming({1500, 1});
  connectAndSync();
  ASSERT_EQ(isp.Unlock(), aErrNone);
  ASSERT_EQ(isp.Prepare(0, 29), aErrNone);
  ASSERT_EQ(isp.Erase(0, 29), aErrNone);
  ASSERT_EQ(isp.SetEcho(false), aErrNone);
  const std::vector<uint8_t> data = pattern(4096, 8);
  ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
  ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
  ASSERT_EQ(isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
  EXPECT_EQ(rom.flash(0, 4096), data);
}

// An erase that never answers still ends, within the bound of 30 sectors
// at their slowest.
TEST_F(PacedIspTest, ASilentEraseFailsWithinABound) {
  connectAndSync();
  ASSERT_EQ(isp.Unlock(), aErrNone);
  ASSERT_EQ(isp.Prepare(0, 29), aErrNone);
  bootrom::LpcFaults faults;
  faults.answers['E'] = "";
  rom.setFaults(faults);
  const Clock::time_point start = Clock::now();
  EXPECT_NE(isp.Erase(0, 29), aErrNone);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 10000);
}

// After "B" the chip listens at the new rate only: a port left at the old
// one reaches it as garbage, and it carries nothing out.
TEST_F(PacedIspTest, APortLeftAtTheOldRateIsNotUnderstood) {
  connectAndSync();
  ASSERT_EQ(isp.SetBaudRate(57600), aErrNone);
  EXPECT_NE(isp.Unlock(), aErrNone);
  EXPECT_FALSE(rom.unlocked());

  bootrom::Lpc17xxIspRom fresh;
  bootrom::SerialRomPeer line{bootrom::lpcIspLineHandler(fresh), bootrom::lpcIspLineOptions()};
  NXPSerialClass client;
  ASSERT_EQ(client.Connect(line.devicePath().c_str(), 115200), aErrNone);
  ASSERT_EQ(client.Sync(), aErrNone);
  ASSERT_EQ(client.SetBaudRate(57600), aErrNone);
  ASSERT_EQ(client.Connect(line.devicePath().c_str(), 57600), aErrNone);
  EXPECT_EQ(client.Unlock(), aErrNone);
  EXPECT_TRUE(fresh.unlocked());
}

}  // namespace
