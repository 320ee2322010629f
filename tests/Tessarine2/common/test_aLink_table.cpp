// The link table and the links' lifecycle: ids, sharing by identifier,
// creation over TCP, a serial line and the USB driver node, teardown,
// concurrent creators, and reset.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aTime.h"
#include "tests/Tessarine2/common/test_aLink_support.h"

namespace {

using linktest::Clock;
using linktest::echo;
using linktest::kModule;
using linktest::msSince;
using linktest::PacketPtr;
using simmodule::SimPacket;

// A serial number of this process's own, so that tests running side by
// side never meet at the same driver node.
uint32_t ownSerial() { return 0x5E000000u | (static_cast<uint32_t>(getpid()) & 0xFFFFFFu); }

std::string nodePath(uint32_t serial) {
  char path[64];
  snprintf(path, sizeof path, "/dev/tessarine.%08X", serial);
  return path;
}

// A module on USB as the host sees it through the module kernel driver's
// node.
struct UsbModule : linktest::PtyModule {
  explicit UsbModule(uint32_t serialNumber) : serial(serialNumber) { front.publishAs(nodePath(serial)); }
  const uint32_t serial;
};

TEST(LinkTable, IdsCountFromOneAndAreNeverReused) {
  linktest::TcpModule first("127.0.0.1");
  linktest::TcpModule second("127.0.0.2");
  linkID a = first.open();
  linkID b = second.open();
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(aLink_Destroy(&a), aErrNone);
  EXPECT_EQ(aLink_Destroy(&b), aErrNone);
  EXPECT_EQ(aLink_GetStatus(1), kLinkStateNoStream);
  EXPECT_EQ(aLink_GetStatus(2), kLinkStateNoStream);
  linkID c = first.open();
  EXPECT_EQ(c, 3);
  EXPECT_TRUE(echo(c, {1}));
  aLink_Destroy(&c);
}

TEST(LinkTable, ATcpLinkIsSharedByAddressWhateverThePort) {
  linktest::TcpModule module;
  linkID a = module.open();
  ASSERT_NE(a, 0);
  linkID b = aLink_CreateTCPIP(module.front.address(), static_cast<uint16_t>(module.front.port() + 1));
  EXPECT_EQ(b, a);
  // The module counts a connection once it has accepted it, which may be
  // after the link is made; an answer through the link comes after that.
  EXPECT_TRUE(echo(b, {1}));
  EXPECT_EQ(module.engine.connections(), 1u);
  EXPECT_EQ(aLink_Destroy(&a), aErrNone);
  EXPECT_EQ(aLink_Destroy(&b), aErrNone);
  linkID again = b;
  EXPECT_EQ(again, 0);
  again = 1;
  EXPECT_EQ(aLink_Destroy(&again), aErrParam);
}

// Splits what a new USB link wrote into its opening: force-route on, the
// synchronisation requests, force-route on again. The count of requests,
// or -1 when the bytes have another shape.
int usbOpeningRequests(const std::vector<uint8_t>& raw) {
  const std::vector<uint8_t> on{0xAF, 0x01, 0x01};
  if (raw.size() < 6 || !std::equal(on.begin(), on.end(), raw.begin()) ||
      !std::equal(on.begin(), on.end(), raw.end() - 3)) {
    return -1;
  }
  int requests = 0;
  for (size_t i = 3; i + 3 < raw.size(); i += 2) {
    if (raw[i] != 0xAD || raw[i + 1] != 0x00) {
      return -1;
    }
    ++requests;
  }
  return (raw.size() - 6) % 2 == 0 ? requests : -1;
}

TEST(LinkTable, AUsbLinkOpensSynchronisedAndSurvivesItsFirstRelease) {
  UsbModule module(ownSerial());
  linkID first = aLink_CreateUSB(module.serial);
  ASSERT_NE(first, 0);
  EXPECT_EQ(aLink_GetStatus(first), kLinkStateRunning);
  ASSERT_TRUE(module.engine.waitUntil([&] { return module.engine.forceRoutes().size() == 2; }, 1000));
  const int requests = usbOpeningRequests(module.engine.rawReceived());
  EXPECT_GE(requests, 2) << "the link must have seen two answers";
  EXPECT_LE(requests, 6) << "one attempt answers at once";

  linkID second = aLink_CreateUSB(module.serial);
  EXPECT_EQ(second, first);
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(aLink_GetStatus(second), kLinkStateRunning);
  EXPECT_TRUE(echo(second, {7, 8}));
  EXPECT_EQ(module.engine.forceRoutes(), (std::vector<uint8_t>{1, 1}));

  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_TRUE(module.engine.waitUntil([&] { return module.engine.forceRoutes().size() == 3; }, 1000));
  EXPECT_EQ(module.engine.forceRoutes(), (std::vector<uint8_t>{1, 1, 0}));
  EXPECT_EQ(aLink_GetStatus(1), kLinkStateNoStream);
}

TEST(LinkTable, AUsbModuleThatNeverAnswersGivesNoLinkAndLeavesNothing) {
  UsbModule module(ownSerial());
  module.engine.setSilent(true);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(aLink_CreateUSB(module.serial), 0);
  EXPECT_GE(msSince(start), 2000);
  EXPECT_EQ(aLink_GetStatus(1), kLinkStateNoStream);

  module.engine.setSilent(false);
  linkID link = aLink_CreateUSB(module.serial);
  EXPECT_EQ(link, 2);
  EXPECT_TRUE(echo(link, {1}));
  aLink_Destroy(&link);
}

TEST(LinkTable, CreatorsOfALinkBeingStartedShareIt) {
  UsbModule module(ownSerial());
  module.engine.setReplyDelay(300);  // a slow synchronisation
  std::vector<std::future<linkID>> creators;
  for (int i = 0; i < 4; ++i) {
    creators.push_back(std::async(std::launch::async, [&] { return aLink_CreateUSB(module.serial); }));
  }
  std::vector<linkID> ids;
  for (auto& creator : creators) {
    ids.push_back(creator.get());
  }
  for (linkID id : ids) {
    EXPECT_EQ(id, 1);
  }
  for (linkID& id : ids) {
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  }
  EXPECT_TRUE(module.engine.waitUntil([&] { return module.engine.forceRoutes().size() == 3; }, 1000));
  EXPECT_EQ(module.engine.forceRoutes(), (std::vector<uint8_t>{1, 1, 0}));
}

TEST(LinkTable, CreatorsOfALinkThatFailsFailWithIt) {
  UsbModule module(ownSerial());
  module.engine.setSilent(true);
  const Clock::time_point start = Clock::now();
  std::vector<std::future<linkID>> creators;
  for (int i = 0; i < 4; ++i) {
    creators.push_back(std::async(std::launch::async, [&] { return aLink_CreateUSB(module.serial); }));
  }
  for (auto& creator : creators) {
    EXPECT_EQ(creator.get(), 0);
  }
  // They waited for one attempt, not one each.
  EXPECT_LT(msSince(start), 4000);
  EXPECT_EQ(aLink_GetStatus(1), kLinkStateNoStream);
}

TEST(LinkTable, SerialLinksNeedAKnownRateAndAreFoundByTheirSerialNumber) {
  linktest::PtyModule module;
  const uint32_t serial = ownSerial();
  EXPECT_EQ(aLink_CreateSerial(serial, module.front.devicePath().c_str(), 1200), 0);
  linkID link = aLink_CreateSerial(serial, module.front.devicePath().c_str(), 115200);
  EXPECT_EQ(link, 1) << "the refused rate left an entry behind";
  EXPECT_TRUE(echo(link, {4, 5, 6}));
  // The identifier, not the transport, names the link.
  linkID usb = aLink_CreateUSB(serial);
  EXPECT_EQ(usb, link);
  aLink_Destroy(&usb);
  aLink_Destroy(&link);
  EXPECT_EQ(aLink_GetStatus(1), kLinkStateNoStream);
}

TEST(LinkTable, ALinkMadeFromADiscoveredRecord) {
  linktest::TcpModule module;
  linkSpec* spec = aLinkSpec_Create(TCPIP);
  ASSERT_NE(spec, nullptr);
  spec->t.ip.ip_address = module.front.address();
  spec->t.ip.ip_port = module.front.port();
  linkID link = aLink_Create(spec);
  aLinkSpec_Destroy(&spec);
  ASSERT_NE(link, 0);
  EXPECT_TRUE(echo(link, {1}));
  aLink_Destroy(&link);
  EXPECT_EQ(aLink_Create(static_cast<aStream*>(nullptr)), 0);
}

TEST(LinkTable, ManyThreadsCreatingAndDestroyingOneLink) {
  constexpr int kThreads = 8;
  constexpr int kCycles = 500;
  linktest::TcpModule module;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      uint32_t jitter = 12345u + static_cast<uint32_t>(t);
      for (int i = 0; i < kCycles; ++i) {
        // A pause of 0 to 2 ms between most cycles lets every use now and then
        // go, so lifetimes end and new ones start while others create.
        jitter = jitter * 1664525u + 1013904223u;
        if ((jitter >> 28) < 10) {
          aTime_MSSleep((jitter >> 8) % 3);
        }
        linkID link = module.open();
        if (link == 0 || !echo(link, {static_cast<uint8_t>(t), static_cast<uint8_t>(i >> 8),
                                      static_cast<uint8_t>(i & 0xFF)})) {
          ++failures;
        }
        if (link != 0 && aLink_Destroy(&link) != aErrNone) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures.load(), 0);

  // Each lifetime is one connection: it opens with force-route on and its
  // teardown ends it with force-route off, exactly once.
  const uint32_t lifetimes = module.engine.connections();
  EXPECT_GE(lifetimes, 1u);
  std::map<uint32_t, std::vector<SimPacket>> byConnection;
  ASSERT_TRUE(module.engine.waitUntil(
      [&] {
        auto got = module.engine.received();
        return !got.empty() && got.back().packet == SimPacket{0xAF, {0}};
      },
      2000));
  for (const auto& host : module.engine.received()) {
    byConnection[host.connection].push_back(host.packet);
  }
  EXPECT_EQ(byConnection.size(), lifetimes);
  for (const auto& [connection, packets] : byConnection) {
    SCOPED_TRACE("connection " + std::to_string(connection));
    int on = 0;
    int off = 0;
    for (const SimPacket& packet : packets) {
      on += packet == SimPacket{0xAF, {1}};
      off += packet == SimPacket{0xAF, {0}};
    }
    EXPECT_EQ(on, 1);
    EXPECT_EQ(off, 1);
    EXPECT_EQ(packets.front(), (SimPacket{0xAF, {1}}));
    EXPECT_EQ(packets.back(), (SimPacket{0xAF, {0}}));
  }
  std::printf("%u lifetimes for %d creates\n", lifetimes, kThreads * kCycles);
}

bool countAndRefuse(const aPacket*, const void* reference) {
  ++*static_cast<std::atomic<int>*>(const_cast<void*>(reference));
  return false;
}

TEST(LinkTable, AWaiterOnALinkBeingDestroyedWakesAndNothingTouchesTheFreedLink) {
  linktest::TcpModule module;
  linkID link = module.open();
  ASSERT_NE(link, 0);
  const linkID id = link;
  const Clock::time_point start = Clock::now();
  // The waiter's filter is asked about every packet the link holds: once
  // it has seen the module's packet, the waiter is inside its wait.
  std::atomic<int> looked{0};
  auto waiter = std::async(std::launch::async, [id, &looked] {
    return PacketPtr(aLink_AwaitFirst(id, countAndRefuse, &looked, 5000)).p != nullptr;
  });
  // A packet sent before the module has taken the connection goes nowhere.
  ASSERT_TRUE(module.engine.waitUntil([&] { return module.engine.connections() == 1u; }, 2000));
  module.engine.injectPacket(SimPacket{linktest::kModule, {0x42}});
  ASSERT_TRUE(linktest::eventually([&] { return looked.load() > 0; }, 2000));
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  EXPECT_FALSE(waiter.get());
  EXPECT_LT(msSince(start), 1000);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStateNoStream);
}

