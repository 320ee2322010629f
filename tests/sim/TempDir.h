#ifndef TESTS_SIM_TEMPDIR_H
#define TESTS_SIM_TEMPDIR_H

#include <string>

namespace testsupport {

// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes away. Removal uses the standard
// library, never the code under test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Writes a file below the directory and returns its path.
  std::string write(const std::string& name, const std::string& contents) const;

  // Makes the directory accessible to every user, for tests run in a child
  // that dropped root.
  void openToAll() const;

 private:
  std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace testsupport

#endif
