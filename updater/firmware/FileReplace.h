#ifndef UPDATER_FIRMWARE_FILEREPLACE_H
#define UPDATER_FIRMWARE_FILEREPLACE_H

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "Tessarine2/common/aDirectory.h"
#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aFile.h"

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
// Result: aErrNone; aErrNotFound when the temporary cannot be created;
// aErrIO when a write, the close or the rename fails. systemError, when not
// NULL, receives the system error number of the failing step (0 on success).
inline std::string ReplaceFile_TemporaryPath(const std::string& path) {
  // Hidden and named after the target and this process, so a leftover of a
  // crash is never taken for a build and two writers never share one.
  std::string::size_type slash = path.rfind(aDIR_PATH_SEP[0]);
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + base + "." + std::to_string(static_cast<long>(getpid())) + ".tmp";
}

inline aErr ReplaceFile(const std::string& path, const void* data, size_t size, int* systemError,
                        bool replaceExisting = true) {
  int ignored = 0;
  int& error = systemError != nullptr ? *systemError : ignored;
  error = 0;
  const std::string temporary = ReplaceFile_TemporaryPath(path);

  errno = 0;
  aFile* file = aFile_Open(temporary.c_str(), aFileModeWriteOnly);
  if (file == nullptr) {
    error = errno;
    return aErrNotFound;
  }
  // Unbuffered, so a failing write is reported by the write itself and not
  // later by a flush in the close.
  aFile_SetUnbuffered(file);

  aErr result = aErrNone;
  if (size > 0) {
    size_t written = 0;
    errno = 0;
    result = aFile_Write(file, data, size, &written);
    if (result == aErrNone && written != size) {
      result = aErrIO;
    }
    if (result != aErrNone) {
      error = errno;
    }
  }
  errno = 0;
  aErr closed = aFile_Close(&file);
  if (result == aErrNone && closed != aErrNone) {
    error = errno;
    result = aErrIO;
  }
  if (result == aErrNone && replaceExisting && std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    result = aErrIO;
  }
  // link never replaces: of two processes creating one file, the second
  // finds the first one's file and keeps it. A file system without hard
  // links gets the rename, which replaces.
  if (result == aErrNone && !replaceExisting && link(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    result = aErrIO;
    if ((error == EPERM || error == ENOSYS || error == EOPNOTSUPP) &&
        std::rename(temporary.c_str(), path.c_str()) == 0) {
      error = 0;
      result = aErrNone;
    }
  }
  if (result == aErrNone && !replaceExisting) {
    aFile_Delete(temporary.c_str());
  }
  if (result != aErrNone) {
    aFile_Delete(temporary.c_str());
  }
  return result;
}

#endif