TEST(LinkTable, TheLastReleaseOfALinkReleasesItsCompanion) {
  linktest::TcpModule served("127.0.0.1");
  linktest::TcpModule client("127.0.0.2");
  linkID companion = served.open();
  linkID link = client.open();
  ASSERT_NE(companion, 0);
  ASSERT_NE(link, 0);
  // As a module-sharing server's client link holds its USB link.
  sLookupEntryByID(link)->companion = companion;
  const linkID companionId = companion;
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(companionId), kLinkStateNoStream);
}

// Connection requests that are never answered: the create gives up after
// its connect time-out (about a second) instead of the kernel's two
// minutes, and leaves no entry behind.
TEST(LinkTable, ATcpCreateAgainstAListenerThatNeverAcceptsFailsWithinItsDeadline) {
  linktest::FullBacklogListener listener;
  ASSERT_TRUE(listener.fill());
  const Clock::time_point start = Clock::now();
  linkID link = aLink_CreateTCPIP(listener.address(), listener.port());
  EXPECT_EQ(link, 0);
  EXPECT_LT(msSince(start), 3000);
  EXPECT_EQ(sLookupEntryByIdentifier(listener.address()), nullptr);
}

// The module resets the connection and cannot take a new one: the reader's
// reconnection waits for it, but neither the last release nor a new create
// of the same address waits longer than that connection's deadline.
TEST(LinkTable, ADestroyWhileTheReaderReconnectsToAFullListenerEndsWithinTheDeadline) {
  linktest::FullBacklogListener listener;
  linkID link = aLink_CreateTCPIP(listener.address(), listener.port());
  ASSERT_NE(link, 0);
  ASSERT_TRUE(listener.acceptOne(2000));
  ASSERT_TRUE(listener.fill());
  const size_t fillersWaiting = listener.connectsWaiting();
  listener.resetAccepted();
  // The reader meets the reset and starts connecting: its request waits
  // beside the fillers' (for up to its connection deadline).
  ASSERT_TRUE(linktest::eventually([&] { return listener.connectsWaiting() > fillersWaiting; }, 2000));

  const Clock::time_point start = Clock::now();
  auto destroyed = std::async(std::launch::async, [&link] { return aLink_Destroy(&link); });
  auto created = std::async(std::launch::async, [&listener] {
    // Once the teardown has the entry, a create waits for the teardown.
    linktest::eventually([&] { return sLookupEntryByIdentifier(listener.address()) == nullptr; }, 2000);
    return aLink_CreateTCPIP(listener.address(), listener.port());
  });
  EXPECT_EQ(destroyed.get(), aErrNone);
  EXPECT_LT(msSince(start), 2500);
  // After the teardown it tries a connection of its own, which fails the
  // same way.
  EXPECT_EQ(created.get(), 0);
  EXPECT_LT(msSince(start), 4500);
  EXPECT_EQ(sLookupEntryByIdentifier(listener.address()), nullptr);
}

