#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "tests/sim/TempDir.h"
#include "tests/sim/updateserver/UpdateServerReplies.h"
#include "tests/updater/server/ServerTestFixture.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/support/Log.h"
#include "updater/support/base64.h"

namespace {

using servertest::kBuild;
using servertest::kContainer;
using servertest::kSerial;
using servertest::ServerTest;
using testsupport::UpdateServerFaults;
using BuildList = std::map<std::string, std::string>;

// --- what goes on the wire ---------------------------------------------

struct TargetCase {
  const char* what;
  std::function<void(const char* url)> call;
  const char* target;
};

TEST_F(ServerTest, EveryOperationSendsItsExactQuery) {
  unsigned int fp1[4] = {1, 2, 3, 4};
  unsigned int fp2[4] = {0xDEADBEEF, 0, 0xFFFFFFFF, 0x0badf00d};
  std::string s1, s2;
  BuildList list;
  unsigned int serial = 0, build = 0;
  const TargetCase cases[] = {
      {"ping", [](const char* u) { UpdateServerRequest::ping(u); }, "/cgi/u?op=hi&rv=2&"},
      {"QueryBuild", [&](const char* u) { UpdateServerRequest::QueryBuild(kSerial, s1, s2, u); },
       "/cgi/u?op=qu&sn=0000ABCD&"},
      {"QueryBuild upper-case hex", [&](const char* u) { UpdateServerRequest::QueryBuild(0xdeaddead, s1, s2, u); },
       "/cgi/u?op=qu&sn=DEADDEAD&"},
      {"QueryBuild serial 0 zero-padded", [&](const char* u) { UpdateServerRequest::QueryBuild(0, s1, s2, u); },
       "/cgi/u?op=qu&sn=00000000&"},
      {"GetBuild", [&](const char* u) { UpdateServerRequest::GetBuild(kSerial, "1.2.3", "1234", s1, u, false); },
       "/cgi/u?bld=1234&fw=1.2.3&no_cal=false&op=bird&sn=0000ABCD&"},
      {"GetBuild no_cal", [&](const char* u) { UpdateServerRequest::GetBuild(kSerial, "1.2.3", "1234", s1, u, true); },
       "/cgi/u?bld=1234&fw=1.2.3&no_cal=true&op=bird&sn=0000ABCD&"},
      {"GetBuild encodes a version with reserved bytes",
       [&](const char* u) { UpdateServerRequest::GetBuild(kSerial, "1.2 beta/3+&", "1234", s1, u, false); },
       "/cgi/u?bld=1234&fw=1.2%20beta%2F3%2B%26&no_cal=false&op=bird&sn=0000ABCD&"},
      {"GetBuildList", [&](const char* u) { UpdateServerRequest::GetBuildList(kSerial, list, u); },
       "/cgi/u?op=builds&sn=0000ABCD&"},
      {"GetRecoveryInfo", [&](const char* u) { UpdateServerRequest::GetRecoveryInfo(fp1, &serial, &build, u); },
       "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&"},
      {"GetRecoveryInfo word order and padding",
       [&](const char* u) { UpdateServerRequest::GetRecoveryInfo(fp2, &serial, &build, u); },
       "/cgi/u?brief=true&fp=DEADBEEF%2000000000%20FFFFFFFF%200BADF00D&op=fix&"},
  };
  for (const TargetCase& c : cases) {
    peer.clearRequests();
    c.call(url.c_str());
    std::vector<testsupport::RecordedRequest> seen = peer.requests();
    ASSERT_EQ(seen.size(), 1u) << c.what;
    EXPECT_EQ(seen[0].method, "GET") << c.what;
    EXPECT_EQ(seen[0].target, c.target) << c.what;
    EXPECT_EQ(seen[0].violation, "") << c.what;
  }
}

// The default endpoint is never contacted: the request goes to the peer
// acting as an HTTP proxy, which receives the absolute URL.
TEST_F(ServerTest, NullUrlSelectsTheDefaultEndpoint) {
  ASSERT_EQ(setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(peer.port())).c_str(), 1), 0);
  bool ok = UpdateServerRequest::ping(nullptr);
  unsetenv("http_proxy");
  EXPECT_TRUE(ok);
  EXPECT_EQ(peer.targets(), std::vector<std::string>{std::string(UpdateServerRequest::DEFAULT_URL) + "?op=hi&rv=2&"});
  // Plain HTTP, path "/cgi/u".
  const std::string endpoint = UpdateServerRequest::DEFAULT_URL;
  EXPECT_EQ(endpoint.rfind("http://", 0), 0u);
  EXPECT_EQ(endpoint.substr(endpoint.size() - 6), "/cgi/u");
}

