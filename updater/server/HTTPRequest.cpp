#include "updater/server/HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "updater/support/Log.h"

namespace {

std::once_flag gInitOnce;
CURLcode gInitResult = CURLE_FAILED_INIT;

std::mutex gLimitsMutex;
HTTPLimits gLimits;

// What the write callback sees: the response being filled and its bound.
struct Receiver {
  HTTPResponse* response;
  size_t maxBodyBytes;
  size_t received;
  bool overLimit;
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
  if (n > receiver->maxBodyBytes - receiver->received) {
    // Returning less than n makes libcurl abort the transfer.
    receiver->overLimit = true;
    Log::log(DEBUG_ServerComm, "rcv_data returns 0: body over %zu bytes\n", receiver->maxBodyBytes);
    return 0;
  }
  receiver->response->process(data, n);
  receiver->received += n;
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
  return n;
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

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query) {
  return GET(url, query, {});
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query,
                              const std::set<std::string>& verbatim) {
  if (url == nullptr) throw std::runtime_error("No URL given");
  if (!GlobalInit()) throw std::runtime_error("Could not initialise curl");
  CURL* curl = curl_easy_init();
  std::string request = BuildRequestText(url, query, verbatim);
  HTTPResponse result(request.c_str());
  if (curl == nullptr) throw std::runtime_error("Could not create curl instance");

  HTTPLimits limits = GetLimits();
  Receiver receiver{&result, limits.maxBodyBytes, 0, false};
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
  set(CURLOPT_TIMEOUT_MS, limits.TransferDeadlineMS());
  // Refuses a declared Content-Length over the limit before any body
  // arrives; _rcv_data enforces it for bodies of unknown length.
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));

  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", result.get_request());
    rc = curl_easy_perform(curl);
  }
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);

  if (receiver.overLimit || rc == CURLE_FILESIZE_EXCEEDED) {
    throw std::runtime_error("Response body larger than " + std::to_string(limits.maxBodyBytes) + " bytes");
  }
  if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
  result.set_status(status);
  return result;
}
