// record-writer STORE SERIAL PREFIX COUNT
//
// Changes one module's record COUNT times, as that many runs of the tool
// would: each change finds the module afresh and adds PREFIX<i>=<i>.
// Exit 0 when every change was recorded, else 1 with the reason on stderr.

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "updater/firmware/UpdaterStore.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: record-writer STORE SERIAL PREFIX COUNT\n");
    return 2;
  }
  const std::string base = argv[1];
  const uint32_t serial = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 16));
  const std::string prefix = argv[3];
  const int count = std::atoi(argv[4]);
  try {
    for (int i = 0; i < count; ++i) {
      UpdaterStore store(base.c_str());
      UpdaterStoreItem item;
      if (!store.FindDevice(serial, &item)) item = store.AddDevice(serial);
      std::string error;
      const std::string key = prefix + std::to_string(i);
      if (!item.ChangeAttributes([&](KeyValueStore& record) { record.Add(key.c_str(), std::to_string(i)); },
                                 &error)) {
        std::fprintf(stderr, "record-writer: change %d: %s\n", i, error.c_str());
        return 1;
      }
    }
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "record-writer: %s\n", e.what());
    return 1;
  }
  return 0;
}
