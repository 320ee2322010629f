#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/updater/server/ServerTestFixture.h"
#include "updater/server/HTTPRequest.h"

namespace {

using servertest::secondsSince;
using servertest::ServerTest;
using Clock = std::chrono::steady_clock;
using Query = std::map<std::string, std::string>;

struct RequestTextCase {
  const char* what;
  Query query;
  std::set<std::string> verbatim;
  const char* expected;
};

TEST(HTTPRequestText, BuildsQueryInKeyOrderWithEncoding) {
  const RequestTextCase cases[] = {
      {"empty query leaves the url alone", {}, {}, "http://h/cgi/u"},
      {"every pair ends with &", {{"op", "hi"}, {"rv", "2"}}, {}, "http://h/cgi/u?op=hi&rv=2&"},
      {"pairs in key order", {{"op", "fix"}, {"fp", "x"}, {"brief", "true"}}, {}, "http://h/cgi/u?brief=true&fp=x&op=fix&"},
      {"unreserved bytes pass", {{"fw", "Az09-._~"}}, {}, "http://h/cgi/u?fw=Az09-._~&"},
      {"space and reserved bytes are encoded", {{"fw", "1.2 beta/3+x&y=z#?"}}, {},
       "http://h/cgi/u?fw=1.2%20beta%2F3%2Bx%26y%3Dz%23%3F&"},
      {"percent is encoded", {{"fw", "5%"}}, {}, "http://h/cgi/u?fw=5%25&"},
      {"bytes above 0x7F are encoded", {{"fw", "\x80\xff"}}, {}, "http://h/cgi/u?fw=%80%FF&"},
      {"empty value", {{"fw", ""}}, {}, "http://h/cgi/u?fw=&"},
      {"a verbatim value is sent as given", {{"fp", "00000001%2000000002"}, {"op", "a b"}}, {"fp"},
       "http://h/cgi/u?fp=00000001%2000000002&op=a%20b&"},
  };
  for (const RequestTextCase& c : cases) {
    EXPECT_EQ(HTTPRequest::BuildRequestText("http://h/cgi/u", c.query, c.verbatim), c.expected) << c.what;
  }
}

TEST_F(ServerTest, ReturnsAnyStatusWithItsBody) {
  struct Case {
    int status;
    std::string body;
  } cases[] = {{200, "ok\n"}, {404, "no such thing\n"}, {500, "ok\n"}, {200, ""}};
  for (const Case& c : cases) {
    testsupport::UpdateServerFaults faults;
    faults.status = c.status;
    faults.body = c.body;
    peer.setFaults(faults);
    Query query{{"op", "hi"}, {"rv", "2"}};
    HTTPResponse response = HTTPRequest::GET(url.c_str(), query);
    EXPECT_EQ(response.get_status(), c.status);
    EXPECT_EQ(std::string(response.get_response(), response.get_response_size()), c.body);
    EXPECT_EQ(std::string(response.get_request()), url + "?op=hi&rv=2&");
  }
}

TEST_F(ServerTest, ConcatenatesABodyOfManyChunks) {
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += std::to_string(i) + std::string(1, '\0') + ";";
  testsupport::UpdateServerFaults faults;
  faults.body = body;
  for (bool noLength : {false, true}) {
    faults.noContentLength = noLength;
    peer.setFaults(faults);
    Query query;
    HTTPResponse response = HTTPRequest::GET(url.c_str(), query);
    ASSERT_EQ(response.get_response_size(), body.size()) << "noContentLength " << noLength;
    EXPECT_TRUE(std::string(response.get_response(), response.get_response_size()) == body);
  }
}

// A port with a bound socket that does not listen: every connection is reset.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot bind");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~RefusingPort() { close(fd_); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// GET fails with exactly this reason, within maxSeconds; gaveUp when a time
// bound ended it.
double expectFailure(const std::string& url, const std::string& reason, double maxSeconds, bool gaveUp = false) {
  Query query{{"op", "hi"}};
  Clock::time_point start = Clock::now();
  try {
    HTTPRequest::GET(url.c_str(), query);
    ADD_FAILURE() << "GET returned; expected \"" << reason << "\"";
  } catch (const HTTPFailure& e) {
    EXPECT_EQ(e.what(), reason);
    EXPECT_EQ(e.gaveUp(), gaveUp) << reason;
  }
  const double elapsed = secondsSince(start);
  EXPECT_LT(elapsed, maxSeconds) << reason;
  return elapsed;
}

TEST(HTTPRequestFailure, RefusedConnectionThrowsAtOnce) {
  RefusingPort refusing;
  expectFailure(refusing.url(), "the connection was refused", 0.5);
}

TEST(HTTPRequestFailure, ConnectTimeoutBoundsAnUnansweredConnect) {
  // A listener whose accept queue is full drops further SYNs, so a connect
  // stays pending until the client gives up.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(fd);
  }
  HTTPLimits limits;
  limits.connectTimeoutMS = 300;
  HTTPRequest::SetLimits(limits);
  expectFailure("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/cgi/u", "no connection within 0.3 s",
                2.0, true);
  HTTPRequest::SetLimits(HTTPLimits());
  for (int fd : fillers) close(fd);
  close(listener);
}

