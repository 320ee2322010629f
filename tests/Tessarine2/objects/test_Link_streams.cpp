// Stream subscriptions against a simulated module that streams: the
// stream-control exchange, callbacks on the worker, the value cache, the
// wildcard masks, what the filter consumes, failures, the full ring, and
// the worker's life across unsubscriptions, disconnects, resets and shared
// links.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Tessarine2/common/aLink.h"
#include "Tessarine2/objects/EntityClass.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/StreamTestSupport.h"

namespace {

using namespace objtest;
using Zeltrova::Tessarine::EntityClass;
using Zeltrova::Tessarine::streamCallback;
using Zeltrova::Tessarine::uei;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCmd = 0x30;
constexpr uint8_t kOpt = 5;
constexpr uint8_t kIdx = 2;
constexpr uint8_t kAny = 0xFF;

uint64_t key(uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return Link::createStreamKey(kAddress, command, option, index, subindex);
}

struct StreamFixture : ::testing::Test {
  void SetUp() override {
    module = connectedModule(sim.spec());
    ASSERT_TRUE(module->isConnected());
    link = module->getLink();
  }
  // Requests the host sent to the stream-control command.
  std::vector<Bytes> control() {
    std::vector<Bytes> out;
    for (const Bytes& data : sentTo(sim.engine, kAddress)) {
      if (!data.empty() && data[0] == StreamSource::kCommandStream) {
        out.push_back(data);
      }
    }
    return out;
  }
  // The first packet on the link whose data begin with the command, if
  // one comes within the time.
  bool reachesFifo(uint8_t command, int timeoutMS = 300) {
    aPacket* packet = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    const uint8_t pattern[] = {command};
    auto matches = [](const aPacket* p, const void* ref) {
      return p->dataSize > 0 && p->data[0] == *static_cast<const uint8_t*>(ref);
    };
    while (packet == nullptr && std::chrono::steady_clock::now() < deadline) {
      packet = aLink_AwaitFirst(sim.link(), matches, pattern, 50);
    }
    const bool found = packet != nullptr;
    aPacket_Destroy(&packet);
    return found;
  }
  // The key is in the Link's table (a subscription or a cached value).
  bool subscribed(uint64_t wanted) {
    for (uint64_t k : link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true)) {
      if (k == wanted) return true;
    }
    return false;
  }
  // Waits until the exact key's cached value is the one given: the filter
  // has taken every sample sent before it.
  bool cached(uint8_t option, uint32_t value, uint8_t subindex = 0) {
    return eventually(
        [&] {
          uint32_t v = 0;
          const aErr err = link->getStreamValue(kAddress, kCmd, option, kIdx, subindex, &v);
          return (err == aErrNone || err == aErrStreamStale) && v == value;
        },
        3000);
  }

  void TearDown() override {
    gate.release();
    module.reset();
  }

  // What callbacks touch lives before the module, which stops the worker.
  StreamingModule sim;
  Recorder recorder;
  Gate gate;
  std::atomic<int> calls{0};
  std::atomic<int> kept{0};
  std::atomic<aErr> result{aErrUnknown};
  std::mutex valuesMutex;
  std::vector<uint32_t> values;
  std::unique_ptr<Module> module;
  Link* link = nullptr;
};

TEST_F(StreamFixture, SubscribeAndUnsubscribeTellTheModule) {
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  ASSERT_EQ(control().size(), 1u);
  EXPECT_EQ(control()[0], (Bytes{93, 0x81, 0x20, kAddress, kCmd, kOpt, kIdx}));
  EXPECT_EQ(sim.source.enabledKeys(), (std::vector<uint32_t>{0x06300502u}));
  // Stored under the wildcard subindex.
  EXPECT_EQ(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true),
            (std::vector<uint64_t>{key(kCmd, kOpt, kIdx, kAny)}));
  uint8_t state = 9;
  EXPECT_EQ(link->isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 1);

  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, false, nullptr, nullptr), aErrNone);
  EXPECT_EQ(control().back(), (Bytes{93, 0x82, 0x20, kAddress, kCmd, kOpt, kIdx}));
  EXPECT_TRUE(sim.source.enabledKeys().empty());
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  EXPECT_EQ(link->isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(control().back(), (Bytes{93, 0x41, 0x20}));
  EXPECT_EQ(link->isLinkStreaming(kAddress, nullptr), aErrParam);
}

