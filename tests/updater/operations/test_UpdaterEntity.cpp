// UpdaterEntity against the simulated module over TCP.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/bird/BirdGenerator.h"
#include "tests/updater/operations/OpsDisplay.h"
#include "tests/updater/operations/SimModuleFixture.h"
#include "updater/UpdaterEntity.h"
#include "updater/support/Log.h"

namespace {

using opstest::connectTcp;
using opstest::identity;
using opstest::kModuleAddress;
using opstest::OpsDisplay;
using opstest::TcpModule;
using simmodule::SimPacket;
using simmodule::UpgradeCommand;
using Zeltrova::Tessarine::Module;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0000ABCD;

Bytes block(uint32_t address, const Bytes& payload) {
  Bytes b = birdgen::be32(address);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class EntityTest : public ::testing::Test {
 protected:
  explicit EntityTest(UpgradeCommand::Settings settings = UpgradeCommand::Settings())
      : sim(identity(kSerial), settings) {}

  void SetUp() override {
    module = connectTcp(sim, kSerial);
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(module->getModuleAddress(), kModuleAddress);
    ASSERT_EQ(entity.init(module.get(), 0, true, false), aErrNone);
    sim.engine.clearRecords();
  }
  void TearDown() override { module.reset(); }

  // Upgrade requests of one option that reached the module, in order.
  std::vector<Bytes> sent(uint8_t option) const {
    std::vector<Bytes> found;
    for (const auto& r : sim.engine.received()) {
      const Bytes& d = r.packet.data;
      if (d.size() >= 2 && d[0] == UpgradeCommand::kCommand && d[1] == option) found.push_back(d);
    }
    return found;
  }

  // Replaces the module's answers with fixed replies by option.
  void answerWith(std::map<uint8_t, Bytes> replies) {
    sim.engine.setHandler(kModuleAddress, UpgradeCommand::kCommand, [replies](const SimPacket& request) {
      auto at = replies.find(request.data[1]);
      if (at == replies.end()) return std::vector<SimPacket>();
      return std::vector<SimPacket>{SimPacket{request.address, at->second}};
    });
  }

  // A prepared RAM block on the resident firmware.
  void beginLoaderBlock(uint32_t address) {
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    uint16_t size = 0;
    const Bytes header = block(address, {});
    ASSERT_EQ(entity.TransferPrepare(header.data(), uint32_t(header.size()), 0, size), aErrNone);
  }

  TcpModule sim;
  std::unique_ptr<Module> module;
  UpdaterEntity entity;
  OpsDisplay display;
};

TEST_F(EntityTest, LoaderBlockIsPreparedSentInPiecesAndChecked) {
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  const Bytes payload = birdgen::pattern(27, 7);
  const Bytes b = block(0x20000100, payload);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(b.data(), uint32_t(b.size()), 5, size), aErrNone);
  EXPECT_EQ(size, 64);
  ASSERT_EQ(entity.LoaderTransfer(b.data(), uint32_t(b.size())), aErrNone);

  EXPECT_EQ(sent(UpgradeCommand::kInit), std::vector<Bytes>{Bytes({95, 0})});
  EXPECT_EQ(sent(UpgradeCommand::kPrepare), std::vector<Bytes>{Bytes({95, 3, 5, 0x20, 0x00, 0x01, 0x00})});
  std::vector<Bytes> data = sent(UpgradeCommand::kData);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].size(), 28u) << "26 payload bytes fill a packet";
  EXPECT_EQ(data[1].size(), 3u);
  EXPECT_EQ(sent(UpgradeCommand::kSum).size(), 1u);

  std::vector<UpgradeCommand::RamBlock> ram = sim.upgrade.ramBlocks();
  ASSERT_EQ(ram.size(), 1u);
  EXPECT_EQ(ram[0].flags, 5);
  EXPECT_EQ(ram[0].address, 0x20000100u);
  EXPECT_EQ(ram[0].bytes, payload);
}

TEST_F(EntityTest, PayloadSizesGoInWholePieces) {
  struct Row {
    size_t payload;
    size_t pieces;
  };
  const Row rows[] = {{0, 0}, {1, 1}, {26, 1}, {27, 2}, {52, 2}, {53, 3}};
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.payload);
    sim.engine.clearRecords();
    const Bytes payload = birdgen::pattern(row.payload, uint32_t(row.payload) + 1);
    const Bytes b = block(0x20000000, payload);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(b.data(), uint32_t(b.size()), 0, size), aErrNone);
    ASSERT_EQ(entity.LoaderTransfer(b.data(), uint32_t(b.size())), aErrNone);
    EXPECT_EQ(sent(UpgradeCommand::kData).size(), row.pieces);
    // A loader block of its address only still has its (empty) sum checked.
    EXPECT_EQ(sent(UpgradeCommand::kSum).size(), 1u);
    EXPECT_EQ(sim.upgrade.ramBlocks().back().bytes, payload);
  }
}