TEST(LinkTable, AStopAfterAHalfStartedLinkJoinsTheReaderItHas) {
  linktest::TcpModule module;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(module.front.address(), module.front.port(), &stream), aErrNone);
  linkID link = sCreate(kLinkIdentifierStream, 0, kLinkTransportStream);
  ASSERT_EQ(aLink_Init(link, stream), link);
  // What a start leaves when the writer thread could not be made.
  aLinkRecord* record = sGetLink(link);
  record->running.store(1);
  record->inThread = aThread_Create(record->inProcess, record);
  ASSERT_NE(record->inThread, nullptr);
  ASSERT_TRUE(linktest::eventually([&] { return record->inReady.load() != 0; }, 1000));
  sPublishEntry(link);

  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(1), kLinkStateNoStream);
}

struct Seen {
  std::atomic<int> packets{0};
};

bool countWithoutConsuming(const aPacket*, void* reference) {
  ++static_cast<Seen*>(reference)->packets;
  return false;
}

TEST(LinkReset, ATcpLinkKeepsItsIdFilterAndLogAcrossAReset) {
  linktest::TcpModule module;
  linkID link = module.open();
  ASSERT_NE(link, 0);
  Seen seen;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link, countWithoutConsuming, &seen), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(link), aErrNone);

  ASSERT_EQ(aLink_Reset(link), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link), kLinkStateRunning);
  // The module's front accepts the new connection on its own thread.
  EXPECT_TRUE(linktest::eventually([&] { return module.engine.connections() == 2u; }, 2000));
  EXPECT_TRUE(echo(link, {1, 2}));
  EXPECT_EQ(seen.packets.load(), 1);
  int32_t kind = 0;
  uint8_t buffer[64];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(aLink_PacketDebug_Read(link, &kind, &length, buffer), aErrNone);

  std::vector<SimPacket> firstConnection;
  std::vector<SimPacket> secondConnection;
  for (const auto& host : module.engine.received()) {
    (host.connection == 1 ? firstConnection : secondConnection).push_back(host.packet);
  }
  ASSERT_FALSE(firstConnection.empty());
  ASSERT_FALSE(secondConnection.empty());
  EXPECT_EQ(firstConnection.back(), (SimPacket{0xAF, {0}}));
  EXPECT_EQ(secondConnection.front(), (SimPacket{0xAF, {1}}));
  aLink_Destroy(&link);
}

