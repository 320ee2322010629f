#include "updater/server/UpdateServerRequest.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>

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

// Status 200 and a first line beginning "ok". On success *cursor continues
// the split after the first line (and *firstLine, when asked for, points at
// it). statusName is what the status failure names (ping logs it as
// "PING"), name the operation.
bool _accept_reply(HTTPResponse& response, const char* statusName, const char* name, char** cursor,
                   const char** firstLine = nullptr) {
  if (response.get_status() != kHTTPStatusOK) {
    Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", statusName, static_cast<int>(response.get_status()),
             response.get_response());
    return false;
  }
  char* first = strtok_r(response.get_response(), delimiters, cursor);
  if (first == nullptr || std::strncmp(first, "ok", 2) != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
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

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
  try {
    std::map<std::string, std::string> query{{"op", "hi"}, {"rv", "2"}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query);
    char* cursor = nullptr;
    return _accept_reply(response, "PING", "ping", &cursor);
  } catch (const std::exception& e) {
    logException("ping", e.what());
  } catch (...) {
    logException("ping", "unknown exception");
  }
  return false;
}

bool UpdateServerRequest::QueryBuild(unsigned int serialNumber, std::string& build, std::string& version,
                                     const char* url) {
  const char* name = "QueryBuild";
  try {
    std::map<std::string, std::string> query{{"op", "qu"}, {"sn", serialText(serialNumber)}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query);
    char* cursor = nullptr;
    if (!_accept_reply(response, name, name, &cursor)) return false;
    char* buildLine = strtok_r(nullptr, delimiters, &cursor);
    char* versionLine = strtok_r(nullptr, "\r\n", &cursor);
    if (buildLine != nullptr) {
      stripCarriageReturn(buildLine);
      build = buildLine;
    }
    if (versionLine != nullptr) version = versionLine;
    return true;
  } catch (const std::exception& e) {
    logException(name, e.what());
  } catch (...) {
    logException(name, "unknown exception");
  }
  return false;
}

bool UpdateServerRequest::GetBuild(unsigned int serialNumber, const char* firmwareVersion, const char* buildNumber,
                                   std::string& container, const char* url, bool noCalibration) {
  const char* name = "GetBuild";
  try {
    std::map<std::string, std::string> query{{"op", "bird"},
                                             {"sn", serialText(serialNumber)},
                                             {"fw", firmwareVersion != nullptr ? firmwareVersion : ""},
                                             {"bld", buildNumber != nullptr ? buildNumber : ""},
                                             {"no_cal", noCalibration ? "true" : "false"}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query);
    char* cursor = nullptr;
    if (!_accept_reply(response, name, name, &cursor)) return false;
    container.clear();
    char* base64Line = strtok_r(nullptr, delimiters, &cursor);
    if (base64Line != nullptr) {
      stripCarriageReturn(base64Line);
      container = base64Line;
    }
    return true;
  } catch (const std::exception& e) {
    logException(name, e.what());
  } catch (...) {
    logException(name, "unknown exception");
  }
  return false;
}

bool UpdateServerRequest::GetBuildList(unsigned int serialNumber, std::map<std::string, std::string>& builds,
                                       const char* url) {
  const char* name = "GetBuildList";
  builds.clear();
  try {
    std::map<std::string, std::string> query{{"op", "builds"}, {"sn", serialText(serialNumber)}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query);
    char* cursor = nullptr;
    if (!_accept_reply(response, name, name, &cursor)) return false;
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
  } catch (const std::exception& e) {
    logException(name, e.what());
  } catch (...) {
    logException(name, "unknown exception");
  }
  return false;
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serialNumber,
                                          unsigned int* buildNumber, const char* url) {
  const char* name = "GetRecoveryInfo";
  if (fingerprint == nullptr || serialNumber == nullptr || buildNumber == nullptr) {
    logException(name, "null argument");
    return false;
  }
  try {
    // The space between the words travels already encoded, so this value is
    // sent as it is.
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                  fingerprint[3]);
    std::map<std::string, std::string> query{{"op", "fix"}, {"fp", fp}, {"brief", "true"}};
    HTTPResponse response = HTTPRequest::GET(urlOrDefault(url), query, std::set<std::string>{"fp"});
    char* cursor = nullptr;
    const char* okLine = nullptr;
    if (!_accept_reply(response, name, name, &cursor, &okLine)) return false;
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
      return false;
    }
    *serialNumber = serial;
    *buildNumber = build;
    return true;
  } catch (const std::exception& e) {
    logException(name, e.what());
  } catch (...) {
    logException(name, "unknown exception");
  }
  return false;
}
