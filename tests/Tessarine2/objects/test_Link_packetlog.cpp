// The packet-log writer of a Link against a simulated module: the lines it
// writes for each record kind, enable and disable, long marks, a reconnect,
// and what its thread costs once the link is gone.

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aPacketLog.h"
#include "Tessarine2/objects/EntityClass.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/StreamTestSupport.h"

namespace {

using namespace objtest;
using Zeltrova::Tessarine::EntityClass;

// The system entity's serial-number get, [3, 0x49, 0x20], and its reply
// [3, 9, 0, 0x12, 0x34, 0xAB, 0xCD], as the writer logs them.
const std::string kRequestLine = "5 > 0x6 0x3 0x3 0x49 0x20 \r\n";
const std::string kReplyLine = "9 < 0x6 0x7 0x3 0x9 0x0 0x12 0x34 0xAB 0xCD \r\n";
const std::string kStartLine = std::string("6 < START") + '\0' + "\r\n";

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

size_t occurrences(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct PacketLogFixture : ::testing::Test {
  void SetUp() override {
    char pattern[] = "/tmp/tessarine-packetlog-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    path = directory + "/link.log";
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    system.init(module.get(), 3, 0);
  }
  void TearDown() override {
    module.reset();
    std::remove(path.c_str());
    std::remove((directory + "/other.log").c_str());
    rmdir(directory.c_str());
  }
  void askSerial() {
    uint32_t serial = 0;
    ASSERT_EQ(system.getUEI32(9, &serial), aErrNone);
  }
  // Waits until the file holds the piece the given number of times.
  bool logged(const std::string& piece, size_t times = 1, const std::string& file = "") {
    const std::string& name = file.empty() ? path : file;
    return eventually([&] { return occurrences(readFile(name), piece) >= times; }, 3000);
  }

  StreamingModule sim;
  std::string directory;
  std::string path;
  std::unique_ptr<Module> module;
  EntityClass system;
};

TEST_F(PacketLogFixture, OneLinePerRecordOfEachKind) {
  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  askSerial();
  ASSERT_TRUE(logged(kReplyLine));
  const std::string text = readFile(path);
  EXPECT_EQ(text.find(kStartLine), 0u) << text;
  const size_t request = text.find(kRequestLine);
  ASSERT_NE(request, std::string::npos) << text;
  EXPECT_GT(text.find(kReplyLine), request);
}

TEST_F(PacketLogFixture, EnableDisableAndEnableAgain) {
  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  askSerial();
  ASSERT_TRUE(logged(kReplyLine));
  ASSERT_EQ(module->disablePacketLog(), aErrNone);
  askSerial();  // not recorded
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(occurrences(readFile(path), kRequestLine), 1u);

  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  askSerial();
  ASSERT_TRUE(logged(kReplyLine, 2));
  const std::string text = readFile(path);
  EXPECT_EQ(occurrences(text, kStartLine), 2u);
  EXPECT_EQ(occurrences(text, kRequestLine), 2u);
  EXPECT_GT(text.find(kRequestLine, text.rfind(kStartLine)), text.rfind(kStartLine));
}

TEST_F(PacketLogFixture, TheWriterKeepsItsFirstFile) {
  const std::string other = directory + "/other.log";
  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_EQ(module->enablePacketLog(other.c_str()), aErrNone);
  askSerial();
  ASSERT_TRUE(logged(kReplyLine));
  EXPECT_EQ(occurrences(readFile(path), kStartLine), 2u);
  EXPECT_EQ(access(other.c_str(), F_OK), -1);
}

TEST_F(PacketLogFixture, RefusalsWithoutALinkWriterOrFile) {
  Module idle(2, static_cast<uint8_t>(0));
  EXPECT_EQ(idle.enablePacketLog(path.c_str()), aErrConfiguration);
  EXPECT_EQ(idle.disablePacketLog(), aErrConfiguration);
  EXPECT_EQ(access(path.c_str(), F_OK), -1) << "nothing made";
  // Disabling before any enable: no writer.
  EXPECT_EQ(module->disablePacketLog(), aErrParam);
  // A file that cannot be opened is reported.
  const std::string nowhere = directory + "/missing/link.log";
  EXPECT_EQ(module->enablePacketLog(nowhere.c_str()), aErrIO);
}

// A text mark longer than the 64 bytes a record was once read into: it is
// written like any other, and the records behind it follow.
TEST_F(PacketLogFixture, ALongMarkIsWrittenAndTheLogDrainsOn) {
  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  std::string mark(200, 'm');
  mark[0] = '[';
  mark[199] = ']';
  ASSERT_EQ(aLink_PacketDebug_Write(sim.link(), aPACKETLOG_TEXT, static_cast<uint32_t>(mark.size()),
                                    reinterpret_cast<const uint8_t*>(mark.data())),
            aErrNone);
  askSerial();
  ASSERT_TRUE(logged(kReplyLine));
  const std::string text = readFile(path);
  const size_t at = text.find("200 < " + mark + "\r\n");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_GT(text.find(kRequestLine), at);
}

TEST_F(PacketLogFixture, TheWriterFollowsTheLinkAfterAReconnect) {
  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  const linkID first = sim.link();
  ASSERT_EQ(module->disconnect(), aErrNone);
  ASSERT_EQ(module->reconnect(), aErrNone);
  ASSERT_NE(sim.link(), first);
  askSerial();
  EXPECT_TRUE(logged(kReplyLine));
}

// With its link gone the writer's thread pauses between looks: it must not
// spin.
TEST_F(PacketLogFixture, AWriterWithoutItsLinkStaysIdle) {
  ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
  askSerial();
  ASSERT_TRUE(logged(kReplyLine));
  ASSERT_EQ(module->disconnect(), aErrNone);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double cpu = processCpuSeconds();
  const auto wall = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double used = processCpuSeconds() - cpu;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  EXPECT_LT(used / elapsed, 0.05) << used << " s of processor in " << elapsed << " s";
}

}  // namespace
