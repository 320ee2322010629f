#ifndef TESTS_SIM_BOOTROM_SERIALROMPEER_H
#define TESTS_SIM_BOOTROM_SERIALROMPEER_H

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace bootrom {

// A boot ROM's UART: the master side of a pseudo-terminal whose device side
// (devicePath(), "/dev/pts/N") the code under test opens as its serial
// port. A thread of its own hands every byte the host sends to the ROM
// model and writes back what the model answers, until the peer goes away.
//
// The device side is raw from the start and is held open by the peer, so a
// host that closes and reopens the port finds the same line again.
class SerialRomPeer {
 public:
  // Bytes from the host in, bytes for the host out. Runs on the peer's
  // thread.
  using Handler = std::function<std::string(const std::string& fromHost)>;

  explicit SerialRomPeer(Handler handler);  // throws std::runtime_error
  ~SerialRomPeer();
  SerialRomPeer(const SerialRomPeer&) = delete;
  SerialRomPeer& operator=(const SerialRomPeer&) = delete;

  const std::string& devicePath() const { return device_; }

  // Everything the host sent so far.
  std::string received() const;

  // Makes path a symbolic link to the device side, removed with the peer.
  void publishAs(const std::string& path);

 private:
  void run();
  bool writeAll(const std::string& bytes);

  Handler handler_;
  int master_ = -1;
  int holder_ = -1;  // keeps the device side open between host sessions
  int wake_[2] = {-1, -1};
  std::string device_;
  std::string link_;
  mutable std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

}  // namespace bootrom

#endif