TEST_F(EntityTest, APieceTheModuleDidNotTakeGoesAgainAndCountsOnce) {
  beginLoaderBlock(0x20000000);
  UpgradeCommand::Faults faults;
  faults.rejectedPieces = 2;
  sim.upgrade.setFaults(faults);
  const Bytes payload = birdgen::pattern(40, 3);
  const Bytes b = block(0x20000000, payload);
  EXPECT_EQ(entity.LoaderTransfer(b.data(), uint32_t(b.size())), aErrNone);
  EXPECT_EQ(sent(UpgradeCommand::kData).size(), 4u);
  EXPECT_EQ(sim.upgrade.ramBlocks().back().bytes, payload);
}

TEST_F(EntityTest, APieceTheModuleNeverTakesEndsTheTransfer) {
  beginLoaderBlock(0x20000000);
  UpgradeCommand::Faults faults;
  faults.rejectedPieces = 1000;
  sim.upgrade.setFaults(faults);
  const Bytes b = block(0x20000000, birdgen::pattern(10, 3));
  EXPECT_EQ(entity.LoaderTransfer(b.data(), uint32_t(b.size())), aErrPacket);
  EXPECT_EQ(sent(UpgradeCommand::kData).size(), UpdaterEntity::kPieceAttempts);
  EXPECT_TRUE(sent(UpgradeCommand::kSum).empty());
}

TEST_F(EntityTest, SumMismatchFailsUnlessVerifyIsOff) {
  beginLoaderBlock(0x20000000);
  UpgradeCommand::Faults faults;
  faults.badSums = 1;
  sim.upgrade.setFaults(faults);
  const Bytes b = block(0x20000000, birdgen::pattern(30, 9));
  EXPECT_EQ(entity.LoaderTransfer(b.data(), uint32_t(b.size())), aErrInvalidOption);

  UpdaterEntity unchecked;
  ASSERT_EQ(unchecked.init(module.get(), 0, false, false), aErrNone);
  faults.badSums = 1;
  sim.upgrade.setFaults(faults);
  sim.engine.clearRecords();
  EXPECT_EQ(unchecked.LoaderTransfer(b.data(), uint32_t(b.size())), aErrNone);
  EXPECT_TRUE(sent(UpgradeCommand::kSum).empty());
}

TEST_F(EntityTest, RefusedPrepareLeavesTheBlockSize) {
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  UpgradeCommand::Faults faults;
  faults.refuseResidentPrepare = true;
  sim.upgrade.setFaults(faults);
  const Bytes b = block(0x20000000, {1, 2, 3});
  uint16_t size = 0x1234;
  EXPECT_EQ(entity.TransferPrepare(b.data(), uint32_t(b.size()), 0, size), aErrInvalidOption);
  EXPECT_EQ(size, 0x1234);
}

TEST_F(EntityTest, RepliesOfTheWrongShape) {
  struct Row {
    const char* what;
    std::map<uint8_t, Bytes> replies;
    std::function<aErr(UpdaterEntity&)> call;
    aErr expected;
  };
  const Bytes b = block(0x00010000, birdgen::pattern(8, 1));
  uint16_t size = 0x4321;
  const Row rows[] = {
      {"init reply of 5 bytes", {{0, {95, 0, 1, 2, 3}}}, [](UpdaterEntity& e) { return e.LoaderInit(); }, aErrPacket},
      {"init reply of 6 bytes", {{0, {95, 0, 1, 2, 3, 4}}}, [](UpdaterEntity& e) { return e.LoaderInit(); }, aErrNone},
      {"prepare reply without status", {{3, {95, 7}}},
       [&](UpdaterEntity& e) { return e.TransferPrepare(b.data(), uint32_t(b.size()), 0, size); }, aErrInvalidOption},
      {"accepted prepare without block size", {{3, {95, 7, 0}}},
       [&](UpdaterEntity& e) { return e.TransferPrepare(b.data(), uint32_t(b.size()), 0, size); }, aErrPacket},
      {"write reply without status", {{5, {95, 7}}}, [](UpdaterEntity& e) { return e.FirmwareWrite(8); },
       aErrInvalidOption},
      {"write refused", {{5, {95, 7, 1}}}, [](UpdaterEntity& e) { return e.FirmwareWrite(8); }, aErrInvalidOption},
      {"data reply without count", {{1, {95, 1}}, {4, {95, 7, 0, 0, 0, 0, 0}}},
       [&](UpdaterEntity& e) { return e.LoaderTransfer(b.data(), uint32_t(b.size())); }, aErrPacket},
      {"sum reply without sum", {{1, {95, 1, 8}}, {4, {95, 7, 0}}},
       [&](UpdaterEntity& e) { return e.LoaderTransfer(b.data(), uint32_t(b.size())); }, aErrInvalidOption},
      {"no reply at all", {}, [](UpdaterEntity& e) { return e.LoaderInit(); }, aErrTimeout},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    answerWith(row.replies);
    EXPECT_EQ(row.call(entity), row.expected);
  }
  EXPECT_EQ(size, 0x4321) << "no failed prepare stores a block size";
}

