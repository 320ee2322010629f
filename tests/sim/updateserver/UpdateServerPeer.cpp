#include "tests/sim/updateserver/UpdateServerPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "tests/sim/HeldPort.h"
#include "tests/sim/updateserver/UpdateServerReplies.h"

namespace testsupport {

namespace {

// A request head larger than this is refused; the client's are a few hundred bytes.
constexpr size_t kMaxHeadBytes = 16 * 1024;
// Content-Length of a short body claims this many bytes more than are sent.
constexpr size_t kShortBodyMissing = 16;

// What a web server in front of the application shows when the application
// is not there (or a portal that wants a login).
constexpr const char* kHTMLPage =
    "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
    "<body><h1>Bad Gateway</h1><p>The server is temporarily unable to service your request.</p></body></html>\n";

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::runtime_error socketError(const char* what) {
  return std::runtime_error(std::string("update server peer: ") + what + ": " + std::strerror(errno));
}

}  // namespace

UpdateServerPeer::UpdateServerPeer(UpdateServerModel model)
    : model_(std::make_shared<const UpdateServerModel>(std::move(model))) {}

UpdateServerPeer::~UpdateServerPeer() { stop(); }

void UpdateServerPeer::start(uint16_t port) {
  if (thread_.joinable()) throw std::runtime_error("update server peer: already started");
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw socketError("pipe");
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];

  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) {
    std::runtime_error e = socketError("socket");
    stop();
    throw e;
  }
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  allowPortHold(listenFd_);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::runtime_error e = socketError("bind/listen");
    stop();
    throw e;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread(&UpdateServerPeer::run, this);
}

void UpdateServerPeer::stop() {
  // The pipe is never drained, so once written every later poll of the
  // server thread returns at once.
  if (wakeWrite_ >= 0) {
    char byte = 0;
    ssize_t ignored = write(wakeWrite_, &byte, 1);
    (void)ignored;
  }
  const bool serving = thread_.joinable();
  if (serving) thread_.join();
  // A test that stopped the server expects its clients to be refused, not
  // to reach another test's server that was given the freed port.
  if (serving && !heldPort_.take(listenFd_)) {
    std::cerr << "update server peer: cannot keep port " << port_ << ": " << std::strerror(errno) << "\n";
  }
  for (int* fd : {&listenFd_, &wakeRead_, &wakeWrite_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

std::string UpdateServerPeer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + kUpdateServerPath;
}

void UpdateServerPeer::setModel(UpdateServerModel model) {
  auto shared = std::make_shared<const UpdateServerModel>(std::move(model));
  std::lock_guard<std::mutex> lock(mutex_);
  model_ = std::move(shared);
}

void UpdateServerPeer::setFaults(const UpdateServerFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

void UpdateServerPeer::setObserver(std::function<void(const RecordedRequest&)> observer) {
  observer_ = std::move(observer);
}

std::vector<RecordedRequest> UpdateServerPeer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> UpdateServerPeer::targets() const {
  std::vector<std::string> out;
  for (const RecordedRequest& r : requests()) out.push_back(r.target);
  return out;
}

void UpdateServerPeer::clearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

void UpdateServerPeer::run() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) continue;
    serve(client);
    close(client);
  }
}

// True when stop() was called or the client hung up within the time-out;
// -1 waits for either. A real server serves others meanwhile; this one takes
// one connection at a time, so a client that gave up must not hold it.
bool UpdateServerPeer::waitWake(int client, int timeoutMs) {
  pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {client, POLLRDHUP, 0}};
  int n;
  do {
    n = poll(fds, 2, timeoutMs);
  } while (n < 0 && errno == EINTR);
  return n != 0;
}

