#ifndef TESTS_SIM_LEGACYDISCOVERY_LEGACYDISCOVERYPEER_H
#define TESTS_SIM_LEGACYDISCOVERY_LEGACYDISCOVERYPEER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The network side of the legacy UDP discovery: a module that hears the
// 16-byte request [1, 0 x 15] sent to group 232.2.2.2 port 9888 and answers
// the requester's port 9889 with 16 bytes:
//
//   [0]     0
//   [1]     module address (even, not 0)
//   [2..3]  TCP port of the module, little-endian
//   [4..7]  serial number, little-endian
//   [8..11] 0
//   [12]    model
//   [13..15] 0
//
// It can answer late, short (fewer bytes), several times per request, or
// send other datagrams first.
// Multicasts: use it only inside a network namespace of the test's own.
class LegacyDiscoveryPeer {
 public:
  struct Answer {
    uint8_t moduleAddress = 0x06;
    uint16_t port = 0x2F1A;
    uint32_t serial = 0;
    uint8_t model = 4;
    size_t length = 16;  // bytes sent: fewer than 16 is a short answer
    int repeats = 1;     // answers per request
    int delayMS = 0;     // time from hearing a request to answering it
    // Datagrams sent to the requester's reply port before the answer
    // (garbage, answers of modules that do not exist).
    std::vector<std::string> before;
  };

  // Joins the group on the interface with interfaceAddress and answers from
  // sourceAddress (dotted IPv4 both). Throws std::runtime_error when it
  // cannot listen.
  LegacyDiscoveryPeer(const std::string& interfaceAddress, const std::string& sourceAddress, const Answer& answer);
  ~LegacyDiscoveryPeer();
  LegacyDiscoveryPeer(const LegacyDiscoveryPeer&) = delete;
  LegacyDiscoveryPeer& operator=(const LegacyDiscoveryPeer&) = delete;

  // Requests heard, and datagrams on the request port that were no request.
  int requests() const { return requests_.load(); }
  int otherDatagrams() const { return others_.load(); }

 private:
  void serve();
  bool waitUnlessStopped(int ms);

  Answer answer_;
  int listener_ = -1;
  int sender_ = -1;
  int stop_ = -1;  // eventfd
  std::atomic<int> requests_{0};
  std::atomic<int> others_{0};
  std::thread thread_;
};

// A whole answer, once, from a module at moduleAddress whose TCP port is
// port.
LegacyDiscoveryPeer::Answer legacyAnswer(uint8_t moduleAddress, uint16_t port, uint32_t serial, uint8_t model);

// The 16 answer bytes (all of them, whatever answer.length says).
std::string legacyAnswerBytes(const LegacyDiscoveryPeer::Answer& answer);

// Sends bytes from sourceAddress to destination's port 9889: unsolicited
// answers and garbage. False when it could not be sent.
bool sendToReplyPort(const std::string& sourceAddress, const std::string& destination, const std::string& bytes);

}  // namespace testsupport

#endif
