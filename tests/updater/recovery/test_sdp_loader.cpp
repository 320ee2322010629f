// The Serial Download Protocol driver over a scripted transport: what goes
// on the wire and how each answer is judged.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Stands in for HID or serial: records packets, hands out one scripted
// answer per read (bare HAB word and answer words, as on a UART).
struct Script {
  std::vector<Bytes> written;
  std::deque<Bytes> answers;
  std::vector<unsigned> readTimeouts;
  bool initResult = true;
  int inits = 0;
  long dataWriteResult = 0;  // 0: the packet's size
  bool destroyed = false;
};

class ScriptedTransport : public SDPLoader_Interface {
 public:
  explicit ScriptedTransport(Script& script) : s_(script) {}
  ~ScriptedTransport() override { s_.destroyed = true; }
  bool init() override {
    ++s_.inits;
    return s_.initResult;
  }
  long writeData(const Bytes& packet) override {
    s_.written.push_back(packet);
    if (packet[0] == SDPReport::DATA && s_.dataWriteResult != 0) {
      return s_.dataWriteResult;
    }
    return static_cast<long>(packet.size());
  }
  long readData(Bytes& reply, unsigned int timeoutMS) override {
    s_.readTimeouts.push_back(timeoutMS);
    if (s_.answers.empty()) {
      return 0;
    }
    Bytes next = s_.answers.front();
    s_.answers.pop_front();
    reply.insert(reply.end(), next.begin(), next.end());
    return static_cast<long>(next.size());
  }
  bool getDataFromBuffer(const Bytes& reply, unsigned int index, unsigned int& value) override {
    if (reply.size() < (index + 2) * 4) {
      return false;
    }
    const size_t at = 4 + 4 * index;
    value |= reply[at] | reply[at + 1] << 8 | reply[at + 2] << 16 | static_cast<unsigned>(reply[at + 3]) << 24;
    return true;
  }
  bool getHabModeFromBuffer(const Bytes& reply, unsigned int& value) override {
    if (reply.size() < 4) {
      return false;
    }
    value = reply[0] | reply[1] << 8 | reply[2] << 16 | static_cast<unsigned>(reply[3]) << 24;
    return true;
  }

 private:
  Script& s_;
};

Bytes answer(unsigned word) {
  Bytes out = {0x56, 0x78, 0x78, 0x56};  // HAB open
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<unsigned char>(word >> (8 * i)));
  }
  return out;
}

const Bytes kNothing;
const Bytes kStatusOk = answer(0xF0F0F0F0);
const Bytes kComplete = answer(0x88888888);

Bytes image(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 7);
  }
  return bytes;
}

struct Driver {
  Script script;
  SDPLoader loader;
  Driver() { EXPECT_TRUE(loader.setLoader(new ScriptedTransport(script))); }
};

Bytes hexBytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) {
    out.push_back(static_cast<unsigned char>(v));
  }
  return out;
}

