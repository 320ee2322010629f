#ifndef UPDATER_SERVER_HTTPREQUEST_H
#define UPDATER_SERVER_HTTPREQUEST_H

#include <cstddef>
#include <map>
#include <set>
#include <string>

#include "updater/server/HTTPResponse.h"

// A body larger than this fails the request: a firmware container is a few
// hundred KiB of base64, and an endless or hostile body must not exhaust
// memory.
constexpr size_t HTTP_MAX_BODY_BYTES = 64u * 1024u * 1024u;

// Bounds that keep a request from hanging the tool when the server accepts
// and then stays silent. Process-wide; tests shorten them.
struct HTTPLimits {
  long connectTimeoutMS = 10000;     // TCP (and TLS) connection set-up
  long lowSpeedBytesPerSecond = 1;   // a transfer slower than this ...
  long lowSpeedSeconds = 30;         // ... for this long (whole seconds, > 0) is aborted
  size_t maxBodyBytes = HTTP_MAX_BODY_BYTES;
};

// Blocking HTTP GET over libcurl's easy interface.
//
// libcurl must be initialised once per process before any thread that may
// use it starts: main calls GlobalInit() first thing. GET calls it as well,
// so a program that forgets still initialises exactly once, but then the
// first GET must not race with other threads that use libcurl. libcurl is
// never cleaned up; the process exit releases it.
class HTTPRequest {
 public:
  // Runs curl_global_init once (later calls return the first result).
  // False when libcurl could not be initialised; GET then throws.
  static bool GlobalInit();

  // Requests url followed by the query: "?" and key=value& for every pair in
  // key order (the last pair keeps its "&"); an empty query leaves the url
  // as it is. Keys and values are percent-encoded outside the unreserved set
  // (letters, digits, "-", ".", "_", "~"), except the values of the keys in
  // verbatim, which the caller has already encoded.
  //
  // Any HTTP status is returned in the response. Throws std::runtime_error
  // when no request could be made or the transfer failed: connection,
  // time-out, a truncated body, a body over the limit.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query);
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query,
                          const std::set<std::string>& verbatim);

  // The request text GET sends.
  static std::string BuildRequestText(const char* url, const std::map<std::string, std::string>& query,
                                      const std::set<std::string>& verbatim);

  static void SetLimits(const HTTPLimits& limits);
  static HTTPLimits GetLimits();
};

#endif