// --- replies -------------------------------------------------------------

UpdateServerFaults body(const std::string& text) {
  UpdateServerFaults f;
  f.body = text;
  return f;
}

// The faults every operation must survive as a failure, leaving its outs alone.
std::vector<std::pair<const char*, UpdateServerFaults>> failingFaults() {
  std::vector<std::pair<const char*, UpdateServerFaults>> rows;
  UpdateServerFaults f;
  f.upperCaseOk = true;
  rows.emplace_back("OK in capitals", f);
  f = UpdateServerFaults();
  f.status = 500;
  rows.emplace_back("status 500 with an ok body", f);
  f.status = 404;
  rows.emplace_back("status 404 with an ok body", f);
  rows.emplace_back("empty body", body(""));
  rows.emplace_back("only newlines", body("\n\n"));
  rows.emplace_back("first line not ok", body("error\nok\n"));
  f = UpdateServerFaults();
  f.closeWithoutReply = true;
  rows.emplace_back("closed without a reply", f);
  f = UpdateServerFaults();
  f.shortBody = true;
  rows.emplace_back("short body", f);
  f = UpdateServerFaults();
  f.stallAfterHeaders = true;
  rows.emplace_back("stall after the headers", f);
  return rows;
}

UpdateServerFaults lines(int keep) {
  UpdateServerFaults f;
  f.keepLines = keep;
  return f;
}

UpdateServerFaults flag(bool UpdateServerFaults::*member) {
  UpdateServerFaults f;
  f.*member = true;
  return f;
}

TEST_F(ServerTest, PingReplies) {
  struct Case {
    const char* what;
    UpdateServerFaults faults;
    bool ok;
  };
  std::vector<Case> cases = {
      {"model", {}, true},
      {"CRLF", flag(&UpdateServerFaults::crlf), true},
      {"okay passes", body("okay\n"), true},
      {"ok without newline", body("ok"), true},
      {"leading newline skipped", body("\nok\n"), true},
      {"no Content-Length", flag(&UpdateServerFaults::noContentLength), true},
  };
  UpdateServerFaults delay;
  delay.delayMs = 200;
  cases.push_back({"short delay", delay, true});
  for (const auto& row : failingFaults()) cases.push_back({row.first, row.second, false});
  for (const Case& c : cases) {
    peer.setFaults(c.faults);
    EXPECT_EQ(UpdateServerRequest::ping(url.c_str()), c.ok) << c.what;
  }
}

TEST_F(ServerTest, QueryBuildReplies) {
  struct Case {
    const char* what;
    UpdateServerFaults faults;
    bool ok;
    const char* build;
    const char* version;
  };
  std::vector<Case> cases = {
      {"model", {}, true, "1234", "1.2.3"},
      {"CRLF: neither text keeps the carriage return", flag(&UpdateServerFaults::crlf), true, "1234", "1.2.3"},
      {"CR before the last newline", body("ok\n1234\n1.2.3\r\n"), true, "1234", "1.2.3"},
      {"empty lines do not count", body("ok\n\n\n1234\n"), true, "1234", "old-version"},
      {"blank line after ok", flag(&UpdateServerFaults::blankLineAfterFirst), true, "1234", "1.2.3"},
      {"version line missing", lines(2), true, "1234", "old-version"},
      {"both lines missing", lines(1), true, "old-build", "old-version"},
      {"okay passes", body("okay\n7\nv\n"), true, "7", "v"},
      {"unknown module", body("fail unknown module\n"), false, "old-build", "old-version"},
  };
  for (const auto& row : failingFaults()) cases.push_back({row.first, row.second, false, "old-build", "old-version"});
  for (const Case& c : cases) {
    peer.setFaults(c.faults);
    std::string build = "old-build", version = "old-version";
    EXPECT_EQ(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str()), c.ok) << c.what;
    EXPECT_EQ(build, c.build) << c.what;
    EXPECT_EQ(version, c.version) << c.what;
  }
  // A module the server does not know.
  peer.setFaults({});
  std::string build = "old-build", version = "old-version";
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x12345678, build, version, url.c_str()));
  EXPECT_EQ(build, "old-build");
}

