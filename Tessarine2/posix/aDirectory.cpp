#include "Tessarine2/common/aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr char kSeparator = aDIR_PATH_SEP[0];

// Listing and tree removal join each entry to its directory in this much.
constexpr size_t kEntryPathSize = 2048;

bool isDirectory(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool isDirectory(const std::string& path) { return isDirectory(path.c_str()); }

// One step of Ensure. EEXIST is only good news when what exists is a
// directory: a plain file of that name is in the way.
aErr makeDirectory(const std::string& path, uint16_t mode) {
  if (isDirectory(path)) {
    return aErrNone;
  }
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || (errno == EEXIST && isDirectory(path))) {
    return aErrNone;
  }
  return aErrPermission;
}

// Index of the first character after the deepest existing ancestor, 0 when
// none exists. The empty prefix before a leading separator never counts.
size_t afterDeepestAncestor(const std::string& path) {
  size_t cut = path.rfind(kSeparator);
  while (cut != std::string::npos && cut > 0) {
    if (isDirectory(path.substr(0, cut))) {
      return cut + 1;
    }
    cut = path.rfind(kSeparator, cut - 1);
  }
  return 0;
}

bool overlaps(const char* text, const char* buffer, size_t size) {
  std::less<const char*> before;
  const char* end = buffer + size;
  if (!before(text, buffer)) {
    return before(text, end);
  }
  // Starts before the buffer: overlaps when its text runs into it.
  return !before(text + strlen(text), buffer);
}

// Opens a directory without following a symbolic link in its last component,
// so tree removal never walks into a tree it was not given.
DIR* openDirectoryNoFollow(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
  }
  return dir;
}

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

aErr copyBounded(char* buffer, size_t size, const char* text) {
  size_t length = strlen(text);
  if (length >= size) {
    buffer[0] = '\0';
    return aErrOverrun;
  }
  std::memcpy(buffer, text, length + 1);
  return aErrNone;
}

}  // namespace

bool aDirectory_Exists(const char* path) { return path != nullptr && isDirectory(path); }

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
  if (path == nullptr || *path == '\0') {
    return aErrParam;
  }
  if (isDirectory(path)) {
    return aErrNone;
  }
  const std::string copy(path);
  // Every prefix ending at a component from here on, the whole path last,
  // is made unless it is a directory already; the first failure ends it.
  size_t start = afterDeepestAncestor(copy);
  while (start <= copy.size()) {
    size_t end = copy.find(kSeparator, start);
    if (end == std::string::npos) {
      end = copy.size();
    }
    if (end > start) {
      aErr made = makeDirectory(copy.substr(0, end), mode);
      if (made != aErrNone) {
        return made;
      }
    }
    start = end + 1;
  }
  return isDirectory(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference) {
  if (path == nullptr || callback == nullptr) {
    return aErrParam;
  }
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    return aErrNotFound;
  }
  std::vector<char> entryPath(kEntryPathSize);
  while (const dirent* entry = readdir(dir)) {
    struct stat info;
    // An entry whose path does not fit is skipped like one that cannot be
    // queried; a cut path would name something else.
    if (aDirectory_JoinPath(entryPath.data(), entryPath.size(), path, entry->d_name) != aErrNone ||
        stat(entryPath.data(), &info) != 0) {
      continue;
    }
    aDirectoryListData data;
    data.path = entryPath.data();
    data.size = static_cast<uint32_t>(info.st_size);
    data.isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
    if (!callback(&data, reference)) {
      break;
    }
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) {
    return aErrParam;
  }
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) {
    return aErrParam;
  }
  DIR* dir = openDirectoryNoFollow(path);
  if (dir == nullptr) {
    return aErrNotFound;
  }
  // On the heap: the walk recurses once per level of the tree.
  std::vector<char> entryPath(kEntryPathSize);
  bool failed = false;
  while (const dirent* entry = readdir(dir)) {
    if (isDotOrDotDot(entry->d_name)) {
      continue;
    }
    // A path that does not fit ends the walk: what the buffer would hold is
    // the directory itself, and acting on it would recurse without end.
    if (aDirectory_JoinPath(entryPath.data(), entryPath.size(), path, entry->d_name) != aErrNone) {
      failed = true;
      break;
    }
    // lstat: a symbolic link is removed as itself, never followed.
    struct stat info;
    if (lstat(entryPath.data(), &info) != 0) {
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      if (aDirectory_DeleteTree(entryPath.data()) != aErrNone) {
        failed = true;
        break;
      }
    } else if (unlink(entryPath.data()) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", entryPath.data());
      failed = true;
      break;
    }
  }
  closedir(dir);
  if (failed) {
    return aErrUnknown;
  }
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  if (getcwd(buffer, size) == nullptr) {
    buffer[0] = '\0';
    return aErrParam;
  }
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  // readlink refuses a zero-sized target; with room for the terminator only,
  // the link is still read so that a failure is reported as one.
  char scratch;
  ssize_t length = size > 1 ? readlink("/proc/self/exe", buffer, size - 1) : readlink("/proc/self/exe", &scratch, 1);
  if (length < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[size > 1 ? length : 0] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  buffer[0] = '\0';
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  passwd record;
  passwd* found = nullptr;
  int looked;
  while ((looked = getpwuid_r(getuid(), &record, scratch.data(), scratch.size(), &found)) == ERANGE &&
         scratch.size() < (1u << 20)) {
    scratch.resize(scratch.size() * 2);
  }
  if (looked == 0 && found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
    return copyBounded(buffer, size, found->pw_dir);
  }
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return copyBounded(buffer, size, home);
  }
  return aErrNotFound;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  // One more than allowed is read so that too many can be told apart, and
  // never more, so a missing NULL at the end is not chased further.
  const char* components[aDIRECTORY_MAX_COMPONENTS + 1] = {first};
  int count = first == nullptr ? 0 : 1;
  va_list arguments;
  va_start(arguments, first);
  while (count > 0 && count <= aDIRECTORY_MAX_COMPONENTS) {
    const char* next = va_arg(arguments, const char*);
    if (next == nullptr) {
      break;
    }
    components[count++] = next;
  }
  va_end(arguments);
  bool refused = count == 0 || count > aDIRECTORY_MAX_COMPONENTS;
  for (int i = 0; i < count && !refused; ++i) {
    refused = overlaps(components[i], buffer, size);
  }
  buffer[0] = '\0';
  if (refused) {
    return aErrParam;
  }

  size_t length = strlen(first);
  if (length + 1 >= size) {
    return aErrOverrun;
  }
  std::memcpy(buffer, first, length + 1);
  for (int i = 1; i < count; ++i) {
    const char* component = components[i];
    size_t room = size - length - 1;
    // Nothing is put before a component when the text is still empty: an
    // empty first part must not turn a relative path into an absolute one.
    if (room > 1 && length > 0 && buffer[length - 1] != kSeparator && component[0] != kSeparator) {
      buffer[length++] = kSeparator;
      buffer[length] = '\0';
      --room;
    }
    size_t add = strlen(component);
    if (add >= room) {
      return aErrOverrun;
    }
    std::memcpy(buffer + length, component, add + 1);
    length += add;
  }
  return aErrNone;
}
