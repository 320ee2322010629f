// A peer that a test stops keeps its address from everybody else until it
// goes: a client the test expects to be refused must not reach another
// test's peer that was given the freed port or terminal.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/sim/PortProbe.h"
#include "tests/sim/PtyPeer.h"
#include "tests/sim/TcpPeer.h"
#include "tests/sim/module/ModuleEngine.h"
#include "tests/sim/module/PtyFront.h"
#include "tests/sim/updateserver/UpdateServerPeer.h"

namespace {

using testsupport::connectError;
using testsupport::listenError;

// One request to the server at port, read until the server closes (so its
// end goes to TIME_WAIT); false when there was no answer.
bool askServer(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in where = testsupport::loopbackAt(port);
  const std::string request = "GET /cgi/u?op=ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  bool answered = connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                  send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  size_t got = 0;
  char buffer[512];
  ssize_t n;
  while (answered && (n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
    got += static_cast<size_t>(n);
  }
  close(fd);
  return answered && got > 0;
}

void expectHeld(uint16_t port) {
  EXPECT_EQ(connectError(port), ECONNREFUSED) << "port " << port;
  EXPECT_EQ(listenError(port, SO_REUSEADDR), EADDRINUSE) << "port " << port;
}

TEST(HeldPort, StoppedUpdateServerRefusesAndKeepsItsPortFromOthers) {
  testsupport::UpdateServerPeer server;
  server.start();
  const uint16_t port = server.port();
  // A served request leaves the server's end of it in TIME_WAIT, which the
  // hold has to share the port with.
  ASSERT_TRUE(askServer(port));
  server.stop();
  expectHeld(port);
}

TEST(HeldPort, TcpPeerThatStoppedListeningKeepsItsPortUntilItListensAgain) {
  testsupport::TcpPeer peer;
  const uint16_t port = peer.port();
  ASSERT_EQ(connectError(port), 0);
  ASSERT_TRUE(peer.accept(5000));
  peer.closeWithFin();
  peer.stopListening();
  expectHeld(port);
  ASSERT_TRUE(peer.listenAgain());
  EXPECT_EQ(connectError(port), 0);
  EXPECT_TRUE(peer.accept(5000));
  peer.stopListening();
  expectHeld(port);
}

// After a hang-up the device path is gone, and the next terminal opened
// gets another one (the system hands out the lowest free number, so a
// freed one would come back at once).
template <typename Line>
void expectPathHeldAfterHangUp(Line& line, const std::string& path) {
  ASSERT_EQ(access(path.c_str(), F_OK), 0);
  line.hangUp();
  EXPECT_NE(access(path.c_str(), F_OK), 0) << path;
  testsupport::PtyPeer next;
  EXPECT_NE(next.devicePath(), path);
}

TEST(HeldPort, HungUpPtyPeerKeepsItsTerminalNumber) {
  testsupport::PtyPeer peer;
  expectPathHeldAfterHangUp(peer, peer.devicePath());
}

TEST(HeldPort, HungUpModuleLineKeepsItsTerminalNumber) {
  simmodule::ModuleEngine engine;
  simmodule::PtyFront front(engine);
  expectPathHeldAfterHangUp(front, front.devicePath());
}

}  // namespace
