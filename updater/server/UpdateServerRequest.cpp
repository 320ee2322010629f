#include "updater/server/UpdateServerRequest.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>
#include <utility>

#include "updater/server/HTTPRequest.h"
#include "updater/support/Log.h"

// Queries go out as url?key=value&... in key order (HTTPRequest). Replies are
// text lines; the first begins with "ok" on success:
//
//   op=hi&rv=2&                                    ok
//   op=qu&sn=SSSSSSSS&                             ok, build, version
//   bld=B&fw=V&no_cal=false&op=bird&sn=SSSSSSSS&   ok, base64 container
//   op=builds&sn=SSSSSSSS&                         ok, build;version ...
//   brief=true&fp=W0%20W1%20W2%20W3&op=fix&        ok, serial (hex), build
namespace {

const char* const default_url = UpdateServerRequest::DEFAULT_URL;
const char* const delimiters = "\n";

// The status every reply must carry.
constexpr long kHTTPStatusOK = 200;

const char* urlOrDefault(const char* url) { return url != nullptr ? url : default_url; }

std::string serialText(unsigned int serialNumber) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serialNumber);
  return text;
}

// A server that ends its lines with "\r\n" leaves a carriage return on
// every line split at "\n" alone.
void stripCarriageReturn(char* line) {
  size_t n = std::strlen(line);
  if (n > 0 && line[n - 1] == '\r') line[n - 1] = '\0';
}

// One operation of the protocol: the names its log lines use, and how a
// user's line names its request.
struct Operation {
  const char* name;        // "QueryBuild"
  const char* statusName;  // what the status failure logs ("PING" for ping)
  const char* request;     // "the latest-build query (op=qu)"
};

const Operation kPing{"ping", "PING", "the server check (op=hi)"};
const Operation kQueryBuild{"QueryBuild", "QueryBuild", "the latest-build query (op=qu)"};
const Operation kGetBuild{"GetBuild", "GetBuild", "the build request (op=bird)"};
const Operation kGetBuildList{"GetBuildList", "GetBuildList", "the build-list query (op=builds)"};
const Operation kGetRecoveryInfo{"GetRecoveryInfo", "GetRecoveryInfo", "the recovery lookup (op=fix)"};

// Server text shown on the user's terminal (a reply's first line, where a
// redirect points): only printable ASCII, and not all of a long text.
constexpr size_t kShownLine = 60;
constexpr size_t kShownAddress = 200;

std::string printable(const char* text, size_t shown) {
  std::string out;
  for (size_t i = 0; text[i] != '\0'; ++i) {
    if (out.size() == shown) return out + "...";
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return out;
}

// A web server's own page (an error page, a login portal) where a reply of
// the protocol was due.
bool isHTMLPage(const char* line) {
  while (std::isspace(static_cast<unsigned char>(*line))) ++line;
  return strncasecmp(line, "<!doctype html", 14) == 0 || strncasecmp(line, "<html", 5) == 0;
}

void fail(ServerRequestFailure* failure, std::string reason, bool gaveUp = false) {
  if (failure == nullptr) return;
  failure->reason = std::move(reason);
  failure->gaveUp = gaveUp;
}

std::string statusReason(const HTTPResponse& response) {
  const long status = response.get_status();
  if (status >= 300 && status < 400 && !response.get_redirect().empty()) {
    return "the server redirects to " + printable(response.get_redirect().c_str(), kShownAddress) + " (HTTP " +
           std::to_string(status) + "); redirects are not followed";
  }
  return "the server answered with HTTP status " + std::to_string(status);
}

// Status 200 and a first line beginning "ok". On success *cursor continues
// the split after the first line (and *firstLine, when asked for, points at
// it).
bool _accept_reply(HTTPResponse& response, const Operation& op, char** cursor, ServerRequestFailure* failure,
                   const char** firstLine = nullptr) {
  if (response.get_status() != kHTTPStatusOK) {
    Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", op.statusName, static_cast<int>(response.get_status()),
             response.get_response());
    fail(failure, statusReason(response));
    return false;
  }
  char* first = strtok_r(response.get_response(), delimiters, cursor);
  if (first == nullptr || std::strncmp(first, "ok", 2) != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", op.name, response.get_request());
    if (first == nullptr) {
      fail(failure, "the answer is empty");
    } else if (isHTMLPage(first)) {
      fail(failure, "the answer is an HTML page, not an update-server reply");
    } else {
      fail(failure, "the answer begins \"" + printable(first, kShownLine) + "\", not \"ok\"");
    }
    return false;
  }
  if (firstLine != nullptr) *firstLine = first;
  return true;
}

// The whole text is a number that fits 32 bits: no sign, no blanks, nothing
// after the digits.
bool _convert_fully(const char* text, int base, unsigned int* value) {
  if (text == nullptr || *text == '\0' || *text == '+' || *text == '-' ||
      std::isspace(static_cast<unsigned char>(*text))) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, base);
  if (errno != 0 || end == text || *end != '\0' || v > UINT_MAX) return false;
  *value = static_cast<unsigned int>(v);
  return true;
}

void logException(const char* name, const char* what) { Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, what); }

// Runs one operation's exchange; what it throws becomes false, logged and
// described.
template <typename Exchange>
bool guarded(const Operation& op, ServerRequestFailure* failure, Exchange exchange) {
  try {
    return exchange();
  } catch (const HTTPFailure& e) {
    logException(op.name, e.what());
    fail(failure, e.gaveUp() ? std::string(op.request) + " was given up: " + e.what() : e.what(), e.gaveUp());
  } catch (const std::exception& e) {
    logException(op.name, e.what());
    fail(failure, e.what());
  } catch (...) {
    logException(op.name, "unknown exception");
    fail(failure, "unknown exception");
  }
  return false;
}

}  // namespace

