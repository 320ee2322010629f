#include "updater/firmware/UpdaterStore.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Tessarine2/common/aDirectory.h"
#include "updater/firmware/FileError.h"
#include "updater/firmware/FileReplace.h"
#include "updater/support/BuildPath.h"
#include "updater/support/Log.h"

namespace {

constexpr uint16_t kFolderMode = 0755;

// What a search hands to its listing callback.
struct result_t {
  bool found = false;
  std::string searchName;
  UpdaterStoreItem* target = nullptr;  // NULL when only presence matters
};

std::string serialName(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serial));
  return text;
}

// The part of an entry's path after its last separator.
const char* ownName(const char* path) {
  const char* slash = strrchr(path, aDIR_PATH_SEP[0]);
  return slash != nullptr ? slash + 1 : path;
}

bool isDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// The directory part of an entry's path, up to its last separator.
std::string folderOf(const char* path) {
  const char* slash = strrchr(path, aDIR_PATH_SEP[0]);
  return slash != nullptr ? std::string(path, static_cast<size_t>(slash - path)) : std::string();
}

bool _find_item(const aDirectoryListData* entry, void* reference) {
  result_t* result = static_cast<result_t*>(reference);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           static_cast<int>(entry->isDirectory), static_cast<int>(entry->size), result->searchName.c_str());
  const char* name = ownName(entry->path);
  // Only the entry's own name counts: the base path may itself contain the
  // text searched for (a store kept under a folder named after a module).
  if (isDotEntry(name) || result->searchName != name) return true;
  result->found = true;
  if (result->target != nullptr) {
    *result->target = UpdaterStoreItem(folderOf(entry->path).c_str(), name,
                                       entry->isDirectory ? ITEM_DIRECTORY : ITEM_FILE);
  }
  return false;
}

struct items_t {
  std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* reference) {
  items_t* found = static_cast<items_t*>(reference);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, static_cast<int>(entry->isDirectory),
           static_cast<int>(entry->size));
  const char* name = ownName(entry->path);
  if (name[0] == '.') return true;
  found->items->push_back(UpdaterStoreItem(folderOf(entry->path).c_str(), name,
                                           entry->isDirectory ? ITEM_DIRECTORY : ITEM_FILE));
  return true;
}

bool searchFolder(const std::string& folder, const char* name, UpdaterStoreItem* target) {
  result_t result;
  result.searchName = name != nullptr ? name : "";
  result.target = target;
  if (!result.searchName.empty()) {
    aDirectory_List(folder.c_str(), _find_item, &result);
  }
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           result.searchName.c_str());
  return result.found;
}

// Why the directory path could not be made, in words. aDirectory_Ensure
// keeps no system error, so the last step is tried once more for it; the
// parent normally exists (the store, or the folder above it).
std::string whyNotMade(const std::string& path) {
  if (mkdir(path.c_str(), kFolderMode) == 0) {
    return "it vanished while being made";
  }
  const int cause = errno;
  struct stat info;
  if (cause == EEXIST && stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
    return "it exists and is not a directory";
  }
  return std::strerror(cause);
}

void _ensure_directory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    aErr result = aDirectory_Ensure(path.c_str(), kFolderMode);
    if (result != aErrNone) {
      throw FileError("UpdaterStore: Could not create directory " + path + " error " + std::to_string(result), path,
                      whyNotMade(path));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
  } else if (!S_ISDIR(info.st_mode)) {
    throw FileError("UpdaterStore: " + path + " exists and is a file", path, "it exists and is not a directory");
  } else {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
  }
}

std::string systemErrorText(int error) { return error != 0 ? std::strerror(error) : "unknown cause"; }

