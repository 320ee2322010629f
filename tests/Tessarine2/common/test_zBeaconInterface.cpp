#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <ostream>
#include <string>
#include <thread>

#include "Tessarine2/common/zBeaconInterface.h"

namespace {

using namespace std::chrono_literals;

// Whether another thread can take the lock within the wait; the thread
// keeps waiting afterwards and releases the lock once it got it, so callers
// join it through the returned future.
struct OtherThreadLock {
  std::future<void> done;
  bool gotItWithin(std::chrono::milliseconds wait) { return acquired.wait_for(wait) == std::future_status::ready; }
  std::future<void> acquired;
};

OtherThreadLock lockFromAnotherThread() {
  auto acquiredPromise = std::make_shared<std::promise<void>>();
  OtherThreadLock attempt;
  attempt.acquired = acquiredPromise->get_future();
  attempt.done = std::async(std::launch::async, [acquiredPromise] {
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    acquiredPromise->set_value();
    zBeaconInterface_unlock();
  });
  return attempt;
}

struct ValueCase {
  const char* value;
  bool accepted;
  const char* shows;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.shows; }

class BeaconInterfaceValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(BeaconInterfaceValue, IsTakenOrRefusedWithoutLocking) {
  const ValueCase& c = GetParam();
  for (bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "backupSetAndLock" : "setAndLock");
    bool taken = backup ? zBeaconInterface_backupSetAndLock(c.value) : zBeaconInterface_setAndLock(c.value);
    EXPECT_EQ(taken, c.accepted) << c.shows;
    if (taken) {
      EXPECT_EQ(zBeaconInterface_get(), c.value);
      if (backup) {
        zBeaconInterface_restoreAndUnlock();
      } else {
        zBeaconInterface_unlock();
      }
    }
    // Nothing may be left locked: another thread gets the lock at once.
    OtherThreadLock other = lockFromAnotherThread();
    EXPECT_TRUE(other.gotItWithin(2s)) << c.shows;
    other.done.get();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, BeaconInterfaceValue,
    ::testing::Values(ValueCase{"10.1.2.3", true, "a dotted IPv4 address"},
                      ValueCase{"", true, "the empty text: CZMQ's first interface"},
                      ValueCase{"*", true, "all interfaces"},
                      ValueCase{"localhost", false, "a host name"}, ValueCase{"eth0", false, "an interface name"},
                      ValueCase{"1.2.3", false, "three fields"}, ValueCase{"256.0.0.1", false, "a field above 255"},
                      ValueCase{"::1", false, "an IPv6 address"}, ValueCase{"**", false, "not a lone star"},
                      ValueCase{nullptr, false, "no text"}));

TEST(BeaconInterfaceLock, BackupIsRestoredOnUnlock) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("10.9.8.7"));
  zBeaconInterface_unlock();

  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("*"));
  EXPECT_EQ(zBeaconInterface_get(), "*");
  EXPECT_EQ(zBeaconInterface_getBackup(), "10.9.8.7");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_EQ(zBeaconInterface_get(), "10.9.8.7");
}

TEST(BeaconInterfaceLock, ExcludesOtherThreadsUntilReleased) {
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.0.0.1"));
  OtherThreadLock other = lockFromAnotherThread();
  EXPECT_FALSE(other.gotItWithin(200ms));
  // The interface stays what the holder set while the other thread waits.
  EXPECT_EQ(zBeaconInterface_get(), "10.0.0.1");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_TRUE(other.gotItWithin(5s));
  other.done.get();
}

TEST(BeaconInterfaceLock, HolderCannotLockAgainAndOthersCannotRelease) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("10.0.0.2"));
  // A discovery callback that starts beacon discovery would otherwise wait
  // for itself forever.
  EXPECT_FALSE(zBeaconInterface_setAndLock("10.0.0.3"));
  EXPECT_FALSE(zBeaconInterface_backupSetAndLock("10.0.0.3"));
  EXPECT_EQ(zBeaconInterface_get(), "10.0.0.2");

  // An unlock from a thread that does not hold the lock changes nothing.
  std::thread([] {
    zBeaconInterface_unlock();
    zBeaconInterface_restoreAndUnlock();
  }).join();
  EXPECT_EQ(zBeaconInterface_get(), "10.0.0.2");
  OtherThreadLock other = lockFromAnotherThread();
  EXPECT_FALSE(other.gotItWithin(200ms));

  zBeaconInterface_unlock();
  EXPECT_TRUE(other.gotItWithin(5s));
  other.done.get();
}

}  // namespace
