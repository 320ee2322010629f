#ifndef TESTS_UPDATER_APP_FAKEUPDATER_H
#define TESTS_UPDATER_APP_FAKEUPDATER_H

#include <string>
#include <vector>

#include "updater/UpdaterOperations.h"

namespace testsupport {

// Records every operation with its arguments as one text and answers with
// the results it was given.
class FakeUpdater : public UpdaterOperations {
 public:
  bool fingerprintResult = true;
  std::string fingerprintFailure;  // why a failing fingerprint failed
  Fingerprint fingerprint{{0x11111111, 0x22222222, 0x33333333, 0x44444444}};
  unsigned downloadResult = 0;
  bool recoverResult = false;
  bool updateResult = false;
  std::vector<DeviceInfo> devices;
  std::map<std::string, std::string> builds;

  std::vector<std::string> calls;

  bool Get_Fingerprint(Fingerprint& result, std::string port, unsigned serialNumber, std::string filePath,
                       unsigned baudRate, bool reset, std::string* failure) override {
    calls.push_back("Get_Fingerprint " + port + " " + hex(serialNumber) + " [" + filePath + "] " +
                    std::to_string(baudRate) + (reset ? " reset" : " noreset"));
    if (fingerprintResult) result = fingerprint;
    if (!fingerprintResult && failure != nullptr) *failure = fingerprintFailure;
    return fingerprintResult;
  }

  unsigned Download_Firmware(unsigned serialNumber, std::string buildText, bool overrideChecks, bool noCal) override {
    calls.push_back("Download_Firmware " + hex(serialNumber) + " [" + buildText + "]" + flag(overrideChecks, "override") +
                    flag(noCal, "nocal"));
    return downloadResult;
  }

  std::vector<DeviceInfo> Discover_Devices(linkType type) override {
    calls.push_back("Discover_Devices " + std::to_string(type));
    return devices;
  }

  std::vector<DeviceInfo> Discover_TNNetwork_Devices(unsigned routerSerial, linkType type) override {
    calls.push_back("Discover_TNNetwork_Devices " + hex(routerSerial) + " " + std::to_string(type));
    return devices;
  }

  bool Recover_Firmware(std::string port, unsigned build, unsigned baudRate, unsigned serialNumber,
                        std::string filePath, bool overrideChecks) override {
    calls.push_back("Recover_Firmware " + port + " " + std::to_string(build) + " " + std::to_string(baudRate) + " " +
                    hex(serialNumber) + " [" + filePath + "]" + flag(overrideChecks, "override"));
    return recoverResult;
  }

  bool Update_Firmware(unsigned serialNumber, unsigned build, std::string filePath, uint8_t moduleAddr,
                       unsigned routerSerial, bool overrideChecks) override {
    calls.push_back("Update_Firmware " + hex(serialNumber) + " " + std::to_string(build) + " [" + filePath + "] " +
                    std::to_string(moduleAddr) + " " + hex(routerSerial) + flag(overrideChecks, "override"));
    return updateResult;
  }

  std::map<std::string, std::string> Get_BuildList(unsigned serialNumber) override {
    calls.push_back("Get_BuildList " + hex(serialNumber));
    return builds;
  }

 private:
  static std::string hex(unsigned value) {
    char text[16];
    snprintf(text, sizeof text, "%08X", value);
    return text;
  }
  static std::string flag(bool set, const char* name) { return set ? std::string(" ") + name : std::string(); }
};

}  // namespace testsupport

#endif
