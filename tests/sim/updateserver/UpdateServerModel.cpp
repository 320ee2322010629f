#include "tests/sim/updateserver/UpdateServerModel.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

void UpdateServerModel::addBuild(uint32_t serial, uint32_t build, const std::string& version,
                                 const std::string& container) {
  modules_[serial].builds[build] = SimBuild{version, container};
}

void UpdateServerModel::setLatest(uint32_t serial, uint32_t build, const std::string& version) {
  Module& m = modules_[serial];
  m.latestSet = true;
  m.latestBuild = build;
  m.latestVersion = version;
}

void UpdateServerModel::addFingerprint(const Fingerprint& fingerprint, uint32_t serial, uint32_t build) {
  fingerprints_[fingerprint] = Recovery{serial, build};
}

bool UpdateServerModel::hasModule(uint32_t serial) const { return modules_.count(serial) != 0; }

bool UpdateServerModel::latest(uint32_t serial, uint32_t* build, std::string* version) const {
  auto it = modules_.find(serial);
  if (it == modules_.end()) return false;
  const Module& m = it->second;
  if (m.latestSet) {
    *build = m.latestBuild;
    *version = m.latestVersion;
    return true;
  }
  if (m.builds.empty()) return false;
  *build = m.builds.rbegin()->first;
  *version = m.builds.rbegin()->second.version;
  return true;
}

std::map<uint32_t, SimBuild> UpdateServerModel::builds(uint32_t serial) const {
  auto it = modules_.find(serial);
  return it == modules_.end() ? std::map<uint32_t, SimBuild>{} : it->second.builds;
}

const SimBuild* UpdateServerModel::find(uint32_t serial, uint32_t build) const {
  auto it = modules_.find(serial);
  if (it == modules_.end()) return nullptr;
  auto b = it->second.builds.find(build);
  return b == it->second.builds.end() ? nullptr : &b->second;
}

bool UpdateServerModel::recovery(const Fingerprint& fingerprint, uint32_t* serial, uint32_t* build) const {
  auto it = fingerprints_.find(fingerprint);
  if (it == fingerprints_.end()) return false;
  *serial = it->second.serial;
  *build = it->second.build;
  return true;
}

// Model directory layout:
//
//   DIR/SSSSSSSS/NNNN.bird      build NNNN (decimal) of module SSSSSSSS (eight
//                               hex digits): the container bytes
//   DIR/SSSSSSSS/NNNN.version   optional; first line is the version text
//                               (default "1.0.NNNN")
//   DIR/SSSSSSSS/latest         optional; one line "BUILD VERSION" naming the
//                               latest build (default: the highest NNNN)
//   DIR/fingerprints            optional; lines "W0 W1 W2 W3 SERIAL BUILD"
//                               with the words and serial in hex, the build
//                               in decimal; blank lines and "#" lines ignored
namespace {

bool parseNumber(const std::string& text, int base, uint32_t* value) {
  if (text.empty()) return false;
  for (char c : text) {
    bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                         : std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), nullptr, base);
  if (errno != 0 || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

std::string readWhole(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

UpdateServerModel UpdateServerModel::LoadDirectory(const std::string& dir) {
  namespace fs = std::filesystem;
  UpdateServerModel model;
  if (!fs::is_directory(dir)) throw std::runtime_error("not a directory: " + dir);

  for (const fs::directory_entry& moduleDir : fs::directory_iterator(dir)) {
    if (!moduleDir.is_directory()) continue;
    std::string name = moduleDir.path().filename().string();
    uint32_t serial = 0;
    if (name.size() != 8 || !parseNumber(name, 16, &serial)) {
      throw std::runtime_error("module folder is not eight hex digits: " + moduleDir.path().string());
    }
    model.modules_[serial];
    for (const fs::directory_entry& file : fs::directory_iterator(moduleDir.path())) {
      if (file.path().extension() != ".bird") continue;
      uint32_t build = 0;
      if (!parseNumber(file.path().stem().string(), 10, &build)) {
        throw std::runtime_error("build file is not named by a decimal build: " + file.path().string());
      }
      std::string version = "1.0." + std::to_string(build);
      fs::path versionFile = file.path();
      versionFile.replace_extension(".version");
      if (fs::exists(versionFile)) version = firstLine(readWhole(versionFile));
      model.addBuild(serial, build, version, readWhole(file.path()));
    }
    fs::path latestFile = moduleDir.path() / "latest";
    if (fs::exists(latestFile)) {
      std::string line = firstLine(readWhole(latestFile));
      std::string buildText = line.substr(0, line.find(' '));
      std::string version = line.size() > buildText.size() ? line.substr(buildText.size() + 1) : "";
      uint32_t build = 0;
      if (!parseNumber(buildText, 10, &build)) {
        throw std::runtime_error("latest is not \"BUILD VERSION\": " + latestFile.string());
      }
      model.setLatest(serial, build, version);
    }
  }

  fs::path fingerprints = fs::path(dir) / "fingerprints";
  if (fs::exists(fingerprints)) {
    std::istringstream lines(readWhole(fingerprints));
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
      ++number;
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string w[4], serialText, buildText, extra;
      fields >> w[0] >> w[1] >> w[2] >> w[3] >> serialText >> buildText;
      Fingerprint fp{};
      uint32_t serial = 0, build = 0;
      bool ok = !fields.fail() && !(fields >> extra);
      for (int i = 0; ok && i < 4; ++i) ok = parseNumber(w[i], 16, &fp[i]);
      ok = ok && parseNumber(serialText, 16, &serial) && parseNumber(buildText, 10, &build);
      if (!ok) {
        throw std::runtime_error(fingerprints.string() + ":" + std::to_string(number) +
                                 ": expected \"W0 W1 W2 W3 SERIAL BUILD\"");
      }
      model.addFingerprint(fp, serial, build);
    }
  }
  return model;
}

}  // namespace testsupport
