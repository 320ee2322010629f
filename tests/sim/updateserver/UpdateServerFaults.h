#ifndef TESTS_SIM_UPDATESERVER_UPDATESERVERFAULTS_H
#define TESTS_SIM_UPDATESERVER_UPDATESERVERFAULTS_H

#include <optional>
#include <string>

namespace testsupport {

// Ways the simulated update server can misbehave. The default is a server
// that answers every request correctly.
struct UpdateServerFaults {
  // Empty: every request is affected; else only requests whose op value is
  // this ("hi", "qu", "bird", "builds", "fix"), so that, say, a download can
  // ping successfully and then get a broken build.
  std::string onlyOp;

  // --- shape of the reply body, applied in this order ---
  std::optional<std::string> body;  // sent verbatim instead of the real body; no other body fault applies
  bool badBase64 = false;           // the container line of a "bird" reply loses its last character
  int keepLines = 0;                // > 0: only the first keepLines lines of the body are sent
  bool blankLineAfterFirst = false; // an empty line right after the first line
  bool upperCaseOk = false;         // a first line beginning "ok" begins "OK"
  bool crlf = false;                // every "\n" sent as "\r\n"
  bool htmlPage = false;            // a web server's own page (text/html) instead of the reply, status unchanged

  // --- the HTTP exchange ---
  int status = 0;                   // non-zero: this status instead of the real one, body unchanged
  bool redirectToSelf = false;      // 302 Found with a Location of the request itself: a client that
                                    // follows redirects goes round for ever
  long long contentLength = -1;     // >= 0: Content-Length claims this many bytes, whatever is sent
  int delayMs = 0;                  // silence between reading the request and answering
  bool stallAfterHeaders = false;   // headers sent, then nothing until the client hangs up
  bool shortBody = false;           // Content-Length claims 16 bytes more than are sent before closing
  bool noContentLength = false;     // the body is ended by closing the connection
  bool closeWithoutReply = false;   // the request is read and the connection closed unanswered
  int trickleBytesPerSecond = 0;    // > 0: the body goes out at this rate, a tenth of it every 100 ms
};

}  // namespace testsupport

#endif
