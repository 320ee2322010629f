#ifndef UPDATER_SERVER_HTTPRESPONSE_H
#define UPDATER_SERVER_HTTPRESPONSE_H

#include <string>

// The outcome of one HTTP GET: the full request text, the HTTP status and
// the body. Any status is a normal outcome here; the caller judges it.
class HTTPResponse {
 public:
  // Status 0 and an empty body until they are set.
  explicit HTTPResponse(const char* request);

  void set_status(long status);
  // Appends exactly n bytes to the body.
  void process(const char* data, unsigned long n);

  // Writable and NUL-terminated: the reply parsers split the body in place.
  char* get_response();
  long get_status() const;
  const char* get_request() const;
  // Bytes in the body; it may hold NUL bytes, which the C string view hides.
  size_t get_response_size() const;

  // Where a redirect status points (its Location, made absolute); empty for
  // any other answer. Redirects are not followed.
  void set_redirect(const char* url);
  const std::string& get_redirect() const;

 private:
  std::string request;
  long status;
  std::string response;
  std::string redirect;
};

#endif
