#ifndef UPDATER_UPDATEROPERATIONS_H
#define UPDATER_UPDATEROPERATIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

// Serial number under which a module that runs a recovery loader is looked
// for, and that stands for a module whose serial number is not given.
constexpr uint32_t kDefaultSerial = 0xDEADDEAD;

// The operations that the command line runs, one after another on the main
// thread. Each reports to the user itself and returns only its result.
class UpdaterOperations {
 public:
  virtual ~UpdaterOperations() = default;

  // The chip's four identifying words into result. On failure *failure
  // says why in words ("" when already shown or not known).
  virtual bool Get_Fingerprint(Fingerprint& result, std::string port, unsigned serialNumber, std::string filePath,
                               unsigned baudRate, bool reset, std::string* failure) = 0;

  // An empty build text asks for the latest build. The build stored, 0 on
  // failure.
  virtual unsigned Download_Firmware(unsigned serialNumber, std::string buildText, bool overrideChecks,
                                     bool noCal) = 0;

  // type 0: USB, then TCP/IP.
  virtual std::vector<DeviceInfo> Discover_Devices(linkType type) = 0;

  // The modules behind a router on its I2C bus; type 0: find the router's
  // transport.
  virtual std::vector<DeviceInfo> Discover_TNNetwork_Devices(unsigned routerSerial, linkType type) = 0;

  // Rewrites a module's firmware through its chip's boot ROM.
  virtual bool Recover_Firmware(std::string port, unsigned build, unsigned baudRate, unsigned serialNumber,
                                std::string filePath, bool overrideChecks) = 0;

  // Build 0: choose the build from the store or the server.
  virtual bool Update_Firmware(unsigned serialNumber, unsigned build, std::string filePath, uint8_t moduleAddr,
                               unsigned routerSerial, bool overrideChecks) = 0;

  // Build number text to version text; empty on failure.
  virtual std::map<std::string, std::string> Get_BuildList(unsigned serialNumber) = 0;
};

#endif
