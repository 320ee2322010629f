#include "updater/Updater.h"

#include <stdexcept>

#include "updater/firmware/FileError.h"
#include "updater/firmware/UpdaterStore.h"

Updater::Updater(const char* url, const char* storeDir, UpdaterDisplayInterface& display)
    : url(url != nullptr ? url : ""),
      storeDir(storeDir != nullptr ? storeDir : ""),
      display(display),
      recoveryChip(kRecoveryChipNone) {}

Updater::~Updater() = default;

BirdFile Updater::load_bird(const char* verb, std::string path, unsigned serialNumber, unsigned build,
                            bool allowDownload) {
  // The constructor makes sure the store directory exists; its failure is
  // the caller's to report.
  UpdaterStore store(storeDir.c_str());
  UpdaterStoreItem item;

  if (!path.empty()) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s from Birdfile: %s", verb, path.c_str());
    return BirdFile(path.c_str());
  }

  item = store.AddDevice(serialNumber);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s firmware with build: %u", verb, build);
  const std::string fileName = std::to_string(build) + ".bird";

  try {
    return item.ReadBirdFile(fileName.c_str());
  } catch (const std::runtime_error& error) {
    if (!allowDownload) {
      // The stored file and why it cannot be read go with the text.
      const FileError* onFile = dynamic_cast<const FileError*>(&error);
      throw FileError("Error reading birdfile", onFile != nullptr ? onFile->file() : fileName,
                      onFile != nullptr ? onFile->reason() : error.what());
    }
  }

  // A missing file and one that is no valid container are fetched again
  // alike; the download reports its own failures and the read below then
  // throws.
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "Downloading firmware build %u", build);
  Download_Firmware(serialNumber, std::to_string(build), false, false);
  return item.ReadBirdFile(fileName.c_str());
}
