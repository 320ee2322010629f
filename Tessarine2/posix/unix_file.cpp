#include "Tessarine2/common/aFile.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kFileCheck = 0xFEED;

}  // namespace

struct aFile {
  FILE* stream;
  aFileMode mode;
  uint32_t check;  // kFileCheck while the record is valid
};

namespace {

bool isValid(const aFile* file) { return file != nullptr && file->check == kFileCheck; }

bool mayRead(const aFile* file) {
  return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

bool mayWrite(const aFile* file) {
  return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

// Looks at no more than one character past the limit, so an unterminated or
// huge text is never scanned to its end.
bool pathTooLong(const char* path) { return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH; }

const char* stdioMode(aFileMode mode) {
  switch (mode) {
    case aFileModeReadOnly:
      return "rb";
    case aFileModeWriteOnly:
      return "wb";
    case aFileModeAppend:
      return "ab+";
    default:
      return nullptr;
  }
}

aErr currentPosition(FILE* stream, uint64_t* position) {
  off_t at = ftello(stream);
  if (at < 0) {
    return aErrIO;
  }
  *position = static_cast<uint64_t>(at);
  return aErrNone;
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (path == nullptr || pathTooLong(path)) {
    return false;
  }
  struct stat info;
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

aFile* aFile_Open(const char* path, aFileMode mode) {
  const char* how = stdioMode(mode);
  if (path == nullptr || *path == '\0' || pathTooLong(path) || how == nullptr) {
    return nullptr;
  }
  aFile* file = static_cast<aFile*>(calloc(1, sizeof(aFile)));
  if (file == nullptr) {
    return nullptr;
  }
  file->check = kFileCheck;
  file->mode = mode;
  file->stream = fopen(path, how);
  if (file->stream != nullptr && mode == aFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0) {
    fclose(file->stream);
    file->stream = nullptr;
  }
  if (file->stream == nullptr) {
    file->check = 0;
    free(file);
    return nullptr;
  }
  return file;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr) {
    return aErrParam;
  }
  aFile* record = *file;
  *file = nullptr;
  if (!isValid(record)) {
    return aErrParam;
  }
  // fclose releases the stream even when flushing the last buffered bytes
  // fails, so the record goes in either case.
  int closed = fclose(record->stream);
  record->check = 0;
  free(record);
  return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, void* buffer, size_t count, size_t* read) {
  if (read != nullptr) {
    *read = 0;
  }
  if (!isValid(file) || buffer == nullptr) {
    return aErrParam;
  }
  if (!mayRead(file)) {
    return aErrMode;
  }
  if (count == 0) {
    return aErrNone;
  }
  // The error flag is cleared first so that it speaks of this read only.
  clearerr(file->stream);
  size_t got = fread(buffer, 1, count, file->stream);
  if (read != nullptr) {
    *read = got;
  }
  if (got == 0) {
    // A failing read is not the end of the data; a caller that reads until
    // aErrEOF must not take it for a complete file.
    return ferror(file->stream) ? aErrIO : aErrEOF;
  }
  return aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t count, size_t* written) {
  if (written != nullptr) {
    *written = 0;
  }
  if (!isValid(file) || data == nullptr) {
    return aErrParam;
  }
  if (!mayWrite(file)) {
    return aErrMode;
  }
  size_t put = fwrite(data, 1, count, file->stream);
  if (written != nullptr) {
    *written = put;
  }
  return put == count ? aErrNone : aErrIO;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin) {
  if (!isValid(file)) {
    return aErrParam;
  }
  uint64_t position = 0;
  uint64_t size = 0;
  if (currentPosition(file->stream, &position) != aErrNone || aFile_GetSize(file, &size) != aErrNone) {
    return aErrIO;
  }
  int64_t base = 0;
  if (origin == 1) {
    base = static_cast<int64_t>(position);
  } else if (origin == 2) {
    base = static_cast<int64_t>(size);
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 ||
      static_cast<uint64_t>(target) > size) {
    return aErrRange;
  }
  if (fseeko(file->stream, static_cast<off_t>(target), SEEK_SET) != 0 ||
      currentPosition(file->stream, &position) != aErrNone) {
    return aErrIO;
  }
  return aErrNone;
}

aErr aFile_GetSize(aFile* file, uint64_t* size) {
  if (!isValid(file) || size == nullptr) {
    return aErrParam;
  }
  off_t was = ftello(file->stream);
  if (was < 0 || fseeko(file->stream, 0, SEEK_END) != 0) {
    return aErrIO;
  }
  off_t end = ftello(file->stream);
  if (fseeko(file->stream, was, SEEK_SET) != 0 || end < 0) {
    return aErrIO;
  }
  *size = static_cast<uint64_t>(end);
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, uint64_t* position) {
  if (!isValid(file) || position == nullptr) {
    return aErrParam;
  }
  return currentPosition(file->stream, position);
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  // Room for at least one character and the terminator: with less, a line
  // could never advance and a caller calling again on aErrOverrun would
  // loop for ever.
  if (buffer == nullptr || length == nullptr || size < 2) {
    return aErrParam;
  }
  *length = 0;
  buffer[0] = '\0';
  if (!isValid(file)) {
    return aErrParam;
  }
  if (!mayRead(file)) {
    return aErrMode;
  }
  // Counted rather than measured with strlen afterwards, so a NUL byte in
  // the line cannot hide the characters after it.
  size_t used = 0;
  bool failed = false;
  flockfile(file->stream);
  clearerr_unlocked(file->stream);
  while (used < size - 1) {
    int c = getc_unlocked(file->stream);
    if (c == EOF) {
      failed = ferror_unlocked(file->stream) != 0;
      break;
    }
    buffer[used++] = static_cast<char>(c);
    if (c == '\n') {
      break;
    }
  }
  funlockfile(file->stream);
  buffer[used] = '\0';
  *length = used;
  if (failed) {
    return aErrIO;
  }
  if (used == 0) {
    return aErrEOF;
  }
  if (used == size - 1 && buffer[used - 1] != '\n') {
    return aErrOverrun;
  }
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!isValid(file)) {
    return aErrParam;
  }
  if (!mayWrite(file)) {
    return aErrMode;
  }
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!isValid(file) || format == nullptr) {
    return aErrParam;
  }
  if (!mayWrite(file)) {
    return aErrMode;
  }
  va_list arguments;
  va_start(arguments, format);
  int printed = vfprintf(file->stream, format, arguments);
  va_end(arguments);
  return printed < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) {
    return aErrParam;
  }
  if (pathTooLong(path)) {
    return aErrFileNameLength;
  }
  if (unlink(path) == 0) {
    return aErrNone;
  }
  switch (errno) {
    case ENOENT:
    case ENOTDIR:
      return aErrNotFound;
    case EACCES:
    case EPERM:
      return aErrPermission;
    default:
      return aErrIO;
  }
}
