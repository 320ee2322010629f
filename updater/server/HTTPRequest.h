#ifndef UPDATER_SERVER_HTTPREQUEST_H
#define UPDATER_SERVER_HTTPREQUEST_H

#include <map>
#include <set>
#include <string>

#include "updater/server/HTTPFailure.h"
#include "updater/server/HTTPLimits.h"
#include "updater/server/HTTPResponse.h"

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
  // answer sets the request's deadline (HTTPLimits::DeadlineMS): a bulk
  // answer's is fixed by its declared length once the headers give it.
  //
  // Any HTTP status is returned in the response. Throws HTTPFailure when no
  // request could be made or the transfer failed: connection, a time bound,
  // a truncated body, a body over the limit.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query,
                          HTTPAnswer answer = HTTPAnswer::Bulk, const std::set<std::string>& verbatim = {});

  // The request text GET sends.
  static std::string BuildRequestText(const char* url, const std::map<std::string, std::string>& query,
                                      const std::set<std::string>& verbatim);

  static void SetLimits(const HTTPLimits& limits);
  static HTTPLimits GetLimits();
};

#endif
