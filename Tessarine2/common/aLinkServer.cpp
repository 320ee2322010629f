// aLink_CreateServer: a module-sharing server on a module's USB link, and
// the caller's own client link to it. The caller then talks to its module
// through the server like every other client.
//
// Ownership: the client link holds the USB link's use as its companion, and
// the USB link's entry holds the server; releasing the client link's last
// use therefore tears down the USB link and the server with it.

#include "Tessarine2/common/aDebug.h"
#include "Tessarine2/common/aLinkInternal.h"
#include "Tessarine2/common/aLinkManagerInternal.h"
#include "Tessarine2/common/aServer_ZeroMQ.h"
#include "Tessarine2/common/aTime.h"

namespace {

constexpr int kDeviceInfoTries = 5;
constexpr uint64_t kDeviceInfoRetryPauseMS = 10;
constexpr uint64_t kReplyWaitMS = 1000;

// A UEI get of the system entity's model: command 3, option 8 with the get
// bit (0x48), entity 0 with the request bit (0x20). Reply [3, 8, 0, model].
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kModelQuery[] = {kSystemCommand, 0x48, 0x20};
constexpr uint8_t kModelReplyLength = 4;

aErr sExchange(linkID client, uint8_t address, uint8_t length, const uint8_t* data, aPacket** reply) {
  aPacket* request = aPacket_CreateWithData(address, length, data);
  if (request == nullptr) {
    return aErrMemory;
  }
  aErr err = aLink_PutPacket(client, request);
  aPacket_Destroy(&request);
  if (err != aErrNone) {
    return err;
  }
  *reply = aLink_AwaitPacket(client, kReplyWaitMS);
  return *reply != nullptr ? aErrNone : aErrTimeout;
}

aErr sQueryDeviceInfo(linkID client, aServer* server) {
  // The address query: an empty packet to 0xAD, answered with an empty
  // packet from the module's address.
  const uint8_t none = 0;
  aPacket* reply = nullptr;
  aErr err = sExchange(client, aPACKET_ADDR_SYNC, 0, &none, &reply);
  if (err != aErrNone) {
    return err;
  }
  const uint8_t address = reply->address;
  const bool addressOk = reply->dataSize == 0 && address != 0;
  aPacket_Destroy(&reply);
  if (!addressOk) {
    return aErrIO;
  }
  aServer_SetModuleAddress(server, address);

  err = sExchange(client, address, sizeof kModelQuery, kModelQuery, &reply);
  if (err != aErrNone) {
    return err;
  }
  const bool modelOk =
      reply->dataSize == kModelReplyLength && reply->address == address && reply->data[0] == kSystemCommand;
  const uint8_t model = reply->data[3];
  aPacket_Destroy(&reply);
  if (!modelOk) {
    return aErrIO;
  }
  aServer_SetModel(server, model);
  return aErrNone;
}

// Learns the module's address and model through the client link, so
// through the server itself.
aErr _getDeviceInfo(linkID client, aServer* server) {
  aErr err = sQueryDeviceInfo(client, server);
  if (err != aErrNone) {
    // A late reply must not be routed to the next try's request.
    aServer_FlushFIFO(server);
  }
  return err;
}

// A failed step: everything made so far goes with the USB link (which
// takes its server along) and the client link.
linkID sFail(const char* step, linkID* usb, linkID* client) {
  aTessarine_Trace(aDEBUG_LINK, "FAIL: %s\nFailed to create server\n", step);
  if (client != nullptr && *client != 0) {
    aLink_Destroy(client);
  }
  if (usb != nullptr && *usb != 0) {
    aLink_Destroy(usb);
  }
  return 0;
}

}  // namespace

linkID aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, bool localOnly) {
  if (port == nullptr || networkInterface == nullptr) {
    return sFail("arguments", nullptr, nullptr);
  }
  const uint32_t wanted = *networkInterface;
  // Refused for a module that is served already.
  linkID usb = aLink_CreateUSB(serialNumber);
  if (usb == 0) {
    return sFail("aLink_CreateUSB", nullptr, nullptr);
  }
  aServer* server = aServer_Create(usb, wanted, localOnly);
  if (server == nullptr) {
    return sFail("aServer_Create", &usb, nullptr);
  }
  if (!sSetServer(usb, server)) {
    aServer_Destroy(&server);
    return sFail("sSetServer", &usb, nullptr);
  }
  // From here on the USB link's teardown destroys the server.
  uint32_t served = 0;
  if (aServer_Start(server) != aErrNone) {
    return sFail("aServer_Start", &usb, nullptr);
  }
  aServer_GetPort(server, port);
  aServer_GetInterface(server, &served);
  linkID client = aLink_CreateClient(served, *port, 0);
  if (client == 0) {
    return sFail("aLink_CreateClient", &usb, nullptr);
  }
  // The client link takes over the use of the USB link.
  if (!sSetCompanion(client, usb)) {
    return sFail("sSetCompanion", &usb, &client);
  }
  usb = 0;

  aErr err = aErrTimeout;
  for (int attempt = 0; attempt < kDeviceInfoTries && err != aErrNone; ++attempt) {
    err = _getDeviceInfo(client, server);
    if (err != aErrNone) {
      aTime_MSSleep(kDeviceInfoRetryPauseMS);
    }
  }
  if (err != aErrNone) {
    return sFail("_getDeviceInfo", nullptr, &client);
  }
  *networkInterface = served;
  return client;
}
