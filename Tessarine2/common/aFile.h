#ifndef TESSARINE2_COMMON_AFILE_H
#define TESSARINE2_COMMON_AFILE_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"

// Buffered files. The record is opaque; every operation validates it and
// answers aErrParam for a NULL or invalid one.
struct aFile;

typedef int32_t aFileMode;
enum : aFileMode {
  aFileModeReadOnly = 0,   // "rb"
  aFileModeWriteOnly = 1,  // "wb", created or truncated
  aFileModeAppend = 2,     // "ab+", positioned at the end
  aFileModeUnknown = 3,    // refused
};

// Longest path any file or directory operation accepts.
constexpr size_t aFILE_MAX_PATH = 4096;

bool aFile_Exists(const char* path);
aFile* aFile_Open(const char* path, aFileMode mode);
// Frees the record and clears the caller's pointer even when the close
// fails (aErrIO: buffered bytes could not be written).
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, size_t count, size_t* read);
// A short write is aErrIO; the count reports what was written.
aErr aFile_Write(aFile* file, const void* data, size_t count, size_t* written);
aErr aFile_Seek(aFile* file, int64_t offset, int origin);
aErr aFile_GetSize(aFile* file, uint64_t* size);
aErr aFile_GetPosition(aFile* file, uint64_t* position);
// One line, newline kept, NUL-terminated; size must be at least 2.
// aErrOverrun: the buffer filled before the newline, call again for the rest.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFile* file);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_Delete(const char* path);

#endif
