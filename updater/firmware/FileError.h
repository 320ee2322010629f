#ifndef UPDATER_FIRMWARE_FILEERROR_H
#define UPDATER_FIRMWARE_FILEERROR_H

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

// A failure on one file or folder. what() is the thrower's own text, which
// callers and records may rely on word for word; file and reason say which
// file and why, in words, so that the line a user gets can name both.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& what, std::string file, std::string reason)
      : std::runtime_error(what), file_(std::move(file)), reason_(std::move(reason)) {}

  const std::string& file() const { return file_; }
  const std::string& reason() const { return reason_; }

  // "file: reason" for a FileError, else what().
  static std::string Describe(const std::exception& error) {
    const FileError* onFile = dynamic_cast<const FileError*>(&error);
    if (onFile == nullptr) return error.what();
    return onFile->file_ + ": " + onFile->reason_;
  }

 private:
  std::string file_;
  std::string reason_;
};

#endif