TEST_F(StreamFixture, RefusedModuleAddressesLeaveTheTableAlone) {
  struct Row {
    uint8_t module;
    aErr result;
    size_t requests;  // stream-control requests sent
  } rows[] = {{0xFF, aErrParam, 0}, {0x07, aErrParam, 0}, {0x00, aErrPacket, 0}};
  for (const Row& row : rows) {
    EXPECT_EQ(link->registerStreamCallback(row.module, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr),
              row.result)
        << int(row.module);
    EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty()) << int(row.module);
    EXPECT_EQ(control().size(), row.requests) << int(row.module);
  }
}

TEST_F(StreamFixture, CallbacksRunOnTheWorkerAndTheCacheGoesStale) {
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kCmd, kOpt, kIdx, 0, &value), aErrNotFound);

  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 0x5A);
  ASSERT_TRUE(recorder.waitFor(1));
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 0x5B);
  ASSERT_TRUE(recorder.waitFor(2));
  const std::vector<Recorder::Call> calls = recorder.all();
  EXPECT_NE(calls[0].thread, threadId());
  EXPECT_EQ(calls[0].thread, calls[1].thread);
  EXPECT_EQ(calls[0].value, 0x5Au);
  EXPECT_EQ(calls[1].value, 0x5Bu);

  // The sample made an exact entry with subindex 0.
  EXPECT_EQ(link->getStreamValue(kAddress, kCmd, kOpt, kIdx, 0, &value), aErrNone);
  EXPECT_EQ(value, 0x5Bu);
  value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kCmd, kOpt, kIdx, 0, &value), aErrStreamStale);
  EXPECT_EQ(value, 0x5Bu);

  // The status lists the exact entry, never the subscription.
  std::map<uint64_t, uint32_t> status{{1, 1}};
  EXPECT_EQ(link->getStreamStatus(kAddress, kCmd, kAny, kIdx, kAny, &status), aErrNone);
  EXPECT_EQ(status, (std::map<uint64_t, uint32_t>{{key(kCmd, kOpt, kIdx, 0), 0x5B}}));
  EXPECT_EQ(link->getStreamStatus(kAddress, kCmd, kAny, kIdx, kAny, nullptr), aErrParam);
  EXPECT_EQ(link->filterActiveStreamKeys(kAddress, kAny, kAny, kAny, 0, true),
            (std::vector<uint64_t>{key(kCmd, kOpt, kIdx, 0)}));
}

TEST_F(StreamFixture, EntityGetsAreAnsweredFromTheCache) {
  EntityClass entity;
  entity.init(module.get(), kCmd, kIdx);
  ASSERT_EQ(entity.registerOptionCallback(kOpt, true, recorder.callback(), nullptr), aErrNone);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U16, 0x1234);
  ASSERT_TRUE(recorder.waitFor(1));
  const size_t sent = sim.engine.received().size();
  uint16_t value = 0;
  EXPECT_EQ(entity.getUEI16(kOpt, &value), aErrNone);
  EXPECT_EQ(value, 0x1234);
  EXPECT_EQ(entity.getUEI16(kOpt, &value), aErrStreamStale);
  EXPECT_EQ(value, 0x1234);
  EXPECT_EQ(sim.engine.received().size(), sent) << "a cached get asks the module nothing";

  std::map<uint64_t, uint32_t> status;
  EXPECT_EQ(entity.getStreamStatus(&status), aErrNone);
  EXPECT_EQ(status, (std::map<uint64_t, uint32_t>{{key(kCmd, kOpt, kIdx, 0), 0x1234}}));

  // Every option of the entity at once.
  ASSERT_EQ(entity.setStreamEnabled(1), aErrNone);
  EXPECT_EQ(control().back(), (Bytes{93, 0x81, 0x20, kAddress, kCmd, kAny, kIdx}));
  ASSERT_EQ(entity.setStreamEnabled(0), aErrNone);
  EXPECT_EQ(control().back(), (Bytes{93, 0x82, 0x20, kAddress, kCmd, kAny, kIdx}));

  EntityClass unbound;
  EXPECT_EQ(unbound.setStreamEnabled(1), aErrResource);
  EXPECT_EQ(unbound.registerOptionCallback(kOpt, true, recorder.callback(), nullptr), aErrResource);
  EXPECT_EQ(unbound.getStreamStatus(&status), aErrResource);
}

