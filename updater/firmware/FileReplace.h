#ifndef UPDATER_FIRMWARE_FILEREPLACE_H
#define UPDATER_FIRMWARE_FILEREPLACE_H

#include <cstddef>
#include <string>

#include "Tessarine2/common/aError.h"

// Gives path the contents data[0..size) without ever leaving it half
// written. The bytes go to a hidden temporary file in the same folder, which
// is renamed over path only after every byte and the close have succeeded;
// a rename inside one folder is atomic, so readers see the old file or the
// new one, never a mix. On any failure the temporary is removed and path is
// as it was.
//
// The file is not synced to the disk before the rename; a power loss right
// after it may leave either version, depending on the file system.
//
// With replaceExisting false the file is only created: when path exists by
// the time the bytes are ready (another process made it meanwhile), it is
// left alone and the result is aErrIO with the system error EEXIST.
//
// Before it writes, it sweeps the folder of temporaries that a killed or
// crashed writer left (see SweepTemporaries).
//
// Result: aErrNone; when the temporary cannot be created, aErrPermission
// if the folder may not be written (read-only, no permission), aErrIO if
// the disk is full, else aErrNotFound (no such folder, or not a folder);
// aErrIO when a write, the close or the rename fails. systemError, when not
// NULL, receives the system error number of the failing step (0 on
// success).
aErr ReplaceFile(const std::string& path, const void* data, size_t size, int* systemError,
                 bool replaceExisting = true);

// A writer's temporary: "." + the target's name + "." + the writer's
// process id + ".tmp" in the target's folder (with one more number before
// ".tmp" when that name is taken). Hidden, so a leftover is never taken for
// a build.
//
// The writer holds an exclusive flock on its temporary from the moment it
// exists until it is renamed or removed; the lock goes with the process, so
// a temporary that nobody holds was left by a writer that is gone. The
// process id only keeps the names of concurrent writers apart; the lock
// alone tells whether a writer is alive, so a reused id, or a writer with
// the same id in another process namespace sharing the store, cannot
// mislead the sweep.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();  // lets go of the lock; the file stays
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates and locks a new, empty temporary beside target. False, with
  // *systemError, when none can be created.
  bool Create(const std::string& target, int* systemError);
  const std::string& Path() const { return path_; }
  void Release();

 private:
  int fd_ = -1;
  std::string path_;
};

// True when name (without a folder) is a temporary of a file the store
// writes: ".settings" or a "*.bird" container.
bool IsStoreTemporaryName(const std::string& name);

// Removes the store temporaries of folder ("" for the current directory)
// that no writer holds; a live writer's temporary stays. How many were
// removed.
size_t SweepTemporaries(const std::string& folder);

#endif
