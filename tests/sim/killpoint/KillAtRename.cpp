// Preloaded (LD_PRELOAD) into a program under test: the program is killed
// with SIGKILL, as kill -9 would kill it, at the moment it asks to rename a
// file onto a name that ends with $TESSARINE_KILL_AT_RENAME. The rename
// never happens, so the temporary it wrote stays exactly as a run killed
// between its write and its rename leaves it. Without the variable every
// rename goes through unchanged.

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

bool endsWith(const char* text, const char* suffix) {
  const size_t n = std::strlen(text);
  const size_t m = std::strlen(suffix);
  return m <= n && std::strcmp(text + n - m, suffix) == 0;
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
  const char* suffix = std::getenv("TESSARINE_KILL_AT_RENAME");
  if (suffix != nullptr && suffix[0] != '\0' && to != nullptr && endsWith(to, suffix)) {
    kill(getpid(), SIGKILL);
  }
  using Rename = int (*)(const char*, const char*);
  static const Rename next = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
  return next(from, to);
}
