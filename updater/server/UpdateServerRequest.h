#ifndef UPDATER_SERVER_UPDATESERVERREQUEST_H
#define UPDATER_SERVER_UPDATESERVERREQUEST_H

#include <map>
#include <string>

// Why a request to the update server failed, for the end of the user's line.
struct ServerRequestFailure {
  // In words: "the connection was refused", "the answer is an HTML page, not
  // an update-server reply", "the build request (op=bird) was given up: ...".
  std::string reason;
  // A time bound ended the request; the reason names the request and the bound.
  bool gaveUp = false;
};

// Client side of the update server's query protocol. Each operation sends
// one GET, checks that the status is 200 and the first line of the body
// begins with "ok", and extracts its lines into the caller's variables.
// None throws: a failure is logged (DEBUG_ServerComm), described in
// *failure when one is given, and returned as false, and the out variables
// keep what they held (GetBuildList's map is emptied first). A null url
// selects DEFAULT_URL.
//
// The build request's answer is bulk (its deadline follows its declared
// length); every other answer is a few lines with a short deadline
// (HTTPLimits).
class UpdateServerRequest {
 public:
  static constexpr const char* DEFAULT_URL = "http://update.zeltrova.com/cgi/u";

  static bool ping(const char* url, ServerRequestFailure* failure = nullptr);

  // build and version from reply lines 2 and 3; a missing line leaves its
  // string as it was.
  static bool QueryBuild(unsigned int serialNumber, std::string& build, std::string& version, const char* url,
                         ServerRequestFailure* failure = nullptr);

  // container gets reply line 2, the base64 text of the ".bird" container
  // (empty when the reply has no second line).
  static bool GetBuild(unsigned int serialNumber, const char* firmwareVersion, const char* buildNumber,
                       std::string& container, const char* url, bool noCalibration,
                       ServerRequestFailure* failure = nullptr);

  // Build number text to version text.
  static bool GetBuildList(unsigned int serialNumber, std::map<std::string, std::string>& builds,
                           const char* url, ServerRequestFailure* failure = nullptr);

  // fingerprint: four words. Succeeds only when the reply names a non-zero
  // serial number (line 2, hex) and a build (line 3, decimal, "0x" hex or
  // leading-zero octal), both converted in full; otherwise neither out word
  // changes.
  static bool GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serialNumber, unsigned int* buildNumber,
                              const char* url, ServerRequestFailure* failure = nullptr);
};

#endif
