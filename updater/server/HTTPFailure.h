#ifndef UPDATER_SERVER_HTTPFAILURE_H
#define UPDATER_SERVER_HTTPFAILURE_H

#include <stdexcept>
#include <string>

// A GET that got no usable answer. what() says why in words, for the end of
// a user's line ("the connection was refused"); gaveUp() tells a request
// ended by one of its time bounds, which what() then names.
class HTTPFailure : public std::runtime_error {
 public:
  HTTPFailure(const std::string& reason, bool gaveUp) : std::runtime_error(reason), gaveUp_(gaveUp) {}
  bool gaveUp() const { return gaveUp_; }

 private:
  bool gaveUp_;
};

#endif
