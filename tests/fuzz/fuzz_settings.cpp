// Parses arbitrary ".settings" text and checks what the parser promises:
// every entry fits on one line with its key and value trimmed, and writing
// the entries out and reading them back gives the same entries (except those
// that the format cannot hold: an empty key with an empty value, whose line
// "=" is too short to count, and a key that begins with the comment mark).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "updater/firmware/KeyValueStore.h"

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool holdsLineBreak(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

bool isTrimmed(const std::string& s) { return s.empty() || (!isBlank(s.front()) && !isBlank(s.back())); }

void check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KeyValueStore parsed;
  parsed.Parse(reinterpret_cast<const char*>(data), size);
  check(!parsed.IsDirty());

  std::map<std::string, std::string> expected;
  for (const auto& entry : parsed.Values()) {
    check(entry.first.find('=') == std::string::npos);
    check(!holdsLineBreak(entry.first) && !holdsLineBreak(entry.second));
    check(isTrimmed(entry.first) && isTrimmed(entry.second));
    check(parsed[entry.first.c_str()] != nullptr);
    if ((entry.first.empty() && entry.second.empty()) || (!entry.first.empty() && entry.first[0] == '#')) {
      continue;
    }
    expected.insert(entry);
  }

  const std::string text = parsed.Serialize();
  KeyValueStore reread;
  reread.Parse(text.data(), text.size());
  check(reread.Values() == expected);
  return 0;
}
