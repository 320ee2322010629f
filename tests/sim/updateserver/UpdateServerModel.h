#ifndef TESTS_SIM_UPDATESERVER_UPDATESERVERMODEL_H
#define TESTS_SIM_UPDATESERVER_UPDATESERVERMODEL_H

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace testsupport {

// One firmware build as the simulated update server offers it.
struct SimBuild {
  std::string version;    // opaque version text, sent as the server chooses it
  std::string container;  // the ".bird" container bytes, sent base64-encoded
};

// What the simulated update server knows: the builds of each module (by
// serial number), which build is the latest, and which module and build a
// chip fingerprint belongs to.
class UpdateServerModel {
 public:
  using Fingerprint = std::array<uint32_t, 4>;

  void addBuild(uint32_t serial, uint32_t build, const std::string& version, const std::string& container);
  // Without this call the latest build is the module's highest build number.
  // The build need not be one of the module's builds.
  void setLatest(uint32_t serial, uint32_t build, const std::string& version);
  void addFingerprint(const Fingerprint& fingerprint, uint32_t serial, uint32_t build);

  bool hasModule(uint32_t serial) const;
  // False when the module is unknown or has no build at all.
  bool latest(uint32_t serial, uint32_t* build, std::string* version) const;
  // Empty for an unknown module.
  std::map<uint32_t, SimBuild> builds(uint32_t serial) const;
  const SimBuild* find(uint32_t serial, uint32_t build) const;
  bool recovery(const Fingerprint& fingerprint, uint32_t* serial, uint32_t* build) const;

  // Reads a model directory (layout in the .cpp); throws std::runtime_error
  // naming the file that is wrong.
  static UpdateServerModel LoadDirectory(const std::string& dir);

 private:
  struct Module {
    std::map<uint32_t, SimBuild> builds;
    bool latestSet = false;
    uint32_t latestBuild = 0;
    std::string latestVersion;
  };
  struct Recovery {
    uint32_t serial;
    uint32_t build;
  };

  std::map<uint32_t, Module> modules_;
  std::map<Fingerprint, Recovery> fingerprints_;
};

}  // namespace testsupport

#endif
