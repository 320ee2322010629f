#ifndef UPDATER_SERVER_HTTPREQUEST_H
#define UPDATER_SERVER_HTTPREQUEST_H

#include <algorithm>
#include <climits>
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
  // The whole request must average at least this rate over a body of
  // maxBodyBytes: a server that trickles just above the low-speed floor
  // would otherwise hold the tool for hours.
  long minAverageBytesPerSecond = 64 * 1024;

  // The deadline of one whole request: connection, a stall the low-speed
  // rule allows, and the largest body at the average rate. With the defaults
  // about 18 minutes.
  long TransferDeadlineMS() const {
    const unsigned long long perSecond =
        minAverageBytesPerSecond > 0 ? static_cast<unsigned long long>(minAverageBytesPerSecond) : 1;
    const unsigned long long body = maxBodyBytes;
    const unsigned long long bodyMs = body / perSecond * 1000 + body % perSecond * 1000 / perSecond;
    const unsigned long long fixedMs = static_cast<unsigned long long>(std::max(connectTimeoutMS, 0L)) +
                                       static_cast<unsigned long long>(std::max(lowSpeedSeconds, 0L)) * 1000;
    const unsigned long long total = fixedMs + bodyMs;
    return total > static_cast<unsigned long long>(LONG_MAX) ? LONG_MAX : static_cast<long>(total);
  }
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
  // time-out, a truncated body, a body over the limit, a request that ran
  // past HTTPLimits::TransferDeadlineMS.
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
