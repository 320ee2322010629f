#ifndef TESTS_UPDATER_APP_ARGUMENTLIST_H
#define TESTS_UPDATER_APP_ARGUMENTLIST_H

#include <string>
#include <vector>

namespace testsupport {

// A writable argv built from words; the parser cuts words at "=" and
// reorders the pointers, so each word has its own buffer.
class ArgumentList {
 public:
  explicit ArgumentList(const std::vector<std::string>& words) {
    for (const std::string& word : words) {
      storage_.emplace_back(word.begin(), word.end());
      storage_.back().push_back('\0');
    }
    for (std::vector<char>& word : storage_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  ArgumentList(const ArgumentList&) = delete;
  ArgumentList& operator=(const ArgumentList&) = delete;

  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }

  // The words in their present order.
  std::vector<std::string> words() const {
    std::vector<std::string> out;
    for (int i = 0; i < argc(); ++i) out.push_back(pointers_[static_cast<size_t>(i)]);
    return out;
  }

 private:
  std::vector<std::vector<char>> storage_;
  std::vector<char*> pointers_;
};

}  // namespace testsupport

#endif