class LoaderEntityTest : public EntityTest {
 protected:
  void SetUp() override {
    EntityTest::SetUp();
    sim.upgrade.setMode(UpgradeCommand::Mode::Loader);
  }
};

TEST_F(LoaderEntityTest, FirmwareBlockIsWrittenChunkByChunk) {
  const Bytes payload = birdgen::pattern(600, 11);
  const Bytes b = block(0x00010000, payload);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(b.data(), uint32_t(b.size()), 2, size), aErrNone);
  ASSERT_EQ(size, 256);
  ASSERT_EQ(entity.FirmwareTransfer(b.data(), uint32_t(b.size()), size, display), aErrNone);

  EXPECT_EQ(sim.upgrade.flash(0x00010000, payload.size()), payload);
  EXPECT_EQ(sim.upgrade.flashBytesWritten(), payload.size());
  EXPECT_EQ(sent(UpgradeCommand::kWrite),
            (std::vector<Bytes>{Bytes({95, 5, 1, 0}), Bytes({95, 5, 1, 0}), Bytes({95, 5, 0, 88})}));
  EXPECT_EQ(sent(UpgradeCommand::kSum).size(), 3u) << "one sum per chunk";
  EXPECT_EQ(display.progressShown, 1);
  EXPECT_EQ(display.progressHidden, 1);
  ASSERT_EQ(display.progress.size(), 3u);
  EXPECT_DOUBLE_EQ(display.progress.back(), 1.0);
  EXPECT_LT(display.progress[0], display.progress[1]);
}

TEST_F(LoaderEntityTest, AddressOnlyBlockSendsNothingAndZeroBlockSizeIsRefused) {
  const Bytes empty = block(0x00010000, {});
  EXPECT_EQ(entity.FirmwareTransfer(empty.data(), uint32_t(empty.size()), 256, display), aErrNone);
  const Bytes b = block(0x00010000, {1, 2, 3});
  EXPECT_EQ(entity.FirmwareTransfer(b.data(), uint32_t(b.size()), 0, display), aErrInvalidOption);
  EXPECT_TRUE(sim.engine.received().empty());
}

TEST_F(LoaderEntityTest, FailedWriteFailsTheTransfer) {
  UpgradeCommand::Faults faults;
  faults.failWrites = true;
  sim.upgrade.setFaults(faults);
  const Bytes b = block(0x00010000, birdgen::pattern(30, 1));
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(b.data(), uint32_t(b.size()), 0, size), aErrNone);
  EXPECT_EQ(entity.FirmwareTransfer(b.data(), uint32_t(b.size()), size, display), aErrInvalidOption);
  EXPECT_EQ(sim.upgrade.flashBytesWritten(), 0u);
}

TEST_F(LoaderEntityTest, RebootWaitsForTheLinkToDrop) {
  ASSERT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_FALSE(module->isConnected());
  EXPECT_EQ(sim.upgrade.counts().reboots, 1);
  EXPECT_EQ(sim.upgrade.mode(), UpgradeCommand::Mode::Resident);
  EXPECT_EQ(display.spinnerCleared, 1);
}

TEST_F(LoaderEntityTest, RebootWithoutWaitReturnsAfterOnePause) {
  UpgradeCommand::Faults faults;
  faults.keepLinkOnReboot = true;
  sim.upgrade.setFaults(faults);
  UpdaterEntity routed;
  ASSERT_EQ(routed.init(module.get(), 0, true, true), aErrNone);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(routed.LoaderReboot(display), aErrNone);
  EXPECT_LT(secondsSince(start), 1.0);
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(display.spinnerTurns, 1);
}

// --- starting the loader -------------------------------------------------

struct LoadCase {
  UpgradeCommand::Load load;
  aErr result;
  bool connectedAfter;  // eventually
};