TEST_F(ServerTest, SilentServerFailsWithinTheLowSpeedLimit) {
  struct Case {
    const char* what;
    testsupport::UpdateServerFaults faults;
  } cases[2];
  cases[0].what = "silent before the headers";
  cases[0].faults.delayMs = 60000;
  cases[1].what = "stalled after the headers";
  cases[1].faults.stallAfterHeaders = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    peer.setFaults(c.faults);
    // lowSpeedSeconds is 1; libcurl checks the rate about once a second.
    EXPECT_GE(expectFailure(url, "nothing arrived for 1 s", 4.0, true), 0.9);
  }
}

// A bulk answer has time for its declared length at the bulk rate: one that
// comes well above that rate is whole, though it takes longer than a short
// answer may.
TEST_F(ServerTest, ABulkAnswerHasTheTimeItsLengthNeeds) {
  testsupport::UpdateServerFaults faults;
  // 2.5 s at twice the bulk rate: past the 2 s a short answer has.
  faults.body = std::string(20 * 1024, 'x');
  faults.trickleBytesPerSecond = 2 * 4096;
  peer.setFaults(faults);
  Query query;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(HTTPRequest::GET(url.c_str(), query, HTTPAnswer::Bulk).get_response_size(), faults.body->size());
  EXPECT_GT(secondsSince(start), servertest::fastLimits().DeadlineMS(HTTPAnswer::Short, -1) / 1000.0);
  EXPECT_THROW(HTTPRequest::GET(url.c_str(), query, HTTPAnswer::Short), HTTPFailure);
}

TEST_F(ServerTest, ShortDelayIsNotAStall) {
  testsupport::UpdateServerFaults faults;
  faults.delayMs = 300;
  peer.setFaults(faults);
  Query query{{"op", "hi"}, {"rv", "2"}};
  EXPECT_EQ(HTTPRequest::GET(url.c_str(), query).get_status(), 200);
}

TEST_F(ServerTest, BrokenExchangesThrow) {
  struct Case {
    const char* what;
    testsupport::UpdateServerFaults faults;
    const char* text;
  } cases[2];
  cases[0] = {"closed without a reply", {}, "the server closed the connection without answering"};
  cases[0].faults.closeWithoutReply = true;
  cases[1] = {"body shorter than its Content-Length", {},
              "the server closed the connection after 100 of the 116 bytes it declared"};
  cases[1].faults.body = std::string(100, 'x');
  cases[1].faults.shortBody = true;
  for (const Case& c : cases) {
    peer.setFaults(c.faults);
    expectFailure(url, c.text, 1.0);
  }
}

TEST_F(ServerTest, BodyOverTheLimitThrows) {
  HTTPLimits limits = servertest::fastLimits();
  limits.maxBodyBytes = 1024;
  HTTPRequest::SetLimits(limits);
  struct Case {
    size_t size;
    bool noContentLength;
    bool fails;
  } cases[] = {{1024, false, false}, {1024, true, false}, {1025, false, true}, {1025, true, true}, {200000, true, true}};
  for (const Case& c : cases) {
    testsupport::UpdateServerFaults faults;
    faults.body = std::string(c.size, 'x');
    faults.noContentLength = c.noContentLength;
    peer.setFaults(faults);
    Query query;
    if (c.fails) {
      expectFailure(url, "the answer is over the limit of 1024 bytes", 1.0);
    } else {
      EXPECT_EQ(HTTPRequest::GET(url.c_str(), query).get_response_size(), c.size);
    }
  }
}

TEST_F(ServerTest, DefaultBodyLimitIs64MiB) {
  EXPECT_EQ(HTTP_MAX_BODY_BYTES, 64u * 1024u * 1024u);
  EXPECT_EQ(HTTPLimits().maxBodyBytes, HTTP_MAX_BODY_BYTES);
  HTTPLimits limits = servertest::fastLimits();
  limits.maxBodyBytes = HTTP_MAX_BODY_BYTES;
  // The peer copies the 64 MiB body before it sends the headers, which takes
  // seconds on a loaded machine under a sanitizer: the stall guard must not
  // end the request first.
  limits.lowSpeedSeconds = 30;
  HTTPRequest::SetLimits(limits);
  // Content-Length declares one byte over the limit; the request fails on
  // the headers, before the body is read (a body read in full would instead
  // stall on the bytes it lacks).
  testsupport::UpdateServerFaults faults;
  faults.shortBody = true;
  faults.body = std::string(HTTP_MAX_BODY_BYTES + 1 - 16, 'x');
  peer.setFaults(faults);
  expectFailure(url, "the answer is over the limit of 67108864 bytes", 20.0);
}

TEST_F(ServerTest, RequestsFromSeveralThreadsBeforeAnyExplicitInit) {
  // Nothing in this process has called GlobalInit yet: the first GETs race
  // to initialise libcurl.
  std::vector<std::thread> threads;
  std::vector<long> statuses(4, 0);
  for (size_t i = 0; i < statuses.size(); ++i) {
    threads.emplace_back([this, &statuses, i] {
      Query query{{"op", "hi"}, {"rv", "2"}};
      try {
        statuses[i] = HTTPRequest::GET(url.c_str(), query).get_status();
      } catch (const std::exception&) {
        statuses[i] = -1;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (long s : statuses) EXPECT_EQ(s, 200);
  EXPECT_TRUE(HTTPRequest::GlobalInit());
  EXPECT_EQ(peer.requests().size(), statuses.size());
}

}  // namespace
