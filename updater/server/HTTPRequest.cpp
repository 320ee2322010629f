#include "updater/server/HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "updater/support/Log.h"

namespace {

std::once_flag gInitOnce;
CURLcode gInitResult = CURLE_FAILED_INIT;

std::mutex gLimitsMutex;
HTTPLimits gLimits;

using Clock = std::chrono::steady_clock;

// What the callbacks see: the response being filled, its size bound and its
// deadline, which a bulk answer's declared length fixes.
struct Receiver {
  HTTPResponse* response;
  const HTTPLimits& limits;
  HTTPAnswer answer;
  Clock::time_point start;
  size_t received = 0;
  bool overLimit = false;
  long long declared = -1;  // the body's Content-Length once the headers gave it
  bool pastDeadline = false;
  Clock::time_point deadline() const {
    return start + std::chrono::milliseconds(limits.DeadlineMS(answer, declared));
  }
};

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string percentEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (isUnreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

size_t _rcv_data(char* data, size_t size, size_t count, void* userdata) {
  Receiver* receiver = static_cast<Receiver*>(userdata);
  size_t n = size * count;
  int shown = static_cast<int>(std::min<size_t>(n, 100));
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(receiver->response)), shown,
           data);
  if (n > receiver->limits.maxBodyBytes - receiver->received) {
    // Returning less than n makes libcurl abort the transfer.
    receiver->overLimit = true;
    Log::log(DEBUG_ServerComm, "rcv_data returns 0: body over %zu bytes\n", receiver->limits.maxBodyBytes);
    return 0;
  }
  receiver->response->process(data, n);
  receiver->received += n;
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
  return n;
}

// libcurl's progress callback: at least once a second while a transfer
// runs, and after every chunk. It applies the deadline that the declared
// length sets; CURLOPT_TIMEOUT_MS can only carry the one known at the start.
int _check_deadline(void* userdata, curl_off_t downloadTotal, curl_off_t, curl_off_t, curl_off_t) {
  Receiver* receiver = static_cast<Receiver*>(userdata);
  if (receiver->answer == HTTPAnswer::Bulk && receiver->declared < 0 && downloadTotal > 0) {
    receiver->declared = downloadTotal;
  }
  if (Clock::now() >= receiver->deadline()) {
    receiver->pastDeadline = true;
    return 1;  // aborts the transfer
  }
  return 0;
}

long long infoSize(CURL* curl, CURLINFO info) {
  curl_off_t value = -1;
  return curl_easy_getinfo(curl, info, &value) == CURLE_OK ? static_cast<long long>(value) : -1;
}

// What libcurl's URL parser finds wrong with url, lower-cased to go on a
// line ("port number was not a decimal number between 0 and 65535"); empty
// when it finds nothing.
std::string urlProblem(const std::string& url) {
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return "";
  const CURLUcode rc = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
  curl_url_cleanup(parsed);
  if (rc == CURLUE_OK) return "";
  std::string text = curl_url_strerror(rc);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && !(text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z')) {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

std::string hostOf(const std::string& url) {
  std::string host;
  CURLU* parsed = curl_url();
  char* part = nullptr;
  if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
    host = part;
  }
  curl_free(part);
  curl_url_cleanup(parsed);
  return host;
}

// Why the transfer failed, in words; *gaveUp when a time bound ended it.
std::string describeFailure(CURL* curl, CURLcode rc, const Receiver& receiver, const std::string& url,
                            bool* gaveUp) {
  const HTTPLimits& limits = receiver.limits;
  *gaveUp = false;
  if (receiver.overLimit || rc == CURLE_FILESIZE_EXCEEDED) {
    return "the answer is over the limit of " + std::to_string(limits.maxBodyBytes) + " bytes";
  }
  if (rc == CURLE_ABORTED_BY_CALLBACK && receiver.pastDeadline) {
    *gaveUp = true;
    return limits.DescribeDeadline(receiver.answer, receiver.declared);
  }
  long osErrno = 0;
  if (curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno) != CURLE_OK) osErrno = 0;
  switch (rc) {
    case CURLE_OPERATION_TIMEDOUT: {
      // One code for three bounds: the connection's, the deadline the
      // request started with, and the low-speed rule, which ends a request
      // before its deadline.
      *gaveUp = true;
      if (infoSize(curl, CURLINFO_CONNECT_TIME_T) <= 0) return limits.DescribeConnectTimeout();
      constexpr long long kTimerSlackMS = 250;
      const long long elapsedMS = infoSize(curl, CURLINFO_TOTAL_TIME_T) / 1000;
      if (elapsedMS + kTimerSlackMS >= limits.DeadlineMS(receiver.answer, -1)) {
        return limits.DescribeDeadline(receiver.answer, receiver.declared);
      }
      return limits.DescribeLowSpeed(infoSize(curl, CURLINFO_SIZE_DOWNLOAD_T));
    }
    case CURLE_COULDNT_RESOLVE_HOST: {
      const std::string host = hostOf(url);
      return host.empty() ? "the host name does not resolve" : "the host name " + host + " does not resolve";
    }
    case CURLE_COULDNT_RESOLVE_PROXY: return "the proxy's host name does not resolve";
    case CURLE_COULDNT_CONNECT:
      if (osErrno == ECONNREFUSED) return "the connection was refused";
      return osErrno != 0 ? std::string("could not connect: ") + std::strerror(static_cast<int>(osErrno))
                          : "could not connect";
    case CURLE_URL_MALFORMAT: {
      const std::string problem = urlProblem(url);
      return problem.empty() ? "the URL is malformed" : "the URL is malformed: " + problem;
    }
    case CURLE_UNSUPPORTED_PROTOCOL: return "the URL's scheme is not supported";
    case CURLE_GOT_NOTHING: return "the server closed the connection without answering";
    case CURLE_PARTIAL_FILE: {
      const long long declared = infoSize(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T);
      const std::string got = std::to_string(std::max(infoSize(curl, CURLINFO_SIZE_DOWNLOAD_T), 0ll));
      if (declared < 0) return "the server closed the connection after " + got + " bytes of the answer";
      return "the server closed the connection after " + got + " of the " + std::to_string(declared) +
             " bytes it declared";
    }
    case CURLE_RECV_ERROR:
      return osErrno != 0 ? std::string("the connection broke: ") + std::strerror(static_cast<int>(osErrno))
                          : "the connection broke";
    case CURLE_SEND_ERROR: return "the request could not be sent";
    case CURLE_WEIRD_SERVER_REPLY: return "the answer is not HTTP";
    default: return curl_easy_strerror(rc);
  }
}

}  // namespace

