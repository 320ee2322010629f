#ifndef UPDATER_UPDATERCOMMANDS_H
#define UPDATER_UPDATERCOMMANDS_H

#include "updater/Updater.h"
#include "updater/UpdaterOperations.h"

// Lets the command runner drive an Updater: every operation is handed on
// unchanged.
class UpdaterCommands : public UpdaterOperations {
 public:
  explicit UpdaterCommands(Updater& updater) : updater_(updater) {}

  bool Get_Fingerprint(Fingerprint& result, std::string port, unsigned serialNumber, std::string filePath,
                       unsigned baudRate, bool reset, std::string* failure) override {
    return updater_.Get_Fingerprint(result, port, serialNumber, filePath, baudRate, reset, failure);
  }
  unsigned Download_Firmware(unsigned serialNumber, std::string buildText, bool overrideChecks,
                             bool noCal) override {
    return updater_.Download_Firmware(serialNumber, buildText, overrideChecks, noCal);
  }
  std::vector<DeviceInfo> Discover_Devices(linkType type) override { return updater_.Discover_Devices(type); }
  std::vector<DeviceInfo> Discover_TNNetwork_Devices(unsigned routerSerial, linkType type) override {
    return updater_.Discover_TNNetwork_Devices(routerSerial, type);
  }
  bool Recover_Firmware(std::string port, unsigned build, unsigned baudRate, unsigned serialNumber,
                        std::string filePath, bool overrideChecks) override {
    return updater_.Recover_Firmware(port, build, baudRate, serialNumber, filePath, overrideChecks);
  }
  bool Update_Firmware(unsigned serialNumber, unsigned build, std::string filePath, uint8_t moduleAddr,
                       unsigned routerSerial, bool overrideChecks) override {
    return updater_.Update_Firmware(serialNumber, build, filePath, moduleAddr, routerSerial, overrideChecks);
  }
  std::map<std::string, std::string> Get_BuildList(unsigned serialNumber) override {
    return updater_.Get_BuildList(serialNumber);
  }

 private:
  Updater& updater_;
};

#endif