// A name that stays inside the item's folder.
bool isPlainFileName(const char* file) {
  return file != nullptr && file[0] != '\0' && !isDotEntry(file) && strchr(file, aDIR_PATH_SEP[0]) == nullptr;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem() : itemType(ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const char* basePath, const char* name, store_item_t type)
    : basePath(basePath != nullptr ? basePath : ""), name(name != nullptr ? name : ""), itemType(type) {
  attributes.Load(BuildPath(this->basePath.c_str(), this->name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr)
                      .c_str());
}

bool UpdaterStoreItem::IsValid() const { return !basePath.empty() && !name.empty(); }

aErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* bytes, uint64_t count, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  reason.clear();
  if (bytes == nullptr) {
    reason = "no bytes to write";
    return aErrNotFound;
  }
  if (!isPlainFileName(file)) {
    reason = std::string("[") + (file != nullptr ? file : "") + "] is not a plain file name";
    return aErrParam;
  }
  std::string path = BuildPath(basePath.c_str(), name.c_str(), file, nullptr);
  if (count > SIZE_MAX) {
    reason = path + ": too large for this system";
    return aErrSize;
  }
  int error = 0;
  aErr result = ReplaceFile(path, bytes, static_cast<size_t>(count), &error);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "UpdaterStore: could not write [%s] (%d, system error %d); any earlier file is kept.\n",
             path.c_str(), static_cast<int>(result), error);
    reason = path + ": " + (error != 0 ? std::strerror(error) : "the write failed");
  }
  return result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file) {
  if (!isPlainFileName(file)) {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] is not a file of [%s/%s]; ignored.\n", file != nullptr ? file : "",
             basePath.c_str(), name.c_str());
    const std::string text = file != nullptr ? file : "";
    throw FileError("Not a file of the store: " + text, text, "not a plain file name inside the module's folder");
  }
  std::string path = BuildPath(basePath.c_str(), name.c_str(), file != nullptr ? file : "", nullptr);
  std::string why;
  if (!BirdFile::VerifyFile(path.c_str(), &why)) {
    throw FileError("Invalid bird " + path, path, why);
  }
  return BirdFile(path.c_str());
}

unsigned UpdaterStoreItem::RecordedBuild(const char* key) {
  const char* text = attributes[key];
  if (text != nullptr && text[0] != '\0' && !isPlainFileName(text)) {
    Log::log(DEBUG_Updater, "UpdaterStore: %s [%s] is not a file of [%s/%s]; ignored.\n", key, text,
             basePath.c_str(), name.c_str());
    return 0;
  }
  int build = attributes.GetInt(key, 0);
  return build > 0 ? static_cast<unsigned>(build) : 0;
}

std::string UpdaterStoreItem::SettingsPath() const {
  return BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

bool UpdaterStoreItem::ChangeAttributes(const std::function<void(KeyValueStore&)>& change, std::string* error,
                                        int waitMs) {
  std::string ignored;
  std::string& why = error != nullptr ? *error : ignored;
  if (!IsValid()) {
    why = "the module has no folder in the store";
    return false;
  }
  const std::string path = SettingsPath();
  RecordLock lock;
  std::string lockError;
  if (!lock.Acquire(path, waitMs, &lockError)) {
    why = path + " cannot be locked: " + lockError;
    return false;
  }
  KeyValueStore fresh;
  if (!fresh.Load(path.c_str())) {
    why = path + " cannot be read: " + systemErrorText(fresh.SystemError());
    return false;
  }
  for (const auto& entry : attributes.Values()) {
    if (entry.second.empty() && fresh[entry.first.c_str()] == nullptr) fresh.Add(entry.first.c_str(), "");
  }
  change(fresh);
  if (!fresh.Save(path.c_str())) {
    why = path + " cannot be written: " + systemErrorText(fresh.SystemError());
    return false;
  }
  attributes = fresh;
  return true;
}

bool UpdaterStoreItem::FileExists(const char* file) {
  return searchFolder(BuildPath(basePath.c_str(), name.c_str(), nullptr), file, nullptr);
}

UpdaterStore::UpdaterStore(const char* basePath) : basePath(basePath != nullptr ? basePath : "") {
  _ensure_directory(this->basePath);
}

const char* UpdaterStore::BasePath() const { return basePath.c_str(); }

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
  return FindDevice(serialName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) { return searchFolder(basePath, name, item); }

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(serialName(serial).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  _ensure_directory(BuildPath(basePath.c_str(), name != nullptr ? name : "", nullptr));
  return UpdaterStoreItem(basePath.c_str(), name, ITEM_DIRECTORY);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (FindDevice(serial, &device)) {
    items_t found{&items};
    aDirectory_List(BuildPath(device.basePath.c_str(), device.name.c_str(), nullptr).c_str(), _find_items, &found);
  }
  return true;
}
