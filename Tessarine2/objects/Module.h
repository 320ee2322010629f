#ifndef TESSARINE2_OBJECTS_MODULE_H
#define TESSARINE2_OBJECTS_MODULE_H

#include <cstdint>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aLink.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/aWeaveConfig.h"

namespace Zeltrova {
namespace Tessarine {

// The application's handle on one module: owns the module's Link, knows
// the module's address, and connects by serial number, from a link
// record, again, or through a router module's link. After a direct
// connection it asks the module for its address and adopts it
// (auto-networking). Used from one thread at a time.
class Module {
 public:
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // aErrParam for serial number 0.
  aErr connect(linkType type, uint32_t serialNumber);
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(linkSpec spec);
  aErr reconnect();
  // Shares the router's link; 0 at once when connected already. The module
  // keeps the address it was made with.
  aErr connectThroughLinkModule(Module* router);
  bool isConnected();
  linkState getStatus();
  aErr disconnect();

  uint8_t getModuleAddress();
  void setModuleAddress(uint8_t address);
  aErr getLinkSpecifier(linkSpec* spec);
  aErr getConfig(aWeaveConfig* config);
  aErr setConfig(aWeaveConfig config);
  Link* getLink();
  void setNetworkingMode(bool mode);

  // Debug echo (command 23): the data must come back unchanged.
  aErr debug(const uint8_t* data, uint8_t length);

  aErr enablePacketLog(const char* fileName);
  aErr disablePacketLog();

  // Capability queries (command 73). hasUEI returns the module's answer;
  // flags are 0, 0x40 (get) or 0x80 (set).
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  aErr classQuantity(uint8_t command, uint8_t* count);
  aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
  aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);

 private:
  aErr _autoNetwork();
  // One capability exchange: sends the request, takes the first answer to
  // command 73 and checks that it echoes the request and has the expected
  // length. *last is the answer's last byte.
  aErr capability(const uint8_t* request, uint8_t length, uint8_t answerLength, uint8_t* last);

  Link* link;
  uint8_t moduleAddress;
  bool networkingMode;
  uint8_t model;
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
