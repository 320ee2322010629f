// The simulated module's TCP front stops listening and listens again on the
// same port, and keeps that port from everybody else in between.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/TcpFront.h"

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  where.sin_port = htons(port);
  return where;
}

// errno of connecting to the port, 0 when it connected.
int connectError(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in where = loopback(port);
  const int error = connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 ? 0 : errno;
  close(fd);
  return error;
}

// Whether a socket with the option can bind the port and listen there.
bool strangerListens(uint16_t port, int option) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (option != 0) setsockopt(fd, SOL_SOCKET, option, &on, sizeof on);
  sockaddr_in where = loopback(port);
  const bool listens = bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && listen(fd, 1) == 0;
  close(fd);
  return listens;
}

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
    EXPECT_FALSE(strangerListens(port, 0));
    EXPECT_FALSE(strangerListens(port, SO_REUSEADDR)) << "a server that sets SO_REUSEADDR took the port";
    ASSERT_TRUE(front.listenAgain());
    EXPECT_EQ(front.port(), port);
    EXPECT_EQ(connectError(port), 0);
    EXPECT_TRUE(engine.waitUntil([&] { return engine.connections() >= uint32_t(round + 1); }, 2000));
  }
}

}  // namespace
