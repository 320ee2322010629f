#ifndef UPDATER_FIRMWARE_UPDATERSTORE_H
#define UPDATER_FIRMWARE_UPDATERSTORE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Tessarine2/common/aError.h"
#include "updater/firmware/BirdFile.h"
#include "updater/firmware/KeyValueStore.h"
#include "updater/firmware/RecordLock.h"

// The per-user firmware store:
//
//   base/                    the store directory (mode 0755)
//     %08X/                  one folder per module, its serial number (0755)
//       .settings            the module's attributes (KeyValueStore)
//       <build>.bird         one container per downloaded build
//
// Every key that the updater writes to or reads from a module's ".settings".
struct UpdaterStoreKeys {
  // The last downloaded file, "<build>.bird".
  static constexpr const char* LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
  // ctime text of that download, without the newline.
  static constexpr const char* LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";
  // The last transferred build: the "-f" path as given, else "<build>.bird".
  static constexpr const char* LATEST_TRANSFER = "LATEST_TRANSFER";
  // ctime text of that transfer, without the newline.
  static constexpr const char* LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";
  // Read only; nothing writes it.
  static constexpr const char* LAST_TRANSFER_VERSION = "LAST_TRANSFER_VERSION";
  // Kept by KeyValueStore itself.
  static constexpr const char* CREATED_TIME = KeyValueStore::KEY_CREATED_TIME;
  static constexpr const char* UPDATED_TIME = KeyValueStore::KEY_UPDATED_TIME;
};

enum store_item_t {
  ITEM_FILE = 0,
  ITEM_DIRECTORY = 1,
  ITEM_NONE = 2,  // an empty item
};

// One folder (or file) of the store with the attributes of its ".settings".
// Copied by value, attributes and their dirty flag included.
class UpdaterStoreItem {
 public:
  // Empty: no path, no name, ITEM_NONE, attributes without a file.
  UpdaterStoreItem();
  // Loads the attributes from basePath/name/".settings", creating that file
  // when it is missing.
  UpdaterStoreItem(const char* basePath, const char* name, store_item_t type);

  bool IsValid() const;

  // Gives basePath/name/file the count bytes, by way of a temporary file
  // renamed into place: a failed or short write leaves an earlier file
  // whole. aErrNotFound for NULL bytes or when the folder is missing or no
  // folder, aErrPermission when the file may not be created there
  // (read-only), aErrParam for a file name that is empty, "." or ".." or
  // holds a "/", aErrIO for a failed write (a full disk), close or rename.
  // why, when not NULL, receives "<path>: <the system's reason>" on a
  // failure.
  aErr WriteFile(const char* file, const unsigned char* bytes, uint64_t count, std::string* why = nullptr);

  // The container basePath/name/file. Throws FileError "Invalid bird <path>"
  // (with the reason) when its header is refused; the BirdFile
  // constructor's own exception passes through. A file name that is not a
  // plain name inside the folder (empty, ".", "..", or holding a "/") is
  // logged and refused as if no such file were stored: names come from
  // records, which anybody may have edited.
  BirdFile ReadBirdFile(const char* file);

  // The build a record key names by its leading digits ("1234.bird" gives
  // 1234), 0 when it names none. A value that is not a plain file name is
  // logged and read as none. Like KeyValueStore::GetInt, a missing key is
  // added with an empty value.
  unsigned RecordedBuild(const char* key);

  // Changes the record under its lock (RecordLock): the ".settings" is read
  // afresh, change applied to that and the result written back, so keys that
  // another process recorded meanwhile stay. Keys this item holds with an
  // empty value (added by the getters) are written as well when the file
  // lacks them. On success attributes hold what was written. False, with
  // *error naming the file and what failed (it cannot be locked within
  // waitMs, read or written), leaving the file as it was.
  bool ChangeAttributes(const std::function<void(KeyValueStore&)>& change, std::string* error,
                        int waitMs = RecordLock::DEFAULT_WAIT_MS);

  // basePath/name/".settings"
  std::string SettingsPath() const;

  // True when the item's folder holds an entry named exactly file.
  bool FileExists(const char* file);

  std::string basePath;  // the directory that holds the item
  std::string name;      // the item's own name; a module folder's "%08X"
  store_item_t itemType;
  KeyValueStore attributes;
};

class UpdaterStore {
 public:
  // Makes sure the directory exists. Throws FileError (a
  // std::runtime_error naming the path and the reason)
  // "UpdaterStore: Could not create directory <path> error <code>" or
  // "UpdaterStore: <path> exists and is a file".
  explicit UpdaterStore(const char* basePath);

  const char* BasePath() const;

  // Looks for the base-directory entry whose own name is exactly the name
  // (for a serial number its "%08X"); on a match fills item (when not NULL)
  // and loads its attributes. False when there is none or the base
  // directory cannot be listed.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
  bool FindDevice(const char* name, UpdaterStoreItem* item);

  // Makes sure base/name exists (may throw like the constructor) and returns
  // its item.
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const char* name);

  // Appends an item for every entry of the module's folder whose name does
  // not begin with "."; true in every case.
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

 private:
  std::string basePath;
};

#endif
