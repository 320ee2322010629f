#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"
#include "updater/firmware/FileError.h"
#include "updater/firmware/UpdaterStore.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/support/Log.h"
#include "updater/support/base64.h"

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// The spinner turns once per wait on the download worker.
constexpr std::chrono::milliseconds kSpinnerStep(100);

// A build text as the server and the command line write it: base-10, the
// value kept in 32 bits. False for a text that is not a number.
bool convertBuild(const std::string& text, unsigned* build) {
  try {
    *build = static_cast<unsigned>(std::stoul(text, nullptr, 10));
    return true;
  } catch (const std::logic_error&) {
    return false;
  }
}

unsigned buildOrZero(const std::string& text) {
  unsigned build = 0;
  if (!convertBuild(text, &build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return build;
}

// Everything the download worker needs; moved into the worker and gone
// with it. Only the worker touches it; the caller reads *result after the
// join.
struct DownloadClosure {
  Updater* updater;
  std::promise<bool>* done;
  uint32_t serialNumber;
  std::string version;
  std::string build;
  std::string* result;
  bool noCal;
  ServerRequestFailure* failure;  // why the request failed, read after the join
};

void downloadWorker(DownloadClosure closure) {
  bool fetched = UpdateServerRequest::GetBuild(closure.serialNumber, closure.version.c_str(), closure.build.c_str(),
                                               *closure.result, closure.updater->url.c_str(), closure.noCal,
                                               closure.failure);
  closure.done->set_value(fetched);
}

// What the downloaded bytes are, before they may replace a stored build.
enum class Downloaded { NoContainer, OtherBuild, OtherModule, Requested };

// The container must be the build asked for and for this module: it is
// stored under the build's name, and a later update trusts that name. A
// generic container carries no module's serial number; the update patches
// it in.
Downloaded checkDownloaded(const unsigned char* bytes, size_t count, unsigned build, uint32_t serialNumber,
                           BirdFile* container) {
  if (!container->LoadData(bytes, count)) return Downloaded::NoContainer;
  if (container->GetBuild() != build) return Downloaded::OtherBuild;
  if (!container->hasSerialOffsets && !container->ValidateSerialNumber(serialNumber)) {
    return Downloaded::OtherModule;
  }
  return Downloaded::Requested;
}

}  // namespace

bool _valid_build(unsigned serialNumber, unsigned build, const char* url, ServerRequestFailure* failure) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url, failure)) {
    return false;
  }
  for (const auto& entry : builds) {
    if (buildOrZero(entry.first) == build) {
      return true;
    }
  }
  return false;
}

