// sim-download-demo: runs the download road against an update server with
// the pieces built so far: ping, latest-build query, build download, base64
// decoding, container check, and a store write recorded in ".settings".
//
//   sim-download-demo URL STORE_DIR SERIAL_HEX
//
// It stands in for the updater's -G command until the command line exists.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "updater/firmware/BirdFile.h"
#include "updater/firmware/UpdaterStore.h"
#include "updater/server/UpdateServerRequest.h"
#include "updater/support/base64.h"

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "demo: %s\n", what);
  return 1;
}

std::string now() {
  std::time_t t = std::time(nullptr);
  std::string text = std::ctime(&t);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail("usage: sim-download-demo URL STORE_DIR SERIAL_HEX");
  const char* url = argv[1];
  const uint32_t serial = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 16));

  if (!UpdateServerRequest::ping(url)) return fail("the update server does not answer");
  std::string build, version;
  if (!UpdateServerRequest::QueryBuild(serial, build, version, url)) return fail("no latest build");
  std::printf("Latest build for [%08X]: %s (%s)\n", serial, build.c_str(), version.c_str());

  std::string text;
  if (!UpdateServerRequest::GetBuild(serial, version.c_str(), build.c_str(), text, url, false)) {
    return fail("download failed");
  }
  size_t length = 0;
  unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
  if (bytes == nullptr) return fail("the download is not base64");

  BirdFile bird;
  const bool loaded = bird.LoadData(bytes, length);
  if (loaded) {
    std::printf("Container: %u blocks, build %u, version %s\n", bird.blockCount, bird.GetBuild(),
                bird.GetVersion().c_str());
  }

  try {
    UpdaterStore store(argv[2]);
    UpdaterStoreItem item = store.AddDevice(serial);
    const std::string file = build + ".bird";
    const aErr written = loaded ? item.WriteFile(file.c_str(), bytes, length) : aErrParam;
    std::free(bytes);
    if (!loaded) return fail("the download is not a valid container");
    if (written != aErrNone) return fail("could not write the container into the store");
    item.attributes.Add(UpdaterStoreKeys::LATEST_DOWNLOAD, file);
    item.attributes.Add(UpdaterStoreKeys::LAST_DOWNLOAD_DATE, now());
    if (!item.attributes.Save()) return fail("could not save .settings");
    std::printf("Stored %s/%s/%s\n", store.BasePath(), item.name.c_str(), file.c_str());
  } catch (const std::exception& e) {
    std::free(bytes);
    return fail(e.what());
  }
  return 0;
}
