#ifndef TESTS_SIM_NETDISCOVERY_MULTICASTRESPONDER_H
#define TESTS_SIM_NETDISCOVERY_MULTICASTRESPONDER_H

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "tests/sim/netdiscovery/NetworkSpec.h"

namespace netsim {

// The local multicast side of a module-sharing server, on the loopback
// interface: it holds the first free request port 9850 + slot (a receiver
// bound without address reuse, in group 224.0.0.7), and answers each 4-byte
// request 0xABCDDCBA (host byte order) with its 128-byte network record, sent
// to the group on the slot's reply port 9950 + slot. A server whose model is
// still 0 reads requests and answers nothing.
//
// Built on plain sockets: it shares no code with the library's client.
class MulticastResponder {
 public:
  struct Options {
    ServerIdentity identity;
    // Bytes sent instead of the record (a server that answers wrongly).
    std::optional<std::vector<uint8_t>> answer;
    // Time between reading a request and answering it.
    int answerDelayMS = 0;
  };

  explicit MulticastResponder(Options options);
  ~MulticastResponder();
  MulticastResponder(const MulticastResponder&) = delete;
  MulticastResponder& operator=(const MulticastResponder&) = delete;

  // Takes a slot and starts answering; false when no request port was free
  // or a socket could not be made.
  bool start();
  void stop();

  int slot() const { return slot_; }
  // Discovery requests read so far, and datagrams that were not one.
  int requests() const { return requests_.load(); }
  int otherDatagrams() const { return others_.load(); }

 private:
  void serve();
  bool waitForStop(int timeoutMS) const;

  Options options_;
  int slot_ = -1;
  int receiver_ = -1;
  int sender_ = -1;
  int stopEvent_ = -1;
  std::thread thread_;
  std::atomic<int> requests_{0};
  std::atomic<int> others_{0};
};

// A socket that holds a port the way a server's receiver does, and does
// nothing else: a slot that looks taken but never answers.
class PortHolder {
 public:
  explicit PortHolder(uint16_t port);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool holding() const { return socket_ >= 0; }

 private:
  int socket_ = -1;
};

}  // namespace netsim

#endif
