#include <stdexcept>
#include <string>
#include <vector>

#include "Tessarine2/common/aError.h"
#include "Tessarine2/objects/Module.h"
#include "Tessarine2/objects/SystemClass.h"
#include "updater/Updater.h"
#include "updater/UpdaterInternal.h"
#include "updater/firmware/UpdaterStore.h"
#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/ImageVectorTable.h"
#include "updater/recovery/NXPSerialClass.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/SerialPortProblem.h"
#include "updater/recovery/Serial_SDPLoader.h"
#include "updater/support/Log.h"

using Zeltrova::Tessarine::Module;
using Zeltrova::Tessarine::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// The port text that names the i.MX boot ROM's USB HID device; any other
// text is a serial device path.
constexpr const char* kUsbPort = "USB";

// Loader and loader-start blocks begin with a 32-bit big-endian address.
constexpr uint32_t kAddressBytes = 4;

uint32_t bigEndianWord(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

// Display messages stay muted while a download runs on the recovery road's
// behalf, and come back on every way out.
class MutedMessages {
 public:
  explicit MutedMessages(UpdaterDisplayInterface& display) : display_(display) { display_.mute_messages(true); }
  ~MutedMessages() { display_.mute_messages(false); }
  MutedMessages(const MutedMessages&) = delete;
  MutedMessages& operator=(const MutedMessages&) = delete;

 private:
  UpdaterDisplayInterface& display_;
};

// Why a fingerprint could not be read, for the caller's error line.
struct ChipContact {
  bool portUnusable = false;  // the port did not open: no road can use it
  std::string cause;          // in words; empty when not known
};

// bytesOnLine: what the probe put on the port, which an i.MX boot ROM on the
// same line took as the start of a command.
bool _get_fingerprint_lpc(std::string port, unsigned baud, Fingerprint& result, size_t* bytesOnLine,
                          ChipContact* contact) {
  NXPSerialClass isp;
  // Counted on every way out, whatever the probe got to send.
  struct CountOnReturn {
    NXPSerialClass& isp;
    size_t* out;
    ~CountOnReturn() { *out = isp.bytesSent(); }
  } count{isp, bytesOnLine};
  aErr err = isp.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    // "USB" names the i.MX boot ROM's HID device, which no serial port is.
    if (port != kUsbPort) {
      contact->portUnusable = true;
      contact->cause = serialPortProblem(port);
      if (contact->cause.empty()) {
        contact->cause =
            "could not set up serial port " + port + ": " + aError_GetErrorText(static_cast<uint32_t>(err));
      }
    }
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = isp.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    contact->cause = "no LPC17xx boot ROM answered on " + port;
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (isp.GetDeviceID() != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    contact->cause = "the LPC17xx boot ROM on " + port + " did not give its device serial number";
    return false;
  }
  for (unsigned i = 0; i < 4; ++i) {
    result.words[i] = isp.deviceId(i);
  }
  return true;
}

// The start address a loader container names: its first loader-start
// block's, else the default.
uint32_t loaderStart(BirdFile& container) {
  const std::vector<BirdBlock> starts = container.FindBlocks(BirdFile::BLOCK_LOADER_START);
  if (!starts.empty() && starts[0].length >= kAddressBytes && starts[0].payload != nullptr) {
    return bigEndianWord(starts[0].payload);
  }
  return IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
}

// What the loader at the start address carries, as far as the container
// tells: a chip with HAB closed starts only a signed image.
enum class LoaderSignature { Unknown, Signed, Unsigned };

// The boot ROM jumps only to an image vector table, so one must lie at the
// start address inside the blocks to be written; the last block to cover an
// address is what the chip will hold there. A container without loader
// blocks cannot be judged (its loader may be in the chip already).
bool startsAtAVectorTable(const std::vector<BirdBlock>& blocks, uint32_t start, LoaderSignature* signature) {
  *signature = LoaderSignature::Unknown;
  if (blocks.empty()) {
    return true;
  }
  unsigned char table[IMX1050::IVT_BYTES];
  bool covered[IMX1050::IVT_BYTES] = {};
  for (const BirdBlock& block : blocks) {
    const uint32_t address = bigEndianWord(block.payload);
    const uint64_t size = block.length - kAddressBytes;
    for (size_t i = 0; i < IMX1050::IVT_BYTES; ++i) {
      const uint64_t at = static_cast<uint64_t>(start) + i;
      if (at >= address && at - address < size) {
        table[i] = block.payload[kAddressBytes + (at - address)];
        covered[i] = true;
      }
    }
  }
  for (bool c : covered) {
    if (!c) {
      return false;
    }
  }
  if (!IMX1050::isImageVectorTable(table, sizeof table, start)) {
    return false;
  }
  *signature = IMX1050::namesSignature(table, sizeof table) ? LoaderSignature::Signed : LoaderSignature::Unsigned;
  return true;
}

// Writes every loader block of the container through the i.MX boot ROM's
// Serial Download Protocol, each to the address in its first four bytes,
// and jumps to the start address (the first loader-start block's, else the
// default). aErrNotReady when the ROM's transport does not open or the ROM
// does not answer, aErrConnection when a block is not taken (nothing is
// started then), aErrParam for a container the chip could not start
// (nothing is sent then), aErrPermission when the ROM refuses the jump. A
// refused container, a failed download or a refused jump prints one error
// line; a ROM that is not there is only logged, as another chip may be on
// the port. bytesBefore: what another protocol already sent on a serial
// port.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& container, std::string port,
                               size_t bytesBefore) {
  const std::vector<BirdBlock> blocks = container.FindBlocks(BirdFile::BLOCK_LOADER);
  for (const BirdBlock& block : blocks) {
    // A block without its address would have nowhere to go; the container
    // reader refuses such blocks already.
    if (block.length < kAddressBytes || block.payload == nullptr) {
      display.message(kError, "Recovery loader refused, nothing sent to the chip: a loader block holds no address");
      return aErrParam;
    }
  }
  const uint32_t start = loaderStart(container);
  LoaderSignature signature = LoaderSignature::Unknown;
  if (!startsAtAVectorTable(blocks, start, &signature)) {
    display.message(kError,
                    "Recovery loader refused, nothing sent to the chip: no image vector table at its start 0x%08X",
                    start);
    return aErrParam;
  }

  SDPLoader loader;
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  // The serial transport copies the path; the loader owns either transport.
  SDPLoader_Interface* transport = nullptr;
  if (port == kUsbPort) {
    transport = new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
  } else {
    Serial_SDPLoader* serial = new Serial_SDPLoader(port.c_str());
    serial->setBytesBefore(bytesBefore);
    transport = serial;
  }
  loader.setLoader(transport);
  if (loader.init() != 0) {
    return aErrNotReady;
  }

  uint8_t index = 0;
  for (const BirdBlock& block : blocks) {
    const uint32_t address = bigEndianWord(block.payload);
    std::vector<unsigned char> image(block.payload + kAddressBytes, block.payload + block.length);
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", index, image.size(),
             static_cast<int>(address));
    const int written = loader.writeLoader(image, address);
    if (written == SDPLoader::kNoAnswer && index == 0) {
      // Nothing was sent beyond status requests: no i.MX ROM on the line.
      return aErrNotReady;
    }
    if (written != 0) {
      const char* why = written == SDPLoader::kSpokeDuringDownload ? "the boot ROM reported an error during it"
                        : written == SDPLoader::kNoAnswer          ? "the boot ROM stopped answering"
                                                                   : "the boot ROM did not confirm it";
      display.message(kError,
                      "Recovery loader download failed at block %d of %zu (%zu bytes to 0x%08X): %s; the chip needs "
                      "a reset and another recovery",
                      index + 1, blocks.size(), image.size(), address, why);
      return aErrConnection;
    }
    ++index;
  }

  // A ROM that refuses the jump stays in its download protocol and no
  // loader will show up: waiting for one would only hide why.
  SDPLoader::JumpAnswer answer;
  const int jumped = loader.startLoader(start, &answer);
  const bool closedToUnsigned = answer.habReported && answer.habMode == IMX1050::HAB_CLOSED &&
                                signature == LoaderSignature::Unsigned;
  if (jumped != 0 || closedToUnsigned) {
    display.message(kError, "Recovery loader not started: the boot ROM answered the jump to 0x%08X with %s%s", start,
                    SDPLoader::describe(answer).c_str(),
                    closedToUnsigned ? "; the loader is not signed, and a chip with HAB closed starts only signed "
                                       "images"
                                     : "");
    return aErrPermission;
  }
  return aErrNone;
}

