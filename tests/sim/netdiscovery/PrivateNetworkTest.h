#ifndef TESTS_SIM_NETDISCOVERY_PRIVATENETWORKTEST_H
#define TESTS_SIM_NETDISCOVERY_PRIVATENETWORKTEST_H

#include <gtest/gtest.h>

#include "tests/sim/netdiscovery/PrivateNetwork.h"

namespace netsim {

// Fixture of every test that multicasts or broadcasts: the process enters a
// network namespace of its own with the given links before the test body
// runs, and the test stops unless it is in that namespace.
template <PrivateNetwork::Links kLinks>
class InPrivateNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string failure = testsupport::enterOwnNetwork();
    ASSERT_EQ(failure, "") << "cannot make a private network namespace";
    failure = PrivateNetwork::useLinks(kLinks);
    ASSERT_EQ(failure, "") << "cannot set up the private network's links";
    ASSERT_TRUE(testsupport::inOwnNetwork()) << "refusing to send anything on the machine's own network";
  }
};

}  // namespace netsim

#endif
