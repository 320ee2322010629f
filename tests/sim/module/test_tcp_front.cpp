// The simulated module's TCP front stops listening and listens again on the
// same port, and keeps that port from everybody else in between.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/sim/PortProbe.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/TcpFront.h"

namespace {

using testsupport::connectError;
using testsupport::listenError;

TEST(TcpFront, AStoppedFrontRefusesAndKeepsItsPortUntilItListensAgain) {
  simmodule::ModuleEngine engine;
  simmodule::TcpFront front(engine);
  const uint16_t port = front.port();
  ASSERT_EQ(connectError(port), 0);
  // Taken before the listener goes, or its close would reset it.
  ASSERT_TRUE(engine.waitUntil([&] { return engine.connections() >= 1; }, 2000));

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    front.stopListening();
    EXPECT_EQ(connectError(port), ECONNREFUSED);
    EXPECT_NE(listenError(port, 0), 0);
    EXPECT_NE(listenError(port, SO_REUSEADDR), 0) << "a server that sets SO_REUSEADDR took the port";
    ASSERT_TRUE(front.listenAgain());
    EXPECT_EQ(front.port(), port);
    EXPECT_EQ(connectError(port), 0);
    EXPECT_TRUE(engine.waitUntil([&] { return engine.connections() >= uint32_t(round + 1); }, 2000));
  }
}

}  // namespace