class LoadTest : public EntityTest, public ::testing::WithParamInterface<LoadCase> {
 protected:
  static UpgradeCommand::Settings settings() {
    UpgradeCommand::Settings s;
    s.load = GetParam().load;
    return s;
  }
  LoadTest() : EntityTest(settings()) {}
};

TEST_P(LoadTest, LoaderStartsAndTheModuleIsReachableAgain) {
  beginLoaderBlock(0x20000000);
  const uint32_t connectionsBefore = sim.engine.connections();
  EXPECT_EQ(entity.LoaderStart(), GetParam().result);
  EXPECT_EQ(sim.upgrade.mode(), UpgradeCommand::Mode::Loader);
  EXPECT_EQ(sim.upgrade.counts().loads, 1);
  if (GetParam().connectedAfter) {
    EXPECT_TRUE(module->isConnected());
  } else {
    // The module reset the connection. The link shows it down, or, when the
    // loader was already listening, it has connected again in place; either
    // way the old connection is gone. (A reconnection made in place may be
    // too quick for the link ever to be seen down.)
    EXPECT_TRUE(sim.engine.waitUntil(
        [&] { return !module->isConnected() || sim.engine.connections() > connectionsBefore; }, 3000));
  }
}

std::string loadName(const ::testing::TestParamInfo<LoadCase>& info) {
  switch (info.param.load) {
    case UpgradeCommand::Load::ReplyThenRestart:
      return "ReplyThenRestart";
    case UpgradeCommand::Load::RestartWithoutReply:
      return "RestartWithoutReply";
    case UpgradeCommand::Load::ReplyAndStay:
      break;
  }
  return "ReplyAndStay";
}

INSTANTIATE_TEST_SUITE_P(Behaviours, LoadTest,
                         ::testing::Values(
                             // The loader takes over the link in place.
                             LoadCase{UpgradeCommand::Load::ReplyAndStay, aErrNone, true},
                             // The answer comes, then the link drops: the caller reconnects.
                             LoadCase{UpgradeCommand::Load::ReplyThenRestart, aErrNone, false},
                             // No answer: the entity reconnects itself; the loader does not
                             // answer the load request again.
                             LoadCase{UpgradeCommand::Load::RestartWithoutReply, aErrTimeout, true}),
                         loadName);

using LoadGoneTest = EntityTest;

TEST_F(LoadGoneTest, AModuleThatNeverComesBackIsTriedUnderTheDefaultSerialToo) {
  beginLoaderBlock(0x20000000);
  sim.engine.setSilent(true);
  FILE* captured = std::tmpfile();
  ASSERT_NE(captured, nullptr);
  Log::SetOutput(captured);
  Log::ActivatePackage(DEBUG_Network);
  // The module answers nothing and then leaves the network. Another
  // process then tries for its port, as a server that wants it would (with
  // SO_REUSEADDR): the stopped module still holds it, so the bind fails, and
  // whatever the bind did, no reconnect may reach that stranger.
  std::mutex strangerMutex;
  int stranger = -1;
  bool strangerBound = false;
  std::thread leave([&] {
    sim.engine.waitUntil([&] { return !sent(UpgradeCommand::kLoad).empty(); }, 2000);
    sim.stopFront();
    std::lock_guard<std::mutex> hold(strangerMutex);
    stranger = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(stranger, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = sim.ip;
    where.sin_port = htons(sim.port);
    strangerBound = bind(stranger, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && listen(stranger, 4) == 0;
  });
  EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
  leave.join();
  {
    std::lock_guard<std::mutex> hold(strangerMutex);
    EXPECT_FALSE(strangerBound) << "the stopped module's port was free";
    if (strangerBound) {
      EXPECT_LT(accept(stranger, nullptr, nullptr), 0) << "a reconnect reached the stranger";
    }
    close(stranger);
  }
  Log::DeactivatePackage(DEBUG_Network);
  Log::SetOutput(stderr);

  std::rewind(captured);
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, captured) != nullptr) text += buffer;
  std::fclose(captured);
  size_t own = 0, fallback = 0;
  for (size_t at = 0; (at = text.find("Attempting to reconnect. Attempt", at)) != std::string::npos; ++at) ++own;
  for (size_t at = 0; (at = text.find("Attempting to reconnect DEFAULT sn", at)) != std::string::npos; ++at) {
    ++fallback;
  }
  EXPECT_EQ(own, 5u) << text;
  EXPECT_EQ(fallback, 5u) << text;
  EXPECT_FALSE(module->isConnected());
}

}  // namespace