TEST(SDPLoader, CommandPacketsAreSeventeenBytesBigEndian) {
  Driver d;
  d.script.answers = {kStatusOk, kComplete};
  d.loader.writeLoader({}, 0x20000000);
  d.script.answers = {kStatusOk, answer(1), answer(2)};
  unsigned long id = 0;
  d.loader.getFingerprint(id);
  d.loader.startLoader(0x20000400);

  const Bytes status = hexBytes({0x01, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes writeFile = hexBytes({0x01, 0x04, 0x04, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes readCfg0 = hexBytes({0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 0x04, 0, 0, 0, 0, 0});
  const Bytes readCfg1 = hexBytes({0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 0x04, 0, 0, 0, 0, 0});
  const Bytes jump = hexBytes({0x01, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const std::vector<Bytes> expected = {status, writeFile, status, readCfg0, readCfg1, jump};
  EXPECT_EQ(d.script.written, expected);

  Driver sized;
  sized.script.answers = {kStatusOk};
  sized.loader.writeLoader(image(16), 0x20000000);
  ASSERT_GE(sized.script.written.size(), 2u);
  EXPECT_EQ(sized.script.written[1],
            hexBytes({0x01, 0x04, 0x04, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 0x10, 0, 0, 0, 0, 0}));
}

TEST(SDPLoader, ImageGoesOutInPiecesOf1024Bytes) {
  Driver d;
  const Bytes data = image(2500);
  d.script.answers = {kStatusOk, kNothing, kNothing, kNothing, kComplete};
  ASSERT_EQ(d.loader.writeLoader(data, 0x20000000), 0);
  ASSERT_EQ(d.script.written.size(), 5u);
  EXPECT_EQ(Bytes(d.script.written[1].begin() + 8, d.script.written[1].begin() + 12), hexBytes({0, 0, 0x09, 0xC4}));
  Bytes sent;
  const size_t sizes[] = {1024, 1024, 452};
  for (int i = 0; i < 3; ++i) {
    const Bytes& packet = d.script.written[2 + i];
    ASSERT_EQ(packet.size(), sizes[i] + 1) << i;
    EXPECT_EQ(packet[0], SDPReport::DATA);
    sent.insert(sent.end(), packet.begin() + 1, packet.end());
  }
  EXPECT_EQ(sent, data);
  // 100 ms for an answer, nothing but what is queued between pieces.
  EXPECT_EQ(d.script.readTimeouts, (std::vector<unsigned>{100, 0, 0, 0, 100}));
}

struct WriteCase {
  const char* what;
  std::deque<Bytes> answers;
  long dataWriteResult;
  int result;
  size_t packetsWritten;
};

TEST(SDPLoader, WriteLoaderJudgesEveryAnswer) {
  const WriteCase cases[] = {
      {"success", {kStatusOk, kNothing, kNothing, kComplete}, 0, 0, 4},
      {"alive on the third status request", {kNothing, kNothing, kStatusOk, kNothing, kNothing, kComplete}, 0, 0, 6},
      {"no answer to five status requests", {}, 0, 2, 5},
      {"the ROM speaks between pieces", {kStatusOk, kNothing, hexBytes({0x01})}, 0, 3, 3},
      {"completion word wrong", {kStatusOk, kNothing, kNothing, answer(0x12345678)}, 0, 4, 4},
      {"no completion", {kStatusOk, kNothing, kNothing}, 0, 4, 4},
      {"completion cut short", {kStatusOk, kNothing, kNothing, Bytes(kComplete.begin(), kComplete.begin() + 6)}, 0, 4,
       4},
      {"a piece cannot be sent", {kStatusOk, kNothing, kNothing, kComplete}, -1, 4, 3},
  };
  for (const WriteCase& c : cases) {
    Driver d;
    d.script.answers = c.answers;
    d.script.dataWriteResult = c.dataWriteResult;
    EXPECT_EQ(d.loader.writeLoader(image(2000), 0x20000000), c.result) << c.what;
    EXPECT_EQ(d.script.written.size(), c.packetsWritten) << c.what;
  }
}

TEST(SDPLoader, EmptyImageSendsOnlyTheWriteFileCommand) {
  Driver d;
  d.script.answers = {kStatusOk, kComplete};
  EXPECT_EQ(d.loader.writeLoader({}, 0x20000400), 0);
  ASSERT_EQ(d.script.written.size(), 2u);
  EXPECT_EQ(d.script.written[1][2], 0x04);
  EXPECT_EQ(Bytes(d.script.written[1].begin() + 8, d.script.written[1].begin() + 12), Bytes(4, 0));
}

TEST(SDPLoader, FingerprintJoinsTheFuseWords) {
  struct Case {
    const char* what;
    std::deque<Bytes> answers;
    unsigned long before;
    int result;
    unsigned long id;
  };
  const Case cases[] = {
      {"both words", {kStatusOk, answer(0x89ABCDEF), answer(0x01234567)}, 0, 0, 0x0123456789ABCDEFul},
      {"ORed into what the caller holds", {kStatusOk, answer(0x1), answer(0x0)}, 0x100, 0, 0x101},
      {"no answer at all", {}, 0, 2, 0},
      {"no answer to the register read", {kStatusOk, kNothing}, 0, 7, 0},
      {"no answer for the high word", {kStatusOk, answer(0x5), kNothing}, 0, 7, 0x5},
  };
  for (const Case& c : cases) {
    Driver d;
    d.script.answers = c.answers;
    unsigned long id = c.before;
    EXPECT_EQ(d.loader.getFingerprint(id), c.result) << c.what;
    EXPECT_EQ(id, c.id) << c.what;
  }
}

TEST(SDPLoader, OwnsOneTransport) {
  Script first, second;
  auto* firstTransport = new ScriptedTransport(first);
  ScriptedTransport secondTransport(second);
  {
    SDPLoader loader;
    EXPECT_FALSE(loader.setLoader(nullptr));
    EXPECT_TRUE(loader.setLoader(firstTransport));
    EXPECT_FALSE(loader.setLoader(&secondTransport));
    EXPECT_EQ(loader.init(), 0);
    EXPECT_EQ(first.inits, 1);
    EXPECT_EQ(second.inits, 0);
  }
  EXPECT_TRUE(first.destroyed);
  EXPECT_FALSE(second.destroyed);
}

TEST(SDPLoader, WithoutAWorkingTransport) {
  SDPLoader none;
  unsigned long id = 0;
  EXPECT_EQ(none.init(), 1);
  EXPECT_EQ(none.writeLoader(image(10), 0x20000000), 1);
  EXPECT_EQ(none.getFingerprint(id), 1);
  none.startLoader(0x20000400);  // nothing to send to; must not crash

  Driver closed;
  closed.script.initResult = false;
  EXPECT_EQ(closed.loader.init(), 6);
}

// A ROM that takes the jump says nothing more; one that refuses it answers
// its HAB mode and an error status.
TEST(SDPLoader, StartLoaderJudgesTheJumpsAnswer) {
  Bytes closedFailure = answer(0x33333333);
  std::copy_n(Bytes{0x12, 0x34, 0x34, 0x12}.begin(), 4, closedFailure.begin());
  struct Case {
    const char* what;
    std::deque<Bytes> answers;
    int result;
    bool hab;
    unsigned habMode;
    bool status;
    unsigned statusWord;
    const char* described;
  };
  const Case cases[] = {
      {"silence: the ROM jumped", {}, 0, false, 0, false, 0, "nothing"},
      {"the HAB mode alone", {Bytes(kStatusOk.begin(), kStatusOk.begin() + 4)}, 0, true, 0x56787856, false, 0,
       "HAB open (0x56787856)"},
      {"HAB success", {kStatusOk}, 0, true, 0x56787856, true, 0xF0F0F0F0,
       "HAB open (0x56787856), status 0xF0F0F0F0 (HAB success)"},
      {"HAB closed, HAB failure", {closedFailure}, SDPLoader::kJumpRefused, true, 0x12343412, true, 0x33333333,
       "HAB closed (0x12343412), status 0x33333333 (HAB failure)"},
      {"an unknown error status", {answer(0x8D8D8D8D)}, SDPLoader::kJumpRefused, true, 0x56787856, true, 0x8D8D8D8D,
       "HAB open (0x56787856), status 0x8D8D8D8D"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Driver d;
    d.script.answers = c.answers;
    SDPLoader::JumpAnswer heard;
    EXPECT_EQ(d.loader.startLoader(0x20000400, &heard), c.result);
    EXPECT_EQ(heard.habReported, c.hab);
    EXPECT_EQ(heard.habMode, c.habMode);
    EXPECT_EQ(heard.statusReported, c.status);
    EXPECT_EQ(heard.status, c.statusWord);
    EXPECT_EQ(SDPLoader::describe(heard), c.described);
    EXPECT_EQ(d.script.readTimeouts, std::vector<unsigned>{100});
  }
}

// --- where the transports find the answer words -----------------------------

TEST(SDPTransports, HidAnswerIsSeventyBytes) {
  HID_SDPLoader hid(0x1FC9, 0x0130);
  Bytes reply(70, 0);
  reply[0] = 3;
  reply[5] = 4;
  for (int i = 0; i < 64; ++i) {
    reply[6 + i] = static_cast<unsigned char>(i + 1);
  }
  unsigned value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
  EXPECT_EQ(value, 0x04030201u);
  value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 1, value));
  EXPECT_EQ(value, 0x08070605u);
  value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 15, value));
  EXPECT_EQ(value, 0x403F3E3Du);
  value = 0xF0000000;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
  EXPECT_EQ(value, 0xF4030201u);  // ORed, not assigned

  value = 7;
  EXPECT_FALSE(hid.getDataFromBuffer(reply, 16, value));
  EXPECT_FALSE(hid.getDataFromBuffer(Bytes(69, 0), 0, value));
  EXPECT_FALSE(hid.getDataFromBuffer(Bytes(71, 0), 0, value));
  EXPECT_FALSE(hid.getDataFromBuffer(Bytes(), 0, value));
  EXPECT_EQ(value, 7u);

  // The HAB mode is the HAB-mode report's word, whatever follows it.
  Bytes hab = {3, 0x12, 0x34, 0x34, 0x12};
  EXPECT_TRUE(hid.getHabModeFromBuffer(hab, value));
  EXPECT_EQ(value, 0x12343412u);
  hab[0] = 4;
  EXPECT_FALSE(hid.getHabModeFromBuffer(hab, value));
  EXPECT_FALSE(hid.getHabModeFromBuffer(Bytes{3, 1, 2, 3}, value));
}

TEST(SDPTransports, SerialAnswerWordsFollowTheHabWord) {
  Serial_SDPLoader serial("/nonexistent");
  Bytes reply(68, 0);
  for (int i = 0; i < 68; ++i) {
    reply[i] = static_cast<unsigned char>(i);
  }
  unsigned value = 0;
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(reply.begin(), reply.begin() + 7), 0, value));
  EXPECT_TRUE(serial.getDataFromBuffer(Bytes(reply.begin(), reply.begin() + 8), 0, value));
  EXPECT_EQ(value, 0x07060504u);
  value = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(reply, 1, value));
  EXPECT_EQ(value, 0x0B0A0908u);
  value = 0;
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(reply.begin(), reply.begin() + 67), 15, value));
  EXPECT_TRUE(serial.getDataFromBuffer(reply, 15, value));
  EXPECT_EQ(value, 0x43424140u);
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(100, 0), 16, value));

  EXPECT_TRUE(serial.getHabModeFromBuffer(Bytes(reply.begin(), reply.begin() + 4), value));
  EXPECT_EQ(value, 0x03020100u);
  EXPECT_FALSE(serial.getHabModeFromBuffer(Bytes(reply.begin(), reply.begin() + 3), value));
}

}  // namespace
