#include "updater/firmware/KeyValueStore.h"

#include <errno.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Tessarine2/common/aFile.h"
#include "updater/firmware/FileReplace.h"
#include "updater/support/Log.h"

namespace {

// A line needs at least a key character, "=" and a newline to hold an entry.
constexpr size_t kShortestEntryLine = 3;
constexpr char kCommentMark = '#';
constexpr size_t kReadChunk = 4096;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(const char* begin, const char* end) {
  while (begin < end && isBlank(*begin)) ++begin;
  while (end > begin && isBlank(end[-1])) --end;
  return std::string(begin, end);
}

// Every entry must stay one line of the file.
std::string withoutLineBreaks(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return text;
}

void parseLine(const char* line, size_t length, std::map<std::string, std::string>& into) {
  const void* nul = memchr(line, '\0', length);
  if (nul != nullptr) {
    length = static_cast<size_t>(static_cast<const char*>(nul) - line);
  }
  if (length < kShortestEntryLine || line[0] == kCommentMark) return;
  const char* end = line + length;
  const char* equals = static_cast<const char*>(memchr(line, '=', length));
  // A line without "=" names no value; it is not an entry.
  if (equals == nullptr) return;
  into[withoutLineBreaks(trimmed(line, equals))] = withoutLineBreaks(trimmed(equals + 1, end));
}

enum class PathState { Missing, Present, Unknown };

PathState queryPath(const char* path, int* error) {
  struct stat info;
  if (stat(path, &info) == 0) {
    *error = 0;
    return PathState::Present;
  }
  *error = errno;
  return errno == ENOENT ? PathState::Missing : PathState::Unknown;
}

// Reads the whole regular file; false on any error, the contents then
// incomplete.
bool readWholeFile(const char* path, std::string& contents, int* error) {
  struct stat info;
  if (stat(path, &info) != 0) {
    *error = errno;
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  errno = 0;
  aFile* file = aFile_Open(path, aFileModeReadOnly);
  if (file == nullptr) {
    *error = errno;
    return false;
  }
  char chunk[kReadChunk];
  aErr result = aErrNone;
  for (;;) {
    size_t got = 0;
    errno = 0;
    result = aFile_Read(file, chunk, sizeof chunk, &got);
    contents.append(chunk, got);
    if (result != aErrNone) break;
  }
  *error = result == aErrEOF ? 0 : errno;
  aFile_Close(&file);
  return result == aErrEOF;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path != nullptr) Load(path);
}

std::string KeyValueStore::CurrentTimeText() {
  time_t now = time(nullptr);
  char text[32] = {0};
  if (ctime_r(&now, text) == nullptr) return std::string();
  std::string stamp(text);
  if (!stamp.empty() && stamp.back() == '\n') stamp.pop_back();
  return stamp;
}

bool KeyValueStore::Load(const char* path) {
  if (path == nullptr) return false;
  int error = 0;
  if (queryPath(path, &error) == PathState::Missing) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
    // Nothing is there to protect any more.
    if (unreadableFile == path) unreadableFile.clear();
    Add(KEY_CREATED_TIME, CurrentTimeText());
    Add(KEY_UPDATED_TIME, CurrentTimeText());
    fileName = path;
    const std::string text = Serialize();
    // Created, never replaced: another process may have made the file (and
    // recorded in it) since the look above; its file is then read instead.
    if (ReplaceFile(path, text.data(), text.size(), &error, false) == aErrNone) {
      dirty = false;
      systemError = 0;
      return true;
    }
    if (error != EEXIST) {
      Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n", path,
               error);
      systemError = error;
      return false;
    }
  }

  std::string contents;
  if (!readWholeFile(path, contents, &error)) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, error);
    Log::log(DEBUG_Attributes, "Attibutes: Error - '%s' exists but cannot be read; it is left as it is\n",
             path);
    // Saving this store would replace entries it never saw.
    fileName = path;
    unreadableFile = path;
    systemError = error;
    return false;
  }
  fileName = path;
  unreadableFile.clear();
  dirty = false;
  systemError = 0;
  Parse(contents.data(), contents.size());
  return true;
}

void KeyValueStore::Parse(const char* text, size_t length) {
  if (text == nullptr) return;
  const char* end = text + length;
  while (text < end) {
    const char* newline = static_cast<const char*>(memchr(text, '\n', static_cast<size_t>(end - text)));
    const char* lineEnd = newline != nullptr ? newline + 1 : end;
    parseLine(text, static_cast<size_t>(lineEnd - text), values);
    text = lineEnd;
  }
}

std::string KeyValueStore::Serialize() const {
  std::string text;
  for (const auto& entry : values) {
    text += entry.first;
    text += '=';
    text += entry.second;
    text += '\n';
  }
  return text;
}

bool KeyValueStore::Save(const char* path) {
  if (path != nullptr) {
    fileName = path;
  } else if (fileName.empty()) {
    fileName = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             fileName.c_str());
  }
  if (dirty) Add(KEY_UPDATED_TIME, CurrentTimeText());
  return saveTo(fileName);
}

bool KeyValueStore::saveTo(const std::string& path) {
  if (!unreadableFile.empty() && path == unreadableFile) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - '%s' could not be read; not replacing it with partial attributes\n",
             path.c_str());
    return false;
  }
  const std::string text = Serialize();
  int error = 0;
  if (ReplaceFile(path, text.data(), text.size(), &error) != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path.c_str(), error);
    systemError = error;
    return false;
  }
  dirty = false;
  systemError = 0;
  return true;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (key == nullptr) return nullptr;
  auto found = values.find(key);
  return found == values.end() ? nullptr : found->second.c_str();
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  if (key == nullptr) return defaultValue;
  const std::string& text = values[key];
  if (text.empty()) return defaultValue;
  // strtol rather than atoi: an out-of-range number saturates instead of
  // being undefined.
  long value = strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  if (key == nullptr) return defaultValue;
  const std::string& text = values[key];
  if (text.empty()) return defaultValue;
  return static_cast<uint32_t>(strtoll(text.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  if (key == nullptr) return defaultValue;
  if (values[key].empty()) return defaultValue;
  return GetInt(key, 0) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  if (key == nullptr) return defaultValue;
  const std::string& text = values[key];
  if (text.empty()) return defaultValue;
  return strtod(text.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  const char* value = (*this)[key];
  if (value != nullptr) return value;
  return defaultValue != nullptr ? defaultValue : "";
}

bool KeyValueStore::Add(const char* key, const std::string& text) {
  if (key == nullptr) return false;
  std::string stored = withoutLineBreaks(text);
  std::string& slot = values[withoutLineBreaks(key)];
  if (slot != stored) {
    dirty = true;
    slot = std::move(stored);
  }
  return true;
}

bool KeyValueStore::Add(const char* key, const char* text) {
  return Add(key, std::string(text != nullptr ? text : ""));
}

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) {
    if (!values.empty()) dirty = true;
    return true;
  }
  for (const auto& entry : other.values) {
    values[entry.first] = entry.second;
    dirty = true;
  }
  return true;
}

void KeyValueStore::Clear() {
  values.clear();
  dirty = true;
}