TEST(LinkReset, ASerialLinkOnAVanishedLineFailsInTwoSecondsWithoutSpinning) {
  linktest::PtyModule module;
  linkID link = aLink_CreateSerial(ownSerial(), module.front.devicePath().c_str(), 115200);
  ASSERT_NE(link, 0);
  module.front.hangUp();

  // A hung-up line reads as "nothing yet" at once, again and again.
  double before = linktest::processCpuMS();
  aTime_MSSleep(500);
  EXPECT_LT(linktest::processCpuMS() - before, 50.0) << "the reader spins on the hung-up line";

  before = linktest::processCpuMS();
  const Clock::time_point start = Clock::now();
  EXPECT_NE(aLink_Reset(link), aErrNone);
  const int64_t took = msSince(start);
  EXPECT_GE(took, 1900);
  EXPECT_LE(took, 3000);
  EXPECT_LT(linktest::processCpuMS() - before, 200.0);

  // Left stopped without a stream: waits end at once, the id stays.
  EXPECT_EQ(aLink_GetStatus(link), kLinkStateNoStream);
  const Clock::time_point waited = Clock::now();
  EXPECT_FALSE(PacketPtr(aLink_AwaitFirst(link, linktest::startsWith, nullptr, 500)));
  EXPECT_LT(msSince(waited), 250);
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

}  // namespace
