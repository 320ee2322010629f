#ifndef TESTS_UPDATER_OPERATIONS_PRIVATENETWORKENVIRONMENT_H
#define TESTS_UPDATER_OPERATIONS_PRIVATENETWORKENVIRONMENT_H

#include <gtest/gtest.h>

#include "tests/sim/netdiscovery/PrivateNetwork.h"

namespace opstest {

// Every test of a program that includes this runs inside a network
// namespace of its own with one Ethernet link (10.77.0.1), so the legacy
// discovery's multicast never leaves the test. The namespace is entered
// before the first test, while the process still has a single thread.
class PrivateNetworkEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(testsupport::enterOwnNetwork(), "") << "cannot make a private network namespace";
    ASSERT_EQ(netsim::PrivateNetwork::useLinks(netsim::PrivateNetwork::Links::WithEthernet), "");
    ASSERT_TRUE(testsupport::inOwnNetwork()) << "refusing to multicast on the machine's own network";
  }
};

inline ::testing::Environment* const kPrivateNetwork =
    ::testing::AddGlobalTestEnvironment(new PrivateNetworkEnvironment);

// Tests stop here unless the process is in its own namespace.
#define REQUIRE_PRIVATE_NETWORK() \
  ASSERT_TRUE(testsupport::inOwnNetwork()) << "refusing to multicast on the machine's own network"

}  // namespace opstest

#endif