TEST_F(ServerTest, GetBuildReplies) {
  const std::string encoded = testsupport::base64Encode(kContainer);
  struct Case {
    const char* what;
    UpdateServerFaults faults;
    bool ok;
    std::string container;
  };
  std::vector<Case> cases = {
      {"model", {}, true, encoded},
      {"CRLF: the base64 line loses its carriage return", flag(&UpdateServerFaults::crlf), true, encoded},
      {"blank line after ok", flag(&UpdateServerFaults::blankLineAfterFirst), true, encoded},
      {"ok without a second line empties the text", lines(1), true, ""},
      {"ok with CR only", body("ok\r\n"), true, ""},
      {"bad base64 passes through", flag(&UpdateServerFaults::badBase64), true, encoded.substr(0, encoded.size() - 1)},
  };
  for (const auto& row : failingFaults()) cases.push_back({row.first, row.second, false, "previous"});
  for (const Case& c : cases) {
    peer.setFaults(c.faults);
    std::string container = "previous";
    EXPECT_EQ(UpdateServerRequest::GetBuild(kSerial, "1.2.3", "1234", container, url.c_str(), false), c.ok)
        << c.what;
    EXPECT_EQ(container, c.container) << c.what;
  }
  // An unknown build is a "fail" reply.
  peer.setFaults({});
  std::string container = "previous";
  EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "1.2.3", "999", container, url.c_str(), false));
  EXPECT_EQ(container, "previous");
}

// What a download then does with the text: a CRLF reply decodes to the
// container, a corrupted one is refused by the decoder.
TEST_F(ServerTest, GetBuildTextDecodesToTheContainer) {
  for (bool crlf : {false, true}) {
    UpdateServerFaults f;
    f.crlf = crlf;
    peer.setFaults(f);
    std::string text;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "1.2.3", "1234", text, url.c_str(), false));
    size_t n = 0;
    unsigned char* bytes = base64_decode(text.data(), text.size(), &n);
    ASSERT_NE(bytes, nullptr) << "crlf " << crlf;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), n), kContainer);
    free(bytes);
  }
  peer.setFaults(flag(&UpdateServerFaults::badBase64));
  std::string text;
  ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "1.2.3", "1234", text, url.c_str(), false));
  size_t n = 0;
  EXPECT_EQ(base64_decode(text.data(), text.size(), &n), nullptr);
}

TEST_F(ServerTest, GetBuildListReplies) {
  const BuildList model = {{"1200", "1.1.0"}, {"1234", "1.2.3"}};
  struct Case {
    const char* what;
    UpdateServerFaults faults;
    bool ok;
    BuildList builds;
  };
  std::vector<Case> cases = {
      {"model", {}, true, model},
      {"CRLF", flag(&UpdateServerFaults::crlf), true, model},
      {"blank line after ok", flag(&UpdateServerFaults::blankLineAfterFirst), true, model},
      {"no builds", lines(1), true, {}},
      {"short line skipped, first value of a repeated key stays, missing version empty",
       body("ok\n100;1.0.0\nx\n100;2.0.0\n101\n"), true, {{"100", "1.0.0"}, {"101", ""}}},
      {"fields after the second ignored", body("ok\n102;3.0;extra\n"), true, {{"102", "3.0"}}},
      {"line of separators only", body("ok\n;;;\n\r\r\r\n103;v\n"), true, {{"103", "v"}}},
  };
  for (const auto& row : failingFaults()) cases.push_back({row.first, row.second, false, {}});
  for (const Case& c : cases) {
    peer.setFaults(c.faults);
    BuildList builds = {{"stale", "entry"}};
    EXPECT_EQ(UpdateServerRequest::GetBuildList(kSerial, builds, url.c_str()), c.ok) << c.what;
    EXPECT_EQ(builds, c.builds) << c.what;
  }
}