bool HTTPRequest::GlobalInit() {
  std::call_once(gInitOnce, [] { gInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return gInitResult == CURLE_OK;
}

void HTTPRequest::SetLimits(const HTTPLimits& limits) {
  std::lock_guard<std::mutex> lock(gLimitsMutex);
  gLimits = limits;
}

HTTPLimits HTTPRequest::GetLimits() {
  std::lock_guard<std::mutex> lock(gLimitsMutex);
  return gLimits;
}

std::string HTTPRequest::BuildRequestText(const char* url, const std::map<std::string, std::string>& query,
                                          const std::set<std::string>& verbatim) {
  std::string text = url;
  if (!query.empty()) text += "?";
  for (const auto& pair : query) {
    text += percentEncode(pair.first);
    text += "=";
    text += verbatim.count(pair.first) != 0 ? pair.second : percentEncode(pair.second);
    text += "&";
  }
  return text;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query, HTTPAnswer answer,
                              const std::set<std::string>& verbatim) {
  if (url == nullptr) throw HTTPFailure("no URL given", false);
  if (!GlobalInit()) throw HTTPFailure("libcurl could not be initialised", false);
  CURL* curl = curl_easy_init();
  std::string request = BuildRequestText(url, query, verbatim);
  HTTPResponse result(request.c_str());
  if (curl == nullptr) throw HTTPFailure("Could not create curl instance", false);

  const HTTPLimits limits = GetLimits();
  Receiver receiver{&result, limits, answer, Clock::now()};
  CURLcode rc = CURLE_OK;
  auto set = [&](auto option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_WRITEFUNCTION, _rcv_data);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&receiver));
  set(CURLOPT_URL, request.c_str());
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_SSL_VERIFYPEER, 0L);
  if (rc == CURLE_OK) {
    // A TLS back end without OCSP stapling refuses the option even to switch
    // it off; off is what it already is.
    CURLcode stapling = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (stapling != CURLE_NOT_BUILT_IN) rc = stapling;
  }
  // Time-outs must not use signals: GET also runs on the download thread.
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMS);
  set(CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
  set(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
  // The deadline before any length is known; _check_deadline shortens it.
  set(CURLOPT_TIMEOUT_MS, limits.DeadlineMS(answer, -1));
  set(CURLOPT_XFERINFOFUNCTION, _check_deadline);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&receiver));
  set(CURLOPT_NOPROGRESS, 0L);
  // Refuses a declared Content-Length over the limit before any body
  // arrives; _rcv_data enforces it for bodies of unknown length.
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));

  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", result.get_request());
    rc = curl_easy_perform(curl);
  }
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  char* redirect = nullptr;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect);
  if (rc == CURLE_OK) result.set_redirect(redirect);

  if (rc != CURLE_OK) {
    bool gaveUp = false;
    const std::string reason = describeFailure(curl, rc, receiver, request, &gaveUp);
    curl_easy_cleanup(curl);
    throw HTTPFailure(reason, gaveUp);
  }
  curl_easy_cleanup(curl);
  result.set_status(status);
  return result;
}