// imxCause: set where the road knows why it stopped and has shown nothing.
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                          unsigned serialNumber, std::string filePath, Fingerprint& result, bool reset,
                          size_t bytesBefore, std::string* imxCause) {
  if (serialNumber == 0) {
    serialNumber = kDefaultSerial;
  }
  BirdFile container;
  try {
    UpdaterStore store(updater.storeDir.c_str());
    UpdaterStoreItem item;
    std::string fileName;
    store.FindDevice(serialNumber, &item);

    if (!filePath.empty()) {
      if (serialNumber == kDefaultSerial) {
        display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
        return false;
      }
    } else if (item.IsValid()) {
      // A module with a folder is recovered from what it last downloaded;
      // nothing is fetched for it.
      fileName = item.attributes.GetString(UpdaterStoreKeys::LATEST_DOWNLOAD, "");
    } else {
      MutedMessages muted(display);
      Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
      unsigned build = updater.Download_Firmware(serialNumber, "", false, false);
      if (build != 0) {
        fileName = std::to_string(build) + ".bird";
        store.FindDevice(serialNumber, &item);
      }
    }

    if (!filePath.empty()) {
      container = BirdFile(filePath.c_str());
    } else if (fileName.empty() || !item.IsValid()) {
      throw std::runtime_error("No recovery image stored for the device");
    } else {
      container = item.ReadBirdFile(fileName.c_str());
    }
  } catch (const std::runtime_error& error) {
    Log::log(DEBUG_APP, "%s\n", error.what());
    *imxCause = std::string("no i.MX recovery loader to start (") + error.what() + ")";
    return false;
  }

  const aErr loaded = _transfer_recovery_loader(display, container, port, bytesBefore);
  if (loaded != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    if (loaded == aErrNotReady) {
      *imxCause = "no i.MX boot ROM answered on " + port;
    }
    return false;
  }

  Module module(0, 0);
  if (_disableWeave(module, display) != aErrNone) {
    return false;
  }
  if (!_connect_loader_usb(module, serialNumber, 0)) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }

  // Word 3 - i holds subindex i.
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t i = 0; i < 4; ++i) {
    uint32_t value = 0;
    if (system.getUEI32(systemUniqueIdentifier, i, &value) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
      return false;
    }
    result.words[3 - i] = value;
  }
  if (reset) {
    system.reset();
  }
  return true;
}

}  // namespace

bool Updater::Get_Fingerprint(Fingerprint& result, std::string port, unsigned serialNumber, std::string filePath,
                              unsigned baudRate, bool reset, std::string* failure) {
  size_t probeBytes = 0;
  ChipContact lpc;
  if (_get_fingerprint_lpc(port, baudRate, result, &probeBytes, &lpc)) {
    recoveryChip = kRecoveryChipLPC;
    return true;
  }
  if (lpc.portUnusable) {
    // The i.MX road would open the same path; no loader is fetched for it.
    if (failure != nullptr) *failure = lpc.cause;
    return false;
  }
  recoveryChip = kRecoveryChipIMX;
  std::string imxCause;
  if (_get_fingerprint_imx(display, *this, port, serialNumber, filePath, result, reset, probeBytes, &imxCause)) {
    return true;
  }
  if (failure != nullptr) {
    if (imxCause.empty()) {
      failure->clear();  // the i.MX road showed its own line, or knows nothing more
    } else {
      *failure = lpc.cause.empty() ? imxCause : lpc.cause + "; " + imxCause;
    }
  }
  return false;
}
