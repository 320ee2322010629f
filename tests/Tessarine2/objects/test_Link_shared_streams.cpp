// Stream subscriptions of several Links on one link (modules behind a
// router): each Link gets its own samples, and a Link that gives the link
// up leaves nothing of itself on it, even while one of its callbacks
// subscribes at that moment.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/StreamTestSupport.h"

namespace {

using namespace objtest;

constexpr uint8_t kRouter = 0x02;
constexpr uint8_t kFirst = 0x04;
constexpr uint8_t kSecond = 0x08;
constexpr uint8_t kCmd = 0x30;
constexpr uint8_t kOpt = 5;
constexpr uint8_t kIdx = 2;

// A router whose modules behind it stream; the front stops first.
struct StreamingRouter {
  StreamingRouter()
      : engine(kRouter),
        router(engine, ModuleIdentity(), false),
        first(engine, kFirst),
        second(engine, kSecond),
        front(engine, 0, "127.0.0.1") {
    router.addModule(kFirst, ModuleIdentity());
    router.addModule(kSecond, ModuleIdentity());
  }
  linkSpec spec() const { return tcpSpec(front.address(), front.port()); }

  ModuleEngine engine;
  simmodule::SimRouter router;
  StreamSource first;
  StreamSource second;
  simmodule::TcpFront front;
};

std::unique_ptr<Module> behind(Module* router, uint8_t address) {
  auto module = std::make_unique<Module>(address, false, 0);
  EXPECT_EQ(module->connectThroughLinkModule(router), aErrNone);
  return module;
}

TEST(SharedLinkStreams, TwoLinksOnARoutedLinkEachGetTheirOwnSamples) {
  StreamingRouter sim;
  Recorder firstSeen;
  Recorder secondSeen;
  std::unique_ptr<Module> router = connectedModule(sim.spec(), kRouter);
  ASSERT_TRUE(router->isConnected());
  std::unique_ptr<Module> a = behind(router.get(), kFirst);
  std::unique_ptr<Module> b = behind(router.get(), kSecond);
  Link* la = a->getLink();
  Link* lb = b->getLink();
  ASSERT_EQ(la->registerStreamCallback(kFirst, kCmd, kOpt, kIdx, true, firstSeen.callback(), nullptr), aErrNone);
  ASSERT_EQ(lb->registerStreamCallback(kSecond, kCmd, kOpt, kIdx, true, secondSeen.callback(), nullptr), aErrNone);

  sim.first.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  sim.second.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 2);
  ASSERT_TRUE(firstSeen.waitFor(1));
  ASSERT_TRUE(secondSeen.waitFor(1));
  EXPECT_EQ(firstSeen.all()[0].address, kFirst);
  EXPECT_EQ(firstSeen.all()[0].value, 1u);
  EXPECT_EQ(secondSeen.all()[0].address, kSecond);
  EXPECT_EQ(secondSeen.all()[0].value, 2u);
  uint32_t value = 0;
  EXPECT_EQ(la->getStreamValue(kFirst, kCmd, kOpt, kIdx, 0, &value), aErrNone);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(lb->getStreamValue(kSecond, kCmd, kOpt, kIdx, 0, &value), aErrNone);
  EXPECT_EQ(value, 2u);

  // The second unsubscribes, then goes altogether: the first goes on
  // receiving, its cache fresh.
  ASSERT_EQ(lb->registerStreamCallback(kSecond, kCmd, kOpt, kIdx, false, nullptr, nullptr), aErrNone);
  sim.first.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 3);
  ASSERT_TRUE(firstSeen.waitFor(2));
  b.reset();
  sim.first.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 4);
  ASSERT_TRUE(firstSeen.waitFor(3));
  EXPECT_EQ(firstSeen.all()[2].value, 4u);
  EXPECT_EQ(la->getStreamValue(kFirst, kCmd, kOpt, kIdx, 0, &value), aErrNone);
  EXPECT_EQ(value, 4u);
  EXPECT_EQ(secondSeen.size(), 1u);
}

// True when a packet beginning with the command reaches the link's in-FIFO
// within the time: no stream filter took it.
bool reachesFifo(linkID link, uint8_t command, int timeoutMS = 1000) {
  auto matches = [](const aPacket* p, const void* ref) {
    return p->dataSize > 0 && p->data[0] == *static_cast<const uint8_t*>(ref);
  };
  aPacket* packet = aLink_AwaitFirst(link, matches, &command, static_cast<uint64_t>(timeoutMS));
  const bool found = packet != nullptr;
  aPacket_Destroy(&packet);
  return found;
}

// A callback of one Link subscribes again while its owner disconnects or
// destroys that Link; another Link keeps the link open. Nothing of the
// Link that went may stay on the link (the reader would call into freed
// memory).
TEST(SharedLinkStreams, ACallbackSubscribingWhileItsLinkGoesLeavesNothingBehind) {
  struct Row {
    const char* what;
    bool disconnectFirst;
  };
  const Row rows[] = {{"disconnect, then destroy", true}, {"destroy", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    StreamingModule sim;
    std::unique_ptr<Module> keeper = connectedModule(sim.spec());
    std::unique_ptr<Module> owner = connectedModule(sim.spec());
    ASSERT_TRUE(keeper->isConnected());
    ASSERT_TRUE(owner->isConnected());
    const linkID shared = sim.link();
    ASSERT_EQ(useCount(shared), 2);
    Link* link = owner->getLink();
    Gate gate;
    std::atomic<int> entered{0};
    ASSERT_EQ(link->registerStreamCallback(
                  kAddress, kCmd, kOpt, kIdx, true,
                  [&](const aPacket*, void*) {
                    if (entered++ == 0) {
                      gate.wait();
                      link->registerStreamCallback(kAddress, kCmd, kOpt + 1, kIdx, true, nullptr, nullptr);
                    }
                    return aErrNone;
                  },
                  nullptr),
              aErrNone);
    sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
    ASSERT_TRUE(gate.waitForWaiter());
    // Opens the gate once the owner is well inside giving the link up
    // (waiting for its worker).
    std::thread opener([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      gate.release();
    });
    if (row.disconnectFirst) {
      EXPECT_EQ(owner->disconnect(), aErrNone);
      EXPECT_EQ(useCount(shared), 1);
    }
    owner.reset();
    opener.join();
    EXPECT_EQ(useCount(shared), 1);

    sim.source.sendSample(kCmd, kOpt + 1, kIdx, StreamSource::U8, 2);
    EXPECT_TRUE(reachesFifo(shared, kCmd));
    ASSERT_TRUE(keeper->isConnected());
    keeper.reset();
  }
}

}  // namespace
