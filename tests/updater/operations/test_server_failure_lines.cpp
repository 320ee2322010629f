// The Updater executable's line on stderr for each way the update server can
// fail a download or a request: the message, the server's address, and the
// reason in words. The server is simulated on loopback. A name under the
// reserved .invalid domain is looked up in a network namespace of the run's
// own, with no interface up, so the lookup fails where it starts and no
// query leaves the machine.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sim/ProgramRun.h"
#include "tests/sim/updateserver/UpdateServerReplies.h"
#include "tests/updater/operations/OpsServerFixture.h"

namespace {

using opstest::containerBytes;
using opstest::ContainerShape;
using testsupport::readFile;
using testsupport::UpdateServerFaults;

const std::vector<std::string> kDownload = {"-G", "-d", "0000ABCD"};
const char* const kNoBIRDFile = "Failed to retrieve a valid BIRD file";

struct ServerFailure {
  const char* name;
  UpdateServerFaults faults;
  // Empty: the simulated server; else this address.
  std::string url;
  // The lines stderr must hold; "<url>" stands for the address the run was given.
  std::vector<std::string> lines;
  bool ownNetwork = false;
};

void PrintTo(const ServerFailure& row, std::ostream* os) { *os << row.name; }

class ServerFailureLines : public opstest::OpsServerTest, public ::testing::WithParamInterface<ServerFailure> {};

TEST_P(ServerFailureLines, OneLineSaysWhatFailedForWhichServerAndWhy) {
  const ServerFailure& row = GetParam();
  peer.setFaults(row.faults);
  // The port of a server that has stopped is held closed: it refuses.
  testsupport::UpdateServerPeer stopped;
  stopped.start();
  stopped.stop();
  std::string url = row.url.empty() ? peer.url() : row.url;
  if (url == "refusing") url = stopped.url();

  std::vector<std::string> argv = {UPDATER_PATH, "-u", url, "-i", dir.path()};
  argv.insert(argv.end(), kDownload.begin(), kDownload.end());
  if (row.ownNetwork) argv.insert(argv.begin(), {"/usr/bin/unshare", "-n"});
  EXPECT_EQ(testsupport::runProgram(argv, dir.file("out"), dir.file("err")), 1) << readFile(dir.file("err"));

  std::string expected;
  for (std::string line : row.lines) {
    for (size_t at = line.find("<url>"); at != std::string::npos; at = line.find("<url>", at + url.size())) {
      line.replace(at, 5, url);
    }
    expected += line + "\n";
  }
  EXPECT_EQ(readFile(dir.file("err")), expected);
  EXPECT_EQ(storedFile(opstest::kSerial, "1234.bird"), "");
}

UpdateServerFaults onTheBuildRequest(UpdateServerFaults faults) {
  faults.onlyOp = "bird";
  return faults;
}

// The reply to the build request: "ok" and the container's base64 line.
size_t buildReplySize() {
  return 3 + testsupport::base64Encode(containerBytes(ContainerShape())).size() + 1;
}

std::vector<ServerFailure> rows() {
  UpdateServerFaults cut;
  cut.shortBody = true;
  UpdateServerFaults html;
  html.htmlPage = true;
  UpdateServerFaults redirect;
  redirect.redirectToSelf = true;
  UpdateServerFaults overCap;
  overCap.contentLength = static_cast<long long>(HTTP_MAX_BODY_BYTES) + 1;
  const std::string got = std::to_string(buildReplySize());
  const std::string declared = std::to_string(buildReplySize() + 16);
  return {
      {"ABodyCutShort",
       onTheBuildRequest(cut),
       "",
       {"Download failed for <url>: the server closed the connection after " + got + " of the " + declared +
            " bytes it declared",
        kNoBIRDFile}},
      {"AnHTMLPage",
       onTheBuildRequest(html),
       "",
       {"Download failed for <url>: the answer is an HTML page, not an update-server reply", kNoBIRDFile}},
      {"ARedirectToItself",
       onTheBuildRequest(redirect),
       "",
       {"Download failed for <url>: the server redirects to <url>?bld=1234&fw=1.2.3&no_cal=false&op=bird&sn=0000ABCD& "
        "(HTTP 302); redirects are not followed",
        kNoBIRDFile}},
      {"ABodyOverTheCap",
       onTheBuildRequest(overCap),
       "",
       {"Download failed for <url>: the answer is over the limit of 67108864 bytes", kNoBIRDFile}},
      {"ARefusedConnection", {}, "refusing", {"Server request failed for <url>: the connection was refused"}},
      {"ANameThatDoesNotResolve",
       {},
       "http://update.invalid/cgi/u",
       {"Server request failed for <url>: the host name update.invalid does not resolve"},
       true},
      {"AMalformedURL",
       {},
       "http://127.0.0.1:99999/cgi/u",
       {"Server request failed for <url>: the URL is malformed: port number was not a decimal number between 0 and "
        "65535"}},
      {"AnHTMLPageForTheServerCheck", html, "",
       {"Server request failed for <url>: the answer is an HTML page, not an update-server reply"}},
  };
}

INSTANTIATE_TEST_SUITE_P(Table, ServerFailureLines, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<ServerFailure>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