// A subscription with wildcards caches every exact value it covers, of
// every sample kind, subindexes apart.
TEST_F(StreamFixture, SamplesOfEveryKindAreCachedByExactKey) {
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kAny, kIdx, true, recorder.callback(), nullptr), aErrNone);
  struct Row {
    uint8_t option;
    StreamSource::Kind kind;
    uint32_t value;
    uint8_t subindex;
  } rows[] = {
      {1, StreamSource::U8, 0xA5, 0},
      {2, StreamSource::U16, 0xBEEF, 0},
      {3, StreamSource::U32, 0xDEADBEEF, 0},
      {4, StreamSource::SubU8, 0x5A, 3},
      {4, StreamSource::SubU8, 0x5B, 4},
      {6, StreamSource::SubU16, 0x1234, 9},
      {7, StreamSource::SubU32, 0x89ABCDEF, 31},
  };
  for (const Row& row : rows) {
    sim.source.sendSample(kCmd, row.option, kIdx, row.kind, row.value, row.subindex);
  }
  ASSERT_TRUE(recorder.waitFor(sizeof rows / sizeof rows[0]));
  for (const Row& row : rows) {
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(kAddress, kCmd, row.option, kIdx, row.subindex, &value), aErrNone)
        << "option " << int(row.option);
    EXPECT_EQ(value, row.value) << "option " << int(row.option);
  }
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kCmd, 4, kIdx, 0, &value), aErrNotFound);
}

// Which subscriptions a sample of (command, option, index) reaches: each
// element may be a wildcard, and the module must be the sample's.
TEST_F(StreamFixture, WildcardSubscriptionsMatchThroughTheMasks) {
  struct Row {
    const char* what;
    uint8_t command, option, index;
  } rows[] = {
      {"exact", kCmd, kOpt, kIdx},       {"any index", kCmd, kOpt, kAny},         {"any option", kCmd, kAny, kIdx},
      {"any command", kAny, kOpt, kIdx}, {"any option, index", kCmd, kAny, kAny}, {"everything", kAny, kAny, kAny},
      {"other option", kCmd, 9, kIdx},   {"other command", 0x31, kAny, kAny},
  };
  constexpr size_t kRows = sizeof rows / sizeof rows[0];
  std::vector<std::unique_ptr<Recorder>> recorders;
  for (const Row& row : rows) {
    recorders.push_back(std::make_unique<Recorder>());
    ASSERT_EQ(link->registerStreamCallback(kAddress, row.command, row.option, row.index, true,
                                           recorders.back()->callback(), nullptr),
              aErrNone)
        << row.what;
  }
  // A subindexed sample too: the subscriptions cover every subindex.
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::SubU8, 2, 7);
  const size_t expected[kRows] = {2, 2, 2, 2, 2, 2, 0, 0};
  for (size_t i = 0; i < kRows; ++i) {
    if (expected[i] > 0) {
      EXPECT_TRUE(recorders[i]->waitFor(expected[i])) << rows[i].what;
    }
  }
  ASSERT_TRUE(cached(kOpt, 2, 7));
  for (size_t i = 0; i < kRows; ++i) {
    EXPECT_EQ(recorders[i]->size(), expected[i]) << rows[i].what;
  }
}

TEST_F(StreamFixture, ByteArraysAndMalformedSamplesRunCallbacksButCacheNothing) {
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  Bytes array(30);
  for (size_t i = 0; i < array.size(); ++i) {
    array[i] = static_cast<uint8_t>(i);
  }
  sim.source.sendBytes(kCmd, kOpt, kIdx, array);  // two packets
  // A kind-1 sample one byte too long.
  simmodule::SimPacket longer = StreamSource::sample(kAddress, kCmd, kOpt, kIdx, StreamSource::U8, 7, 0, 1);
  longer.data.insert(longer.data.end() - 1, 0);
  sim.engine.injectPacket(longer);
  ASSERT_TRUE(recorder.waitFor(3));
  const std::vector<Recorder::Call> calls = recorder.all();
  EXPECT_EQ(calls[0].data.back(), 0x80);
  EXPECT_EQ(calls[1].data.back(), 0x01);
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kCmd, kOpt, kIdx, 0, &value), aErrNotFound);
}

