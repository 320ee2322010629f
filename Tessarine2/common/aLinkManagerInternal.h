#ifndef TESSARINE2_COMMON_ALINKMANAGERINTERNAL_H
#define TESSARINE2_COMMON_ALINKMANAGERINTERNAL_H

// The process-wide link table: one entry per open link, found by id or by
// transport identifier, shared by use count. Shared by the link unit and
// the module-sharing server; not part of the public interface.
//
// Every function takes the table mutex itself and releases it before it
// returns; none is called with it held. An entry stays valid while its use
// count is above 0 or while the caller holds a pin on it.

#include <cstdint>

#include "Tessarine2/common/aLinkInternal.h"

struct aServer;  // a module-sharing server, owned by the link it serves

// linkType values as transports of table entries; 0 is a link over a
// stream given by the caller.
enum : int32_t {
  kLinkTransportStream = 0,
  kLinkTransportUSB = 1,
  kLinkTransportTCPIP = 2,
  kLinkTransportSerial = 3,
  kLinkTransportClient = 4,
};

// The identifier of links over a caller's stream.
constexpr uint32_t kLinkIdentifierStream = 0xFFFFFFFF;

struct aLinkEntry {
  linkID id;
  linkID companion;    // a link this one holds a use of, released at teardown
  aServer* server;     // server attached to this link; destroyed at teardown
  uint32_t identifier; // USB/serial: serial number; TCP/IP, client: IPv4 (network order)
  uint32_t port;
  int32_t clientNumber;
  int32_t transport;
  int16_t use_count;
  aLinkRecord* link;
  aLinkEntry* next;

  // Bookkeeping of the table.
  bool ready;       // false while its creator starts it; creators of the
                    // same identifier wait for it
  int32_t pins;     // operations using the record right now
  int32_t waiters;  // creators waiting for it to become ready
  bool inTable;     // false once extracted for its teardown
};

// A new entry (use count 0, not ready) at the head of the table; its id, 0
// when memory runs out. An entry is made ready with sPublishEntry.
linkID sCreate2(uint32_t identifier, uint32_t port, int32_t clientNumber, int32_t transport);
linkID sCreate(uint32_t identifier, uint32_t port, int32_t transport);

// Look-ups; the entry, or NULL. The pointer may only be used by a holder
// of a use or a pin.
aLinkEntry* sLookupEntryByID(linkID id);
// The newest entry with this identifier, whatever its transport and port.
aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier);
aLinkEntry* sLookupEntryByTrident(uint32_t identifier, uint32_t port, int32_t clientNumber);
// Unlinks the entry with this id and returns it; NULL when absent.
aLinkEntry* sExtractEntry(linkID id);
// Adds delta to the use count of the entry with this id; the new count, or
// 0 when there is no such entry.
int16_t sChangeUseCount(linkID id, int16_t delta);
aLinkRecord* sGetLink(linkID id);
// Set the server attached to, and the companion of, the entry with this
// id; false when there is no such entry.
bool sSetServer(linkID id, aServer* server);
bool sSetCompanion(linkID id, linkID companion);

// Creation of a shared link in one step with its look-up.
enum class aLinkClaim {
  Shared,   // an existing ready link: one more use is the caller's
  Created,  // a new entry, not ready: the caller starts it, then publishes
            // or abandons it
  Failed,   // nothing for the caller: out of memory, a served module, a
            // creation it waited for failed, or nothing to share
};
enum class aLinkClaimMode {
  ShareOrCreate,
  ShareOnly,          // never create
  ShareOrCreateUSB,   // refuse to share a link that serves a server
};
aLinkClaim sClaimIdentifier(uint32_t identifier, uint32_t port, int32_t clientNumber, int32_t transport,
                            aLinkClaimMode mode, linkID* id);
// The started link becomes visible to other creators with one use.
void sPublishEntry(linkID id);

// Pins keep an entry and its record alive for the length of one operation.
// NULL when the id is not in the table.
aLinkEntry* sPinEntry(linkID id);
void sUnpinEntry(aLinkEntry* entry);

class aLinkPin {
 public:
  explicit aLinkPin(linkID id) : entry_(sPinEntry(id)) {}
  ~aLinkPin() {
    if (entry_ != nullptr) {
      sUnpinEntry(entry_);
    }
  }
  aLinkPin(const aLinkPin&) = delete;
  aLinkPin& operator=(const aLinkPin&) = delete;
  aLinkEntry* entry() const { return entry_; }
  aLinkRecord* link() const { return entry_ == nullptr ? nullptr : entry_->link; }

 private:
  aLinkEntry* entry_;
};

// Release of one use. Returns the entry when this was the last one: it is
// out of the table then (no look-up finds it, and creators of its
// identifier wait until sRetireEntry), and the caller tears it down.
enum class aLinkRelease { NotFound, StillUsed, Last };
aLinkRelease sReleaseUse(linkID id, aLinkEntry** extracted);
// Takes a not-yet-published entry out of the table for its creator's
// teardown; creators waiting for it are told that it failed.
aLinkEntry* sAbandonEntry(linkID id);
// Waits until no operation holds a pin on an extracted entry.
void sAwaitUnpinned(aLinkEntry* entry);
// Ends the teardown: frees the entry and lets creators of its identifier
// go on.
void sRetireEntry(aLinkEntry* entry);

#endif
