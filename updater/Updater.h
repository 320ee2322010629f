#ifndef UPDATER_UPDATER_H
#define UPDATER_UPDATER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"
#include "updater/UpdaterOperations.h"
#include "updater/firmware/BirdFile.h"
#include "updater/support/UpdaterDisplayInterface.h"

// Connect attempts, one second apart, while a module restarts into a loader.
constexpr uint32_t CONNECT_ATTEMPTS = 15;
// Tries per firmware block.
constexpr uint32_t BLOCK_RETRIES = 5;
// System-entity option whose subindexes 0 to 3 hold the chip's unique
// identifier on a module that runs the recovery loader.
constexpr uint8_t systemUniqueIdentifier = 39;

// Kinds of boot-ROM chip that Get_Fingerprint can find.
constexpr uint8_t kRecoveryChipNone = 0;
constexpr uint8_t kRecoveryChipIMX = 1;
constexpr uint8_t kRecoveryChipLPC = 2;

// The application's operations. main builds one and calls its operations
// one after another on the main thread; each runs to completion, reports to
// the user through the display and returns its own result. Every Module,
// store, store item and container an operation needs is a local of that
// operation. The only state kept between calls is the chip kind that
// Get_Fingerprint leaves for Recover_Firmware.
class Updater {
 public:
  // Copies the texts; touches neither the store nor the network.
  Updater(const char* url, const char* storeDir, UpdaterDisplayInterface& display);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Reads the chip's four identifying words through its boot ROM. On
  // failure *failure (when given) says why in words, or is empty when the
  // reason was shown already or is not known.
  bool Get_Fingerprint(Fingerprint& result, std::string port, unsigned serialNumber, std::string filePath,
                       unsigned baudRate, bool reset, std::string* failure = nullptr);

  // Fetches a build into the module's store folder and records it as the
  // latest download. An empty build text asks for the latest build. The
  // build stored, 0 on failure.
  unsigned Download_Firmware(unsigned serialNumber, std::string buildText, bool overrideChecks, bool noCal);
  // The same for the module and build that the server names for a chip
  // fingerprint (a build text that reads as a number other than 0 wins).
  unsigned Download_Firmware(Fingerprint fingerprint, std::string buildText, bool overrideChecks);

  // type 0: USB, then TCP/IP.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  // The modules behind a router on its I2C bus, by ascending address; type
  // 0: find the router's transport. Empty when the router is not found.
  std::vector<DeviceInfo> Discover_TNNetwork_Devices(unsigned routerSerial, linkType type);

  // Rewrites the firmware of a module through its chip's boot ROM.
  bool Recover_Firmware(std::string port, unsigned build, unsigned baudRate, unsigned serialNumber,
                        std::string filePath, bool overrideChecks);

  // Writes new firmware into a running module. Build 0: the server's latest
  // build when it is stored, else the recorded latest download or transfer.
  bool Update_Firmware(unsigned serialNumber, unsigned build, std::string filePath, uint8_t moduleAddr,
                       unsigned routerSerial, bool overrideChecks);

  // Build number text to version text; empty on failure.
  std::map<std::string, std::string> Get_BuildList(unsigned serialNumber);
  // Nothing is listed from the store; always empty.
  std::map<std::string, std::string> Get_BuildListLocal(unsigned serialNumber);

  // The container for an operation: the file at path, else the stored
  // "<build>.bird" of the module's folder (made when missing), downloaded
  // first when it is not stored (or not a valid container) and allowDownload
  // is set. verb starts the information line ("Updating", "Recovering").
  // Throws std::runtime_error; a FileError (FileError.h) names the file
  // and the reason, for the caller's line.
  BirdFile load_bird(const char* verb, std::string path, unsigned serialNumber, unsigned build, bool allowDownload);

  std::string url;       // update-server address of every server request
  std::string storeDir;  // root of the firmware store
  UpdaterDisplayInterface& display;
  uint8_t recoveryChip;  // kRecoveryChip*, set by Get_Fingerprint
};

#endif