TEST_F(StreamFixture, StreamPacketsAreConsumedWhetherSubscribedOrNot) {
  // Without a subscription nothing filters: the sample reaches the in-FIFO.
  sim.source.sendSample(0x31, 1, 0, StreamSource::U8, 1);
  EXPECT_TRUE(reachesFifo(0x31));

  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  sim.source.sendSample(0x31, 1, 0, StreamSource::U8, 2);        // nobody subscribed
  sim.source.sendSample(kCmd, 9, kIdx, StreamSource::U32, 3);    // another option
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 4);  // subscribed
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_FALSE(reachesFifo(0x31));
  EXPECT_FALSE(reachesFifo(kCmd));
  uei record{};
  record.module = kAddress;
  record.command = kCmd;
  record.option = 9;
  record.specifier = kIdx;
  EXPECT_EQ(link->receiveUEI(kAddress, kCmd, 9, kIdx, &record), aErrTimeout);
  EXPECT_EQ(recorder.size(), 1u);

  // Replies still come through while the filter is on.
  EntityClass system;
  system.init(module.get(), 3, 0);
  uint32_t serial = 0;
  EXPECT_EQ(system.getUEI32(9, &serial), aErrNone);
  EXPECT_EQ(serial, simmodule::ModuleIdentity().serial);
}

TEST_F(StreamFixture, RefusedOrUnansweredSubscriptionIsUndone) {
  const int before = threadCount();
  sim.source.setControlSilent(true);
  EXPECT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrTimeout);
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  // The table is empty again: no worker, and no filter taking samples.
  EXPECT_TRUE(eventually([&] { return threadCount() == before; }, 1000));
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  EXPECT_TRUE(reachesFifo(kCmd));

  sim.source.setControlSilent(false);
  sim.source.setControlError(13);
  EXPECT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), 13);
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());

  // A failed second subscription leaves the first one working.
  sim.source.setControlError(0);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  sim.source.setControlSilent(true);
  EXPECT_EQ(link->registerStreamCallback(kAddress, kCmd, 9, kIdx, true, recorder.callback(), nullptr), aErrTimeout);
  EXPECT_EQ(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true),
            (std::vector<uint64_t>{key(kCmd, kOpt, kIdx, kAny)}));
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 2);
  EXPECT_TRUE(recorder.waitFor(1));
}

TEST_F(StreamFixture, SubscribingWithoutALinkLeavesNothingBehind) {
  module->disconnect();
  EXPECT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr),
            aErrConfiguration);
  // Nothing is left that a later get would take for a cached value.
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kAddress, kCmd, kOpt, kIdx, kAny, &value), aErrNotFound);
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
}

// The worker runs one callback at a time: with the first one held, the
// ring takes 499 more and drops the next, while the cache keeps up.
TEST_F(StreamFixture, FullRingDropsTheFiveHundredthCall) {
  auto callback = [&](const aPacket* packet, void*) {
    uint32_t value = 0;
    Link::getStreamSample(packet, nullptr, &value, nullptr);
    {
      std::lock_guard<std::mutex> hold(valuesMutex);
      values.push_back(value);
    }
    if (calls.fetch_add(1) == 0) {
      gate.wait();
    }
    return aErrNone;
  };
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, callback, nullptr), aErrNone);
  sim.source.addValue(kCmd, kOpt, kIdx, StreamSource::U32);
  ASSERT_EQ(sim.source.burst(1), 1u);  // value 0, held at the gate
  ASSERT_TRUE(gate.waitForWaiter());
  ASSERT_EQ(sim.source.burst(500), 500u);  // values 1..500
  ASSERT_TRUE(cached(kOpt, 500));
  gate.release();
  ASSERT_TRUE(eventually([&] { return calls.load() >= 500; }, 3000));
  // Removing the last subscription joins the worker: whatever else it had
  // queued would have run by then.
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, false, nullptr, nullptr), aErrNone);
  EXPECT_EQ(calls.load(), 500);
  std::lock_guard<std::mutex> hold(valuesMutex);
  ASSERT_EQ(values.size(), 500u);
  for (uint32_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(values[i], i);
  }
}

