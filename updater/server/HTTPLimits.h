#ifndef UPDATER_SERVER_HTTPLIMITS_H
#define UPDATER_SERVER_HTTPLIMITS_H

#include <cstddef>
#include <string>

// A body larger than this fails the request: a firmware container is a few
// hundred KiB of base64, and an endless or hostile body must not exhaust
// memory.
constexpr size_t HTTP_MAX_BODY_BYTES = 64u * 1024u * 1024u;

// What a request can get back, which sets how long it may take.
enum class HTTPAnswer {
  Short,  // a few lines of text
  Bulk,   // a body sized by its declared length (a firmware container)
};

// Bounds that keep a request from holding the tool when the server is
// silent or slow. Process-wide; tests shorten them.
struct HTTPLimits {
  long connectTimeoutMS = 10000;  // TCP (and TLS) connection set-up
  // Beyond the connection, the time a short answer has to arrive whole and a
  // bulk one to begin.
  long answerMS = 5000;
  // A live server clears this rate on any link; a transfer below it for
  // lowSpeedSeconds (whole seconds, > 0) is given up.
  long lowSpeedBytesPerSecond = 1024;
  long lowSpeedSeconds = 20;
  // A bulk body's bytes (its declared length, else maxBodyBytes) get this
  // rate, which any real server beats.
  long bulkBytesPerSecond = 4096;
  size_t maxBodyBytes = HTTP_MAX_BODY_BYTES;

  // The longest a request may take from its start. declaredBytes is the
  // body's Content-Length, negative while none is known.
  long DeadlineMS(HTTPAnswer answer, long long declaredBytes) const;

  // The bound in words, for the line that reports a request given up at it:
  // "no complete answer within 3 s, the bound for a short answer".
  std::string DescribeDeadline(HTTPAnswer answer, long long declaredBytes) const;
  // "nothing arrived for 20 s", "fewer than 1024 bytes a second arrived for 20 s".
  std::string DescribeLowSpeed(long long receivedBytes) const;
  // "no connection within 10 s".
  std::string DescribeConnectTimeout() const;
};

#endif
