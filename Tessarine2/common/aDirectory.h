#ifndef TESSARINE2_COMMON_ADIRECTORY_H
#define TESSARINE2_COMMON_ADIRECTORY_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"

#define aDIR_PATH_SEP "/"

// One entry handed to a listing callback; path is valid during the call only.
struct aDirectoryListData {
  const char* path;
  uint32_t size;         // low 32 bits of the entry's size
  uint32_t isDirectory;  // 1 for a directory, else 0
};

// Returns false to stop the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* reference);

// Most components aDirectory_BuildPath joins, the first included.
constexpr int aDIRECTORY_MAX_COMPONENTS = 10;

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, uint16_t mode);
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference);
aErr aDirectory_Delete(const char* path);
// Symbolic links inside the tree are removed, never followed; a link as the
// top path is refused (aErrNotFound).
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// The password entry's directory, else HOME. aErrNotFound when neither is
// known, aErrOverrun when it does not fit; the text is empty on any error.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);

// Joins first and the components after it, up to a NULL, with single
// separators; at most aDIRECTORY_MAX_COMPONENTS in all.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) __attribute__((sentinel));

#endif
