#ifndef TESTS_SIM_MODULE_PTYFRONT_H
#define TESTS_SIM_MODULE_PTYFRONT_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/DescriptorIo.h"
#include "tests/sim/module/ModuleEngine.h"

namespace simmodule {

// A module on a serial line: the master side of a pseudo-terminal whose
// device side (devicePath()) the host opens as its port. The device side
// is raw with reads that return at once, so it also serves as the module
// kernel driver's node when published under that name. The engine's
// disconnect fault hangs the line up.
class PtyFront {
 public:
  explicit PtyFront(ModuleEngine& engine);  // throws std::runtime_error
  ~PtyFront();
  PtyFront(const PtyFront&) = delete;
  PtyFront& operator=(const PtyFront&) = delete;

  const std::string& devicePath() const { return device_; }

  // A symbolic link to the device side (for example the driver node
  // "/dev/tessarine.%08X"); removed with the front.
  void publishAs(const std::string& path);

  // Closes the line: the host's reads find it hung up from then on, and
  // the device path is gone and not reused while the front lives.
  void hangUp();

 private:
  void loop();

  ModuleEngine& engine_;
  std::string device_;
  std::vector<std::string> links_;
  std::mutex masterMutex_;  // guards master_ for output
  std::condition_variable closedCv_;
  int master_ = -1;
  // Keeps the line up while the host has it closed, and its number from
  // other terminals after a hang-up.
  int device_fd_ = -1;
  testsupport::WakePipe wake_;
  std::thread thread_;
};

}  // namespace simmodule

#endif