TEST_F(StreamFixture, ACallbackThatThrowsDoesNotStopTheWorker) {
  auto callback = [&](const aPacket*, void*) -> aErr {
    if (calls.fetch_add(1) == 0) {
      throw std::runtime_error("subscriber failed");
    }
    return aErrNone;
  };
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, callback, nullptr), aErrNone);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 2);
  EXPECT_TRUE(eventually([&] { return calls.load() == 2; }, 3000));
}

TEST_F(StreamFixture, StreamingAlongsideHeartbeatsAndRequests) {
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  sim.source.addValue(kCmd, kOpt, kIdx, StreamSource::SubU16, 1);
  sim.engine.startHeartbeats(20);
  sim.source.start(1000);
  EntityClass system;
  system.init(module.get(), 3, 0);
  for (int i = 0; i < 20; ++i) {
    uint32_t serial = 0;
    ASSERT_EQ(system.getUEI32(9, &serial), aErrNone);
  }
  ASSERT_TRUE(recorder.waitFor(100));
  sim.source.stop();
  sim.engine.stopHeartbeats();
  const auto heartbeats = sim.engine.heartbeats();
  EXPECT_GT(heartbeats.sent, 0u);
  EXPECT_TRUE(sim.engine.waitUntil([&] { return sim.engine.heartbeats().answered == heartbeats.sent; }, 2000));
  EXPECT_EQ(sim.engine.heartbeats().wrong, 0u);
  // Samples count up: none lost or reordered at this rate.
  const std::vector<Recorder::Call> calls = recorder.all();
  for (size_t i = 1; i < calls.size(); ++i) {
    ASSERT_EQ(calls[i].value, calls[i - 1].value + 1) << i;
  }
}

// An idle worker sleeps until it is told about work: it does not wake up
// every millisecond to look.
TEST_F(StreamFixture, AnIdleWorkerSleepsUntilNotified) {
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  ASSERT_TRUE(recorder.waitFor(1));
  const pid_t worker = recorder.all()[0].thread;
  const long before = voluntarySwitches(worker);
  ASSERT_GE(before, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(voluntarySwitches(worker) - before, 10);
  // And wakes at once when told.
  const auto sent = std::chrono::steady_clock::now();
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 2);
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(500));
}

TEST_F(StreamFixture, TheWorkerLivesExactlyWhileSubscriptionsDo) {
  const int before = threadCount();
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, 9, kIdx, true, recorder.callback(), nullptr), aErrNone);
  EXPECT_EQ(threadCount(), before + 1);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, false, nullptr, nullptr), aErrNone);
  EXPECT_EQ(threadCount(), before + 1);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, 9, kIdx, false, nullptr, nullptr), aErrNone);
  EXPECT_TRUE(eventually([&] { return threadCount() == before; }, 1000));

  // A disconnect takes the subscriptions, the filter and the worker along.
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  EXPECT_EQ(threadCount(), before + 1);
  module->disconnect();
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  EXPECT_TRUE(eventually([&] { return threadCount() < before; }, 3000));  // link threads gone as well

  // A Link destroyed with subscriptions stops and joins its worker.
  ASSERT_EQ(module->reconnect(), aErrNone);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  ASSERT_TRUE(recorder.waitFor(1));
  module.reset();
  EXPECT_TRUE(eventually([&] { return threadCount() < before; }, 3000));
}

// Calls still queued when the last subscription goes are freed, never run:
// their reference may be gone as soon as the unsubscription returns.
TEST_F(StreamFixture, CallsQueuedForARemovedSubscriptionNeverRun) {
  auto callback = [&](const aPacket*, void*) {
    if (calls.fetch_add(1) == 0) {
      gate.wait();
    }
    return aErrNone;
  };
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, callback, nullptr), aErrNone);
  sim.source.addValue(kCmd, kOpt, kIdx, StreamSource::U32);
  sim.source.burst(1);
  ASSERT_TRUE(gate.waitForWaiter());
  sim.source.burst(50);
  ASSERT_TRUE(cached(kOpt, 50));
  std::thread unsubscriber(
      [&] { result = link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, false, nullptr, nullptr); });
  // The subscription is gone while its first call still runs and the other
  // 50 wait behind it.
  EXPECT_TRUE(eventually([&] { return !subscribed(key(kCmd, kOpt, kIdx, kAny)); }, 3000));
  gate.release();
  unsubscriber.join();
  EXPECT_EQ(result.load(), aErrNone);
  // Removing the last subscription joined the worker: nothing queued can
  // run any more.
  EXPECT_EQ(calls.load(), 1);
}