bool UpdateServerPeer::readHead(int client, std::string* head) {
  char buffer[4096];
  while (head->find("\r\n\r\n") == std::string::npos) {
    if (head->size() > kMaxHeadBytes) return false;
    pollfd fds[2] = {{client, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    head->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

bool UpdateServerPeer::sendAll(int client, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd fds[2] = {{client, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) return false;
  }
  return true;
}

// Stays silent until the client closes its end or stop() is called.
void UpdateServerPeer::waitForHangUp(int client) {
  char buffer[512];
  for (;;) {
    pollfd fds[2] = {{client, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

// A slow server: every 100 ms a tenth of the second's bytes, until the body
// is out, the client hangs up or stop() is called.
void UpdateServerPeer::sendTrickling(int client, const std::string& body, int bytesPerSecond) {
  constexpr int kStepMs = 100;
  const size_t step = std::max<size_t>(1, static_cast<size_t>(bytesPerSecond) * kStepMs / 1000);
  for (size_t sent = 0; sent < body.size(); sent += step) {
    if (!sendAll(client, body.substr(sent, step))) return;
    if (waitWake(client, kStepMs)) return;
  }
  shutdown(client, SHUT_WR);
}

void UpdateServerPeer::serve(int client) {
  std::string head;
  if (!readHead(client, &head)) return;

  RecordedRequest record;
  std::string requestLine = head.substr(0, head.find("\r\n"));
  size_t sp1 = requestLine.find(' ');
  size_t sp2 = sp1 == std::string::npos ? std::string::npos : requestLine.find(' ', sp1 + 1);
  SimReply reply;
  std::shared_ptr<const UpdateServerModel> model;
  UpdateServerFaults faults;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    model = model_;
    faults = faults_;
  }
  if (sp2 == std::string::npos) {
    record.target = requestLine;
    reply.status = 400;
    reply.violation = "malformed request line";
    reply.body = "error malformed request line\n";
  } else {
    record.method = requestLine.substr(0, sp1);
    record.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    record.version = requestLine.substr(sp2 + 1);
    if (record.method != "GET") {
      reply.status = 405;
      reply.violation = "method is not GET";
      reply.body = "error method not allowed\n";
    } else {
      reply = answerRequest(*model, record.target);
    }
  }
  record.op = reply.op;
  record.violation = reply.violation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(record);
  }
  if (observer_) observer_(record);

  applyBodyFaults(faults, &reply);
  bool faulty = faultsApply(faults, reply.op);
  if (!faulty) faults = UpdateServerFaults();
  if (faults.closeWithoutReply) return;
  if (faults.delayMs > 0 && waitWake(client, faults.delayMs)) return;
  if (faults.status != 0) reply.status = faults.status;
  const char* contentType = "text/plain";
  std::string location;
  if (faults.htmlPage) {
    reply.body = kHTMLPage;
    contentType = "text/html";
  }
  if (faults.redirectToSelf) {
    reply.status = 302;
    location = record.target;
    reply.body = "<html><body>Moved to <a href=\"" + location + "\">here</a>.</body></html>\n";
    contentType = "text/html";
  }

  std::string headers = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) +
                        "\r\nContent-Type: " + contentType + "\r\nConnection: close\r\n";
  if (!location.empty()) headers += "Location: " + location + "\r\n";
  if (faults.contentLength >= 0) {
    headers += "Content-Length: " + std::to_string(faults.contentLength) + "\r\n";
  } else if (!faults.noContentLength) {
    size_t length = reply.body.size() + (faults.shortBody ? kShortBodyMissing : 0);
    headers += "Content-Length: " + std::to_string(length) + "\r\n";
  }
  headers += "\r\n";
  if (!sendAll(client, headers)) return;
  if (faults.stallAfterHeaders) {
    waitForHangUp(client);
    return;
  }
  if (faults.trickleBytesPerSecond > 0) {
    sendTrickling(client, reply.body, faults.trickleBytesPerSecond);
    return;
  }
  if (!sendAll(client, reply.body)) return;
  shutdown(client, SHUT_WR);
}

}  // namespace testsupport
