#ifndef TESTS_SIM_PTYPEER_H
#define TESTS_SIM_PTYPEER_H

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

// The far end of a serial line: the master side of a pseudo-terminal whose
// device side (devicePath(), "/dev/pts/N") the code under test opens as its
// port. With makeRaw() the device side also behaves like the module kernel
// driver's node: a read returns one waiting byte or nothing at once.
// Everything it made goes away with it; nothing stays behind in /dev.
class PtyPeer {
 public:
  PtyPeer();  // throws std::runtime_error when no pseudo-terminal can be had
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& devicePath() const { return device_; }

  // Raw device side, VMIN 0 and VTIME 0, for users that open it without
  // setting it up themselves (the driver node).
  void makeRaw() const;

  // Bytes for the device side to read.
  bool send(const std::string& bytes) const;

  // What the device side wrote: up to count bytes, waiting up to timeoutMS
  // for all of them.
  std::string receive(size_t count, int timeoutMS) const;

  // Closes the master: the device side's reads fail from then on, and its
  // path is gone and stays unused by other terminals while the peer lives.
  void hangUp();

  // Makes path a symbolic link to the device side (a driver node's name);
  // the link is removed with the peer.
  void publishAs(const std::string& path);

 private:
  int master_ = -1;
  int held_ = -1;  // the device side, holding the terminal's number after hangUp()
  std::string device_;
  std::vector<std::string> links_;
};

}  // namespace testsupport

#endif