unsigned Updater::Download_Firmware(unsigned serialNumber, std::string buildText, bool overrideChecks, bool noCal) {
  unsigned build = 0;
  if (!buildText.empty() && !convertBuild(buildText, &build)) {
    display.message(kError, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(kError, "Serial Number must be non-zero");
    return 0;
  }
  ServerRequestFailure failure;
  if (!UpdateServerRequest::ping(url.c_str(), &failure)) {
    display.message(kError, "Server request failed for %s: %s", url.c_str(), failure.reason.c_str());
    return 0;
  }

  UpdaterStoreItem item;
  try {
    UpdaterStore store(storeDir.c_str());
    if (!store.FindDevice(serialNumber, &item)) {
      Log::log(DEBUG_APP, "Could not find device in our update history.\n");
      item = store.AddDevice(serialNumber);
    }
  } catch (const std::runtime_error& error) {
    display.message(kError, "Could not create directory for storing BIRD file: %s",
                    FileError::Describe(error).c_str());
    return 0;
  }

  std::string serverBuild;
  std::string version;
  if (!UpdateServerRequest::QueryBuild(serialNumber, serverBuild, version, url.c_str(), &failure)) {
    display.message(kError, "No build information for device: %s", failure.reason.c_str());
    return 0;
  }
  if (build == 0) {
    build = buildOrZero(serverBuild);
  }

  display.message(kInfo, "Retrieving build %u", build);
  if (!overrideChecks) {
    display.message(kInfo, "Validating build %u with server", build);
    failure = ServerRequestFailure();
    if (!_valid_build(serialNumber, build, url.c_str(), &failure)) {
      if (failure.reason.empty()) {
        display.message(kError, "No valid build %u", build);
      } else {
        display.message(kError, "No valid build %u: %s", build, failure.reason.c_str());
      }
      return 0;
    }
    display.message(kInfo, "Build %u is valid", build);
  } else {
    display.message(kInfo, "Override specified, skipping validation of build %u", build);
  }

  buildText = std::to_string(build);
  std::string container;
  std::promise<bool> done;
  std::future<bool> fetched = done.get_future();
  failure = ServerRequestFailure();
  std::thread worker(downloadWorker, DownloadClosure{this, &done, serialNumber, std::move(version), buildText,
                                                     &container, noCal, &failure});

  display.update_spinner(true, "Downloading");
  while (fetched.wait_for(kSpinnerStep) != std::future_status::ready) {
    display.update_spinner(true, "Downloading");
  }
  display.update_spinner(false, "Downloading");

  bool ok = fetched.get();
  worker.join();
  if (!ok) {
    display.message(kError, "Download failed for %s: %s", url.c_str(), failure.reason.c_str());
  }
  if (container.empty()) {
    display.message(kError, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  // Text that is not base64, or bytes that are no container, are a failed
  // download: the stored build (if any) stays as it was and nothing is
  // recorded.
  size_t count = 0;
  unsigned char* bytes = base64_decode(container.c_str(), container.size(), &count);
  BirdFile received;
  const Downloaded what =
      bytes != nullptr ? checkDownloaded(bytes, count, build, serialNumber, &received) : Downloaded::NoContainer;
  if (what != Downloaded::Requested) {
    std::free(bytes);
    if (what == Downloaded::OtherBuild) {
      display.message(kError, "Server sent build %u instead of build %u; not stored", received.GetBuild(), build);
    } else if (what == Downloaded::OtherModule) {
      display.message(kError, "Server sent build %u for device %08X instead of %08X; not stored", build,
                      received.GetSerialNumber(), serialNumber);
    }
    display.message(kError, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  const std::string fileName = buildText + ".bird";
  const std::string now = KeyValueStore::CurrentTimeText();
  std::string writeError;
  aErr written = item.WriteFile(fileName.c_str(), bytes, count, &writeError);
  std::free(bytes);
  if (written != aErrNone) {
    display.message(kError, "Failed to write file with %d: %s", static_cast<int>(written), writeError.c_str());
    return 0;
  }

  std::string recordError;
  const bool recorded = item.ChangeAttributes(
      [&](KeyValueStore& record) {
        record.Add(UpdaterStoreKeys::LATEST_DOWNLOAD, fileName);
        record.Add(UpdaterStoreKeys::LAST_DOWNLOAD_DATE, now);
      },
      &recordError);
  if (!recorded) {
    // The container is stored; only the record of it is missing.
    display.message(kError, "Could not record the download of %s: %s", fileName.c_str(), recordError.c_str());
    return 0;
  }
  return build;
}

unsigned Updater::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool overrideChecks) {
  unsigned serialNumber = 0;
  unsigned serverBuild = 0;
  ServerRequestFailure failure;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &serverBuild, url.c_str(), &failure)) {
    display.message(kError, "Failed to retrieve recovery information from Zeltrova update server: %s",
                    failure.reason.c_str());
    return 0;
  }
  unsigned build = buildOrZero(buildText);
  if (build == 0) {
    build = serverBuild;
  }
  return Download_Firmware(serialNumber, std::to_string(build), overrideChecks, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned serialNumber) {
  std::map<std::string, std::string> builds;
  ServerRequestFailure failure;
  if (!UpdateServerRequest::ping(url.c_str(), &failure)) {
    display.message(kError, "Server request failed for %s: %s", url.c_str(), failure.reason.c_str());
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url.c_str(), &failure)) {
    display.message(kError, "Failed to retrieve builds for %08X: %s", serialNumber, failure.reason.c_str());
  }
  return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned) { return {}; }