TEST_F(ServerTest, GetRecoveryInfoReplies) {
  struct Case {
    const char* what;
    UpdateServerFaults faults;
    bool ok;
    unsigned int serial;
    unsigned int build;
  };
  const unsigned int oldSerial = 0x11111111, oldBuild = 77;
  std::vector<Case> cases = {
      {"model", {}, true, kSerial, kBuild},
      {"CRLF", flag(&UpdateServerFaults::crlf), true, kSerial, kBuild},
      {"blank line after ok", flag(&UpdateServerFaults::blankLineAfterFirst), true, kSerial, kBuild},
      {"hex build", body("ok\n0000ABCD\n0x1F\n"), true, 0xABCD, 31},
      {"octal build", body("ok\n0000ABCD\n017\n"), true, 0xABCD, 15},
      {"build 0", body("ok\n0000ABCD\n0\n"), true, 0xABCD, 0},
      {"build line missing", lines(2), false, oldSerial, oldBuild},
      {"both lines missing", lines(1), false, oldSerial, oldBuild},
      {"build not fully a number", body("ok\n0000ABCD\n12abc\n"), false, oldSerial, oldBuild},
      {"build '0x' alone", body("ok\n0000ABCD\n0x\n"), false, oldSerial, oldBuild},
      {"serial not a number", body("ok\nXYZ\n5\n"), false, oldSerial, oldBuild},
      {"serial zero", body("ok\n00000000\n5\n"), false, oldSerial, oldBuild},
      {"serial over 32 bits", body("ok\n1FFFFFFFF\n5\n"), false, oldSerial, oldBuild},
      {"negative serial", body("ok\n-1\n5\n"), false, oldSerial, oldBuild},
      {"blank inside the build", body("ok\n0000ABCD\n 5\n"), false, oldSerial, oldBuild},
      {"unknown fingerprint", body("fail unknown fingerprint\n"), false, oldSerial, oldBuild},
  };
  for (const auto& row : failingFaults()) cases.push_back({row.first, row.second, false, oldSerial, oldBuild});
  for (const Case& c : cases) {
    peer.setFaults(c.faults);
    unsigned int fingerprint[4] = {1, 2, 3, 4};
    unsigned int serial = oldSerial, build = oldBuild;
    EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build, url.c_str()), c.ok) << c.what;
    EXPECT_EQ(serial, c.serial) << c.what;
    EXPECT_EQ(build, c.build) << c.what;
  }
}

TEST(UpdateServerRequestFailure, RefusedConnectionReturnsFalseEverywhere) {
  // The peer is stopped, so its port refuses.
  testsupport::UpdateServerPeer peer;
  peer.start();
  std::string url = peer.url();
  peer.stop();
  std::string a = "a", b = "b";
  BuildList list = {{"x", "y"}};
  unsigned int fp[4] = {1, 2, 3, 4}, serial = 9, build = 9;
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, a, b, url.c_str()));
  EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "1", "2", a, url.c_str(), false));
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, list, url.c_str()));
  EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, url.c_str()));
  EXPECT_EQ(a, "a");
  EXPECT_EQ(b, "b");
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(serial, 9u);
  EXPECT_EQ(build, 9u);
}

// --- why a request failed, for the user's line ----------------------------

