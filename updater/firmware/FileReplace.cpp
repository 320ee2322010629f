#include "updater/firmware/FileReplace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Tessarine2/common/aDirectory.h"
#include "Tessarine2/common/aFile.h"
#include "updater/support/Log.h"

namespace {

constexpr char kSeparator = aDIR_PATH_SEP[0];
constexpr const char* kTemporarySuffix = ".tmp";
constexpr size_t kTemporarySuffixLength = 4;
// Names tried before Create gives up: each is taken only by a live writer
// of the same process id (another namespace) or a sweep in progress.
constexpr int kNameAttempts = 16;

// The files of the store, whose temporaries a sweep may remove.
constexpr const char* kRecordName = ".settings";
constexpr const char* kContainerSuffix = ".bird";

std::string folderOf(const std::string& path) {
  const std::string::size_type slash = path.rfind(kSeparator);
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ownNameOf(const std::string& path) {
  const std::string::size_type slash = path.rfind(kSeparator);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool isNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// What a failed creation of the temporary means for the caller.
aErr creationFailure(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return aErrPermission;
    case ENOSPC:
    case EDQUOT:
      return aErrIO;
    default:
      return aErrNotFound;
  }
}

// Removes path when it is a regular file that nobody holds locked. The
// lock is taken before the look at the name, so a writer that locks its
// file first is never robbed of it, and the file removed is the one that
// was locked.
bool removeIfAbandoned(const std::string& path) {
  // O_NONBLOCK: a FIFO that merely has the name never stalls the sweep.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool removed = false;
  struct stat held;
  struct stat named;
  if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
    removed = unlink(path.c_str()) == 0;
  }
  close(fd);
  return removed;
}

struct Sweep {
  size_t removed = 0;
};

bool sweepEntry(const aDirectoryListData* entry, void* reference) {
  Sweep* sweep = static_cast<Sweep*>(reference);
  if (entry->isDirectory || !IsStoreTemporaryName(ownNameOf(entry->path))) return true;
  if (removeIfAbandoned(entry->path)) {
    Log::log(DEBUG_Updater, "Store: removed [%s], left by a writer that is gone.\n", entry->path);
    ++sweep->removed;
  }
  return true;
}

}  // namespace

TemporaryFile::~TemporaryFile() { Release(); }

void TemporaryFile::Release() {
  if (fd_ >= 0) {
    // Closing the descriptor lets go of the lock.
    close(fd_);
    fd_ = -1;
  }
}

bool TemporaryFile::Create(const std::string& target, int* systemError) {
  Release();
  const std::string folder = folderOf(target);
  const std::string stem = (folder.empty() && target.find(kSeparator) == std::string::npos ? "" : folder + "/") +
                           "." + ownNameOf(target) + "." + std::to_string(static_cast<long>(getpid()));
  int error = EEXIST;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string candidate = stem + (attempt == 0 ? "" : "." + std::to_string(attempt)) + kTemporarySuffix;
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      error = errno;
      if (error == EEXIST) continue;
      break;
    }
    // A sweep that opened the new file before this lock sees nobody hold it
    // and removes it; the lock is then refused, or the file is found gone,
    // and the next name is taken. A file system without flock cannot tell
    // a live writer: the sweep there removes nothing.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      close(fd);
      continue;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_nlink == 0) {
      close(fd);
      continue;
    }
    fd_ = fd;
    path_ = candidate;
    if (systemError != nullptr) *systemError = 0;
    return true;
  }
  if (systemError != nullptr) *systemError = error;
  return false;
}

bool IsStoreTemporaryName(const std::string& name) {
  if (name.size() <= 1 + kTemporarySuffixLength || name[0] != '.' || !endsWith(name, kTemporarySuffix)) return false;
  // ".<target>.<pid>[.<n>].tmp"
  std::string target = name.substr(1, name.size() - 1 - kTemporarySuffixLength);
  int numbers = 0;
  while (numbers < 2) {
    const std::string::size_type dot = target.rfind('.');
    if (dot == std::string::npos || !isNumber(target.substr(dot + 1))) break;
    target.erase(dot);
    ++numbers;
  }
  if (numbers == 0) return false;
  return target == kRecordName || (target.size() > std::strlen(kContainerSuffix) && endsWith(target, kContainerSuffix));
}

size_t SweepTemporaries(const std::string& folder) {
  Sweep sweep;
  aDirectory_List(folder.empty() ? "." : folder.c_str(), sweepEntry, &sweep);
  return sweep.removed;
}

aErr ReplaceFile(const std::string& path, const void* data, size_t size, int* systemError, bool replaceExisting) {
  int ignored = 0;
  int& error = systemError != nullptr ? *systemError : ignored;
  error = 0;

  SweepTemporaries(folderOf(path));
  TemporaryFile temporaryFile;
  if (!temporaryFile.Create(path, &error)) {
    return creationFailure(error);
  }
  const std::string& temporary = temporaryFile.Path();

  errno = 0;
  aFile* file = aFile_Open(temporary.c_str(), aFileModeWriteOnly);
  if (file == nullptr) {
    error = errno;
    aFile_Delete(temporary.c_str());
    return creationFailure(error);
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