bool UpdateServerRequest::ping(const char* url, ServerRequestFailure* failure) {
  return guarded(kPing, failure, [&] {
    std::map<std::string, std::string> query{{"op", "hi"}, {"rv", "2"}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query, HTTPAnswer::Short);
    char* cursor = nullptr;
    return _accept_reply(response, kPing, &cursor, failure);
  });
}

bool UpdateServerRequest::QueryBuild(unsigned int serialNumber, std::string& build, std::string& version,
                                     const char* url, ServerRequestFailure* failure) {
  return guarded(kQueryBuild, failure, [&] {
    std::map<std::string, std::string> query{{"op", "qu"}, {"sn", serialText(serialNumber)}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query, HTTPAnswer::Short);
    char* cursor = nullptr;
    if (!_accept_reply(response, kQueryBuild, &cursor, failure)) return false;
    char* buildLine = strtok_r(nullptr, delimiters, &cursor);
    char* versionLine = strtok_r(nullptr, "\r\n", &cursor);
    if (buildLine != nullptr) {
      stripCarriageReturn(buildLine);
      build = buildLine;
    }
    if (versionLine != nullptr) version = versionLine;
    return true;
  });
}

bool UpdateServerRequest::GetBuild(unsigned int serialNumber, const char* firmwareVersion, const char* buildNumber,
                                   std::string& container, const char* url, bool noCalibration,
                                   ServerRequestFailure* failure) {
  return guarded(kGetBuild, failure, [&] {
    std::map<std::string, std::string> query{{"op", "bird"},
                                             {"sn", serialText(serialNumber)},
                                             {"fw", firmwareVersion != nullptr ? firmwareVersion : ""},
                                             {"bld", buildNumber != nullptr ? buildNumber : ""},
                                             {"no_cal", noCalibration ? "true" : "false"}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query, HTTPAnswer::Bulk);
    char* cursor = nullptr;
    if (!_accept_reply(response, kGetBuild, &cursor, failure)) return false;
    container.clear();
    char* base64Line = strtok_r(nullptr, delimiters, &cursor);
    if (base64Line != nullptr) {
      stripCarriageReturn(base64Line);
      container = base64Line;
    }
    return true;
  });
}

bool UpdateServerRequest::GetBuildList(unsigned int serialNumber, std::map<std::string, std::string>& builds,
                                       const char* url, ServerRequestFailure* failure) {
  const char* name = kGetBuildList.name;
  builds.clear();
  return guarded(kGetBuildList, failure, [&] {
    std::map<std::string, std::string> query{{"op", "builds"}, {"sn", serialText(serialNumber)}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query, HTTPAnswer::Short);
    char* cursor = nullptr;
    if (!_accept_reply(response, kGetBuildList, &cursor, failure)) return false;
    // Lines are "build;version"; the version may be missing.
    for (char* line = strtok_r(nullptr, delimiters, &cursor); line != nullptr;
         line = strtok_r(nullptr, delimiters, &cursor)) {
      if (std::strlen(line) < 3) continue;
      Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, line);
      char* fieldCursor = nullptr;
      char* key = strtok_r(line, ";\r\n", &fieldCursor);
      if (key == nullptr) continue;
      char* value = strtok_r(nullptr, ";\r\n", &fieldCursor);
      if (value == nullptr) value = const_cast<char*>("");
      builds.emplace(key, value);
      Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", name, key, value);
    }
    return true;
  });
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serialNumber,
                                          unsigned int* buildNumber, const char* url, ServerRequestFailure* failure) {
  const char* name = kGetRecoveryInfo.name;
  if (fingerprint == nullptr || serialNumber == nullptr || buildNumber == nullptr) {
    logException(name, "null argument");
    fail(failure, "null argument");
    return false;
  }
  return guarded(kGetRecoveryInfo, failure, [&] {
    // The space between the words travels already encoded, so this value is
    // sent as it is.
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                  fingerprint[3]);
    std::map<std::string, std::string> query{{"op", "fix"}, {"fp", fp}, {"brief", "true"}};
    HTTPResponse response =
        HTTPRequest::GET(urlOrDefault(url), query, HTTPAnswer::Short, std::set<std::string>{"fp"});
    char* cursor = nullptr;
    const char* okLine = nullptr;
    if (!_accept_reply(response, kGetRecoveryInfo, &cursor, failure, &okLine)) return false;
    char* serialLine = strtok_r(nullptr, delimiters, &cursor);
    char* buildLine = strtok_r(nullptr, delimiters, &cursor);
    if (serialLine != nullptr) stripCarriageReturn(serialLine);
    if (buildLine != nullptr) stripCarriageReturn(buildLine);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", name, okLine, serialLine ? serialLine : "",
             buildLine ? buildLine : "");
    unsigned int serial = 0, build = 0;
    // A recovery with serial number 0 or a garbled build would flash the
    // wrong image, so both lines must be complete numbers.
    if (!_convert_fully(serialLine, 16, &serial) || serial == 0 || !_convert_fully(buildLine, 0, &build)) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      fail(failure, "the answer does not name a module and its build");
      return false;
    }
    *serialNumber = serial;
    *buildNumber = build;
    return true;
  });
}