TEST_F(ServerTest, AFailureSaysWhyInWords) {
  UpdateServerFaults status = body("ok\n");
  status.status = 503;
  struct Case {
    const char* what;
    UpdateServerFaults faults;
    std::string reason;
  };
  const Case cases[] = {
      {"a status other than 200", status, "the server answered with HTTP status 503"},
      {"a redirect, which would go round for ever", flag(&UpdateServerFaults::redirectToSelf),
       "the server redirects to " + url + "?op=hi&rv=2& (HTTP 302); redirects are not followed"},
      {"a web server's own page", flag(&UpdateServerFaults::htmlPage),
       "the answer is an HTML page, not an update-server reply"},
      {"an empty answer", body(""), "the answer is empty"},
      {"only newlines", body("\n\n"), "the answer is empty"},
      {"the server's refusal", body("fail unknown module\n"), "the answer begins \"fail unknown module\", not \"ok\""},
      {"the server's bytes are shown printable and cut",
       body("\x1b[2J" + std::string(70, 'z') + "\n"),
       "the answer begins \"?[2J" + std::string(56, 'z') + "...\", not \"ok\""},
      {"a transport failure", flag(&UpdateServerFaults::closeWithoutReply),
       "the server closed the connection without answering"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    peer.setFaults(c.faults);
    ServerRequestFailure failure;
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str(), &failure));
    EXPECT_EQ(failure.reason, c.reason);
    EXPECT_FALSE(failure.gaveUp);
  }

  peer.setFaults(body("ok\n0000ABCD\nsoon\n"));
  unsigned int fp[4] = {1, 2, 3, 4}, serial = 0, build = 0;
  ServerRequestFailure failure;
  EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, url.c_str(), &failure));
  EXPECT_EQ(failure.reason, "the answer does not name a module and its build");
}

// A time bound names the request it ended.
TEST_F(ServerTest, AGiveUpNamesTheRequest) {
  // libcurl checks the rate about once a second, so the low-speed floor
  // (1 s) can take up to 2 s to trip: the short answer's bound is moved
  // well past that, so the floor is what ends the request.
  HTTPLimits limits = servertest::fastLimits();
  limits.answerMS = 4000;
  HTTPRequest::SetLimits(limits);
  UpdateServerFaults stall;
  stall.stallAfterHeaders = true;
  peer.setFaults(stall);
  std::string build, version;
  ServerRequestFailure failure;
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str(), &failure));
  EXPECT_EQ(failure.reason, "the latest-build query (op=qu) was given up: nothing arrived for 1 s");
  EXPECT_TRUE(failure.gaveUp);
}

// --- diagnostics ----------------------------------------------------------

// Captures the diagnostic log with DEBUG_ServerComm active.
class LogCapture {
 public:
  LogCapture() : path_(dir_.file("log")), file_(std::fopen(path_.c_str(), "w")) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_ServerComm);
  }
  ~LogCapture() {
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    std::fclose(file_);
  }
  std::string text() {
    std::fflush(file_);
    return testsupport::readFile(path_);
  }

 private:
  testsupport::TempDir dir_;
  std::string path_;
  FILE* file_;
};

TEST_F(ServerTest, FailuresAreLoggedWithTheirLines) {
  struct Case {
    const char* what;
    UpdateServerFaults faults;
    std::function<void()> call;
    std::string line;
  };
  std::string s1, s2;
  const std::string request = url + "?op=qu&sn=0000ABCD&";
  UpdateServerFaults status;
  status.body = "ok\n";
  status.status = 500;
  const Case cases[] = {
      {"ping status", status, [&] { UpdateServerRequest::ping(url.c_str()); }, "PING ==> [500] [ok\n]\n"},
      {"status", status, [&] { UpdateServerRequest::QueryBuild(kSerial, s1, s2, url.c_str()); },
       "QueryBuild ==> [500] [ok\n]\n"},
      {"not ok", flag(&UpdateServerFaults::upperCaseOk),
       [&] { UpdateServerRequest::QueryBuild(kSerial, s1, s2, url.c_str()); },
       "ServerCommClass: QueryBuild failed [" + request + "]\n"},
      {"ping not ok", flag(&UpdateServerFaults::upperCaseOk), [&] { UpdateServerRequest::ping(url.c_str()); },
       "ServerCommClass: ping failed [" + url + "?op=hi&rv=2&]\n"},
      {"transport", flag(&UpdateServerFaults::closeWithoutReply),
       [&] { UpdateServerRequest::QueryBuild(kSerial, s1, s2, url.c_str()); },
       "QueryBuild ==> [the server closed the connection without answering]\n"},
      {"request", {}, [&] { UpdateServerRequest::QueryBuild(kSerial, s1, s2, url.c_str()); },
       "GET(" + request + ")\n"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    peer.setFaults(c.faults);
    c.call();
    EXPECT_NE(log.text().find(c.line), std::string::npos) << c.what << "\n" << log.text();
  }
}

}  // namespace
