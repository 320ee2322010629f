#ifndef TESSARINE2_OBJECTS_LINK_H
#define TESSARINE2_OBJECTS_LINK_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aPacket.h"
#include "Tessarine2/common/packetfifo.h"
#include "Tessarine2/objects/StreamEntry.h"
#include "Tessarine2/objects/aWeaveConfig.h"
#include "Tessarine2/objects/uei.h"

namespace Zeltrova {
namespace Tessarine {

// One connection to a module: finds it (by serial number or model), opens a
// link to it in the process-wide link table, and exchanges UEI requests and
// raw packets over it. Several Link objects may hold the same link (modules
// behind a router); the link closes when the last of them lets go.
//
// Used from one thread at a time.
class Link {
 public:
  explicit Link(const char* name);
  Link(linkSpec specifier, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // --- connection
  aErr getConfig(aWeaveConfig* config);
  // aErrPermission while connected.
  aErr setConfig(aWeaveConfig config);
  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  // aErrConnection when a link is held already.
  aErr connect();
  // Holds one more use of the other Link's link, reached through this
  // Link's own link record.
  aErr connectThroughLinkModule(Link& other);
  bool isConnected();
  // 8 without a link.
  linkState getStatus();
  aErr disconnect();
  aErr reset();
  // Asks the module on the link for its address.
  aErr getModuleAddress(uint8_t* address);
  const char* getName();
  aErr getLinkSpecifier(linkSpec* specifier);
  // aErrBusy while connected.
  aErr setLinkSpecifier(linkSpec specifier);

  // --- UEI and raw packets. Each refuses with aErrConnection when not
  // connected, then aErrPacket for a module address of 0 or an odd one.
  aErr sendUEI(uei packet);
  aErr sendUEI(uei packet, uint8_t subindex);
  // The record names what the reply must carry (module, command, option
  // byte, bare index in specifier); the wait fills it. aErrTimeout after
  // 1000 ms.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* packet);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* packet, aPacketFilter filter);
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  // [command, data...]; length at most 27.
  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  // The first packet whose data begins with the pattern, from any module on
  // the link. *length: in the pattern's length, out the reply's data
  // length. The buffer must hold 28 bytes.
  aErr receivePacket(uint8_t module, const uint8_t* pattern, uint8_t* length, uint8_t* buffer);
  // Removes every queued packet that receivePacket would take for the
  // pattern, so that a request made next takes only an answer that comes
  // after it.
  aErr dropMatchingPackets(uint8_t module, const uint8_t* pattern, uint8_t length);

  // --- stream subscriptions
  enum STREAM_KEY {
    STREAM_KEY_MODULE = 0,
    STREAM_KEY_CMD = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4
  };
  enum STREAM_PACKET {
    STREAM_PACKET_NONE = 0,
    STREAM_PACKET_U8 = 1,
    STREAM_PACKET_U16 = 2,
    STREAM_PACKET_U32 = 3,
    STREAM_PACKET_BYTES = 4,
    STREAM_PACKET_SUBINDEX_U8 = 5,
    STREAM_PACKET_SUBINDEX_U16 = 6,
    STREAM_PACKET_SUBINDEX_U32 = 7
  };

  // Subscribes to (or, with enable false, unsubscribes from) the values
  // that module, command, option and index cover (0xFF: any), every
  // subindex, and asks the module to stream them. Callbacks run one at a
  // time on the Link's worker thread, never after their subscription has
  // been removed: removing one waits for its call running at that moment.
  // A callback may subscribe and unsubscribe; it must not destroy its Link.
  // One made while the Link disconnects or is destroyed fails with
  // aErrConnection. Links that share a link (modules behind a router) each
  // keep their own subscriptions and get their own samples.
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              streamCallback callback, void* ref);
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  aErr isLinkStreaming(uint8_t module, uint8_t* state);
  // The cached value of one exact key: 0 fresh, aErrStreamStale read
  // before, aErrNotFound not cached.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock);
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       std::map<uint64_t, uint32_t>* status);
  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
  static bool isStreamPacket(const aPacket* packet);
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
  static bool isSubindexType(STREAM_PACKET type);
  static bool isStreamSample(const aPacket* packet);
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static aErr getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
  static bool linkStreamFilter(const aPacket* packet, void* reference);

  // --- packet log: every packet of the link, as text lines in a file.
  aErr enablePacketLog(const char* fileName);
  aErr disablePacketLog();

  // --- store slots (command 4) and factory data (command 0x5E): each call
  // runs its whole exchange with the module. aErrConnection when not
  // connected, aErrPacket for a module address of 0 or an odd one, the
  // module's own code for an error reply, aErrTimeout for silence.

  // Writes the whole slot: open for writing, pieces of 25 bytes, close.
  aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
  // Reads the whole slot into the buffer. A slot larger than the buffer
  // gives aErrOverrun with the first capacity bytes read and counted.
  aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity, size_t* count);
  aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
  // Factory-data block 0..15. The buffer must be at least one byte larger
  // than the block (aErrOverrun otherwise).
  aErr getFactoryData(uint8_t module, uint8_t index, uint8_t* buffer, size_t capacity, size_t* count);
  aErr setFactoryData(uint8_t module, uint8_t index, const uint8_t* data, size_t length);

 private:
  struct impl;
  impl* m_impl;
};

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
