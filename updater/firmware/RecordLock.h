#ifndef UPDATER_FIRMWARE_RECORDLOCK_H
#define UPDATER_FIRMWARE_RECORDLOCK_H

#include <string>

// An exclusive lock, shared by every process of the tool, on one record
// file: flock on "<record>.lock" beside it. A record is read, changed and
// written back under this lock, so two processes changing one record never
// drop each other's keys. The lock goes with the object (or the process).
//
// The lock file stays behind; it holds nothing and its name begins with a
// dot, so store listings pass it over.
class RecordLock {
 public:
  // How long Acquire waits for another process to let go.
  static constexpr int DEFAULT_WAIT_MS = 10000;

  RecordLock() = default;
  ~RecordLock();
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;

  // Takes the lock of recordPath within waitMs. False, with *error saying
  // why (the lock file cannot be opened, or another process held it for the
  // whole wait), when it is not held.
  bool Acquire(const std::string& recordPath, int waitMs, std::string* error);
  void Release();

  static std::string LockPathOf(const std::string& recordPath) { return recordPath + ".lock"; }

 private:
  int fd_ = -1;
};

#endif
