#ifndef UPDATER_FIRMWARE_KEYVALUESTORE_H
#define UPDATER_FIRMWARE_KEYVALUESTORE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// A small set of text attributes kept in a ".settings" file:
//
//   KEY=VALUE\n       one entry per line, written in byte order of the keys
//
// On reading, a line shorter than 3 bytes (newline included), a line whose
// first byte is '#' and a line without '=' are skipped; white space around
// the key and the value is dropped; later '=' belong to the value; the last
// line of a key wins. A line ends at its newline or at the end of the text;
// a NUL byte ends the line's content. Lines may have any length.
//
// Keys and values never hold a line break: Add stores a carriage return,
// newline or NUL byte as a space, and so does the parser for one inside a
// line, so every entry is written as exactly one line.
//
// Changes reach the file only through Save, which replaces the file as a
// whole (see FileReplace.h): a failed Save leaves the old file as it was and
// the store dirty. A file that exists but cannot be read is never written
// over by the store that failed to read it.
class KeyValueStore {
 public:
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

  // Empty and clean; with a path, Load of that path.
  explicit KeyValueStore(const char* path = nullptr);
  KeyValueStore(const KeyValueStore&) = default;
  KeyValueStore& operator=(const KeyValueStore&) = default;
  ~KeyValueStore() = default;  // discards the entries without saving

  // Reads path into the store; entries already held stay unless a line
  // replaces them. A missing file is created at once, holding CREATED_TIME
  // and UPDATED_TIME; when another process creates it first, its file is
  // read instead of being replaced. A file that exists but cannot be read leaves the store
  // unchanged and is remembered, so that no Save replaces it. False when the
  // file could not be read or the missing file could not be created.
  bool Load(const char* path);

  // Writes every entry to path (NULL: the file last loaded or saved, else
  // DEFAULT_FILENAME in the current directory). A dirty store first gets a
  // fresh UPDATED_TIME. False, with the file untouched and the store still
  // dirty, when it cannot be written.
  bool Save(const char* path = nullptr);

  // Merges the entries of a ".settings" text into the store, by the rules
  // above; the file name and the dirty flag are left alone.
  void Parse(const char* text, size_t length);

  // The text Save writes.
  std::string Serialize() const;

  // The value's text, NULL when the key is absent. Valid until the entry
  // changes.
  const char* operator[](const char* key) const;

  // The numeric getters add a missing key with an empty value (without
  // making the store dirty), so a later Save writes "KEY=". An empty value
  // gives the default.
  int GetInt(const char* key, int defaultValue);             // leading decimal digits
  uint32_t GetHex(const char* key, uint32_t defaultValue);   // base 16, "0x" allowed
  bool GetBOOL(const char* key, bool defaultValue);          // GetInt != 0
  double GetDouble(const char* key, double defaultValue);
  // The value when the key exists (even when empty), else the default
  // (empty for NULL). Adds nothing.
  std::string GetString(const char* key, const char* defaultValue) const;

  // Set a value; the store becomes dirty when the text changes. False only
  // for a NULL key.
  bool Add(const char* key, const char* text);  // NULL text counts as empty
  bool Add(const char* key, const std::string& text);
  bool Add(const char* key, int value);         // "%d"
  bool Add(const char* key, double value);      // "%f"
  bool AddHex(const char* key, uint32_t value);  // "0x%08X"
  // Copies every entry of other, replacing equal keys; dirty when at least
  // one entry was copied.
  bool Add(const KeyValueStore& other);

  // Removes every entry; the store becomes dirty.
  void Clear();

  const std::string& FileName() const { return fileName; }
  bool IsDirty() const { return dirty; }
  // The system error number of the last Load or Save that failed, 0 after
  // one that succeeded.
  int SystemError() const { return systemError; }
  const std::map<std::string, std::string>& Values() const { return values; }

  // The local time as ctime writes it, without the newline.
  static std::string CurrentTimeText();

 private:
  bool saveTo(const std::string& path);

  std::string fileName;
  std::map<std::string, std::string> values;
  bool dirty = false;
  int systemError = 0;
  // A file that exists but could not be read; Save refuses to replace it.
  std::string unreadableFile;
};

#endif
