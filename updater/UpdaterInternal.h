#ifndef UPDATER_UPDATERINTERNAL_H
#define UPDATER_UPDATERINTERNAL_H

// Helpers that several of Updater's operations share (update, discovery,
// recovery). Not part of the application's interface.

#include <cstdint>
#include <string>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aError.h"
#include "updater/DeviceInfo.h"
#include "updater/firmware/BirdFile.h"
#include "updater/support/UpdaterDisplayInterface.h"

struct ServerRequestFailure;

namespace Zeltrova {
namespace Tessarine {
class Module;
}  // namespace Tessarine
}  // namespace Zeltrova

// Switches the module's network sharing off before it connects, so that it
// is opened directly (USB or TCP socket) and no module-sharing server or
// client is started. Shows "Failed to SET network configuration" and returns
// the refusal when the module does not take it (it is already connected).
aErr _disableWeave(Zeltrova::Tessarine::Module& module, UpdaterDisplayInterface& display);

// The container fits the connected module: it holds blocks, names the
// requested serial number (unless generic), and the module reports that
// serial number and a model that begins the container's model field. why,
// when not NULL, receives what does not fit, in words ("<file> is for
// device 11112222, not 0000ABCD").
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& container, Zeltrova::Tessarine::Module& module,
                        unsigned serialNumber, std::string* why = nullptr);

// True when the server lists the build for the module. failure, when not
// NULL, says why the list could not be had (its reason stays empty when the
// list came and lacks the build).
bool _valid_build(unsigned serialNumber, unsigned build, const char* url, ServerRequestFailure* failure = nullptr);

// Where a transfer phase stopped, for the one error line of a failed
// update: the step ("firmware block 2 of 3", "reboot"), its result and
// what happened, in words ("the loader refused to write the block (status
// 1)").
struct TransferFailure {
  std::string step;
  aErr error = aErrNone;
  std::string cause;
};

// Loader phase of an update, on the module's resident firmware: the loader
// blocks, then the start of the loader. The module restarts into the loader
// and may drop its link. A failure shows its own error line.
aErr _transfer_loader(UpdaterDisplayInterface& display, Zeltrova::Tessarine::Module& module, BirdFile& container);

// Up to CONNECT_ATTEMPTS passes, one second apart (after the last one too),
// of USB connects to a module that runs a loader: by the first serial
// number, then, when that left it unconnected and second is not 0, by the
// second. True as soon as the module is connected.
bool _connect_loader_usb(Zeltrova::Tessarine::Module& module, uint32_t first, uint32_t second);

// After the loader start: the module restarts into its loader. Gives its
// link a moment to drop; when it did, reconnects the way the module was
// first reached: over TCP/IP at the same address and port, else on USB by
// serial number (_connect_loader_usb). True when the module is connected
// afterwards.
bool _reconnect_loader(Zeltrova::Tessarine::Module& module, uint32_t serialNumber);

// Over TCP/IP an address binds no module the way a USB serial number does:
// whoever answers there after the loader start must report the serial
// number of the module the loader was started on (or the default one,
// which a recovery loader reports). True when it does, or when the link is
// not TCP/IP; else false with the reason in *why, in words.
bool _loader_is_the_module(Zeltrova::Tessarine::Module& module, uint32_t serialNumber, std::string* why);
// The serial number the module reports; fallback when it does not answer.
uint32_t _reported_serial(Zeltrova::Tessarine::Module& module, uint32_t fallback);

// Firmware phase, on a running loader: every firmware block (up to
// BLOCK_RETRIES tries each; the first block that fails ends the transfer),
// then the reboot request. noWait: do not wait for the link to drop. The
// summary "Transferred ..." is shown when every block went through; on a
// failure *failure (when given) says where it stopped, and the caller
// reports it.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Zeltrova::Tessarine::Module& module, BirdFile& container,
                        bool noWait, TransferFailure* failure = nullptr);

// Discovery helpers. The two callbacks are aDiscoveryCallbacks: the first
// appends every module found to a std::vector<DeviceInfo>, the second stops
// at the module whose serial number _discover_link_type looks for.
bool _discovered_device(const linkSpec* spec, bool* taken, void* reference);
bool _discovered_link(const linkSpec* spec, bool* taken, void* reference);
// USB when the module is found there, else TCPIP when found there, else 0.
linkType _discover_link_type(uint32_t serialNumber);
// The build the module reports to the capability query 73, 0xFF; 0 when it
// does not answer with exactly 6 data bytes.
uint32_t _get_build_number(Zeltrova::Tessarine::Module& module);
// Version, module address and router address from the system entity.
aErr _get_version(Zeltrova::Tessarine::Module& module, DeviceInfo& entry);

#endif