// The same for one subscription of several: the others go on.
TEST_F(StreamFixture, CallsQueuedForOneOfSeveralSubscriptionsNeverRun) {
  auto first = [&](const aPacket*, void*) {
    if (calls.fetch_add(1) == 0) {
      gate.wait();
    }
    return aErrNone;
  };
  auto second = [&](const aPacket*, void*) {
    kept.fetch_add(1);
    return aErrNone;
  };
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, first, nullptr), aErrNone);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kAny, kIdx, true, second, nullptr), aErrNone);
  sim.source.addValue(kCmd, kOpt, kIdx, StreamSource::U32);
  sim.source.burst(1);
  ASSERT_TRUE(gate.waitForWaiter());
  sim.source.burst(20);
  ASSERT_TRUE(cached(kOpt, 20));
  std::thread unsubscriber([&] { link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, false, nullptr, nullptr); });
  EXPECT_TRUE(eventually([&] { return !subscribed(key(kCmd, kOpt, kIdx, kAny)); }, 3000));
  gate.release();
  unsubscriber.join();
  EXPECT_TRUE(eventually([&] { return kept.load() == 21; }, 3000));
  // A sample only the other subscription covers is called behind every call
  // queued before it: once it has run, no call of the removed one is left.
  sim.source.sendSample(kCmd, 9, kIdx, StreamSource::U8, 1);
  EXPECT_TRUE(eventually([&] { return kept.load() == 22; }, 3000));
  EXPECT_EQ(calls.load(), 1);
}

// A callback may drop the last subscription (and subscribe again): the
// worker never waits for itself.
TEST_F(StreamFixture, ACallbackCanRemoveTheLastSubscription) {
  auto callback = [&](const aPacket*, void*) {
    calls.fetch_add(1);
    result = link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, false, nullptr, nullptr);
    return aErrNone;
  };
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, callback, nullptr), aErrNone);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  ASSERT_TRUE(eventually([&] { return result.load() != aErrUnknown; }, 3000));
  EXPECT_EQ(result.load(), aErrNone);
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  EXPECT_TRUE(sim.source.enabledKeys().empty());
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 2);
  EXPECT_TRUE(reachesFifo(kCmd));
  EXPECT_EQ(calls.load(), 1);

  // Subscribing again from the owner's thread works as before.
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 3);
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.all()[0].value, 3u);
}

TEST_F(StreamFixture, SubscriptionsOutliveALinkReset) {
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  const uint32_t connections = sim.engine.connections();
  ASSERT_EQ(link->reset(), aErrNone);
  ASSERT_TRUE(sim.engine.waitUntil([&] { return sim.engine.connections() > connections; }, 3000));
  ASSERT_TRUE(eventually([&] { return link->isConnected(); }, 3000));
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 7);
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.all()[0].value, 7u);
  EXPECT_FALSE(reachesFifo(kCmd, 100));
}

// Two modules on one link (as behind a router): each Link takes only its
// own filter off the link.
TEST_F(StreamFixture, ALinkOnASharedLinkTakesOnlyItsOwnFilterOff) {
  std::unique_ptr<Module> other = connectedModule(sim.spec());
  ASSERT_TRUE(other->isConnected());
  ASSERT_EQ(useCount(sim.link()), 2);
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  other.reset();  // a Link without subscriptions goes
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_FALSE(reachesFifo(kCmd, 100));
}

// A Link that disconnects from a shared link takes its filter with it, so
// the link never calls into a Link that is gone.
TEST_F(StreamFixture, ADisconnectedLinkLeavesNoFilterOnASharedLink) {
  std::unique_ptr<Module> other = connectedModule(sim.spec());
  ASSERT_TRUE(other->isConnected());
  ASSERT_EQ(link->registerStreamCallback(kAddress, kCmd, kOpt, kIdx, true, recorder.callback(), nullptr), aErrNone);
  module->disconnect();
  module.reset();
  link = nullptr;
  ASSERT_TRUE(other->isConnected());
  sim.source.sendSample(kCmd, kOpt, kIdx, StreamSource::U8, 1);
  EXPECT_TRUE(reachesFifo(kCmd));
  EXPECT_EQ(recorder.size(), 0u);
}

}  // namespace
