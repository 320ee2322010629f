#include "Tessarine2/common/aLinkManagerInternal.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <set>

namespace {

// Locks the table's aMutex for std::unique_lock and condition_variable_any.
class TableMutex {
 public:
  TableMutex() : mutex_(aMutex_Create("aLink_Managed")) {}
  void lock() { aMutex_Lock(mutex_); }
  void unlock() { aMutex_Unlock(mutex_); }

 private:
  aMutex* mutex_;
};

struct TableLock {
  TableMutex mutex;
  // Signalled when an entry becomes ready, is abandoned or retired, and
  // when the last pin of an extracted entry goes.
  std::condition_variable_any changed;
  // Identifiers whose link is being torn down: a new link to the same
  // module waits until the old one has let go of the device.
  std::multiset<uint32_t> retiring;
  // Creations that failed while others waited for them: id -> waiters that
  // have not yet seen the failure.
  std::map<linkID, int32_t> failedWithWaiters;
};

// Made on first use; the language makes that happen exactly once even when
// two threads get here together.
TableLock& sTable() {
  static TableLock* table = new TableLock();
  return *table;
}

// The table itself: constant data, ready before anything runs.
struct {
  aLinkEntry* head;
  linkID nextID;
} _links = {nullptr, 1};

using Guard = std::unique_lock<TableMutex>;

aLinkEntry* sFindByID(linkID id) {
  for (aLinkEntry* entry = _links.head; entry != nullptr; entry = entry->next) {
    if (entry->id == id) {
      return entry;
    }
  }
  return nullptr;
}

aLinkEntry* sFindByIdentifier(uint32_t identifier) {
  for (aLinkEntry* entry = _links.head; entry != nullptr; entry = entry->next) {
    if (entry->identifier == identifier) {
      return entry;
    }
  }
  return nullptr;
}

aLinkEntry* sUnlink(linkID id) {
  aLinkEntry** at = &_links.head;
  while (*at != nullptr && (*at)->id != id) {
    at = &(*at)->next;
  }
  aLinkEntry* entry = *at;
  if (entry != nullptr) {
    *at = entry->next;
    entry->next = nullptr;
    entry->inTable = false;
  }
  return entry;
}

linkID sInsert(uint32_t identifier, uint32_t port, int32_t clientNumber, int32_t transport) {
  aLinkEntry* entry = new (std::nothrow) aLinkEntry();
  if (entry == nullptr) {
    return 0;
  }
  entry->link = new (std::nothrow) aLinkRecord();
  if (entry->link == nullptr) {
    delete entry;
    return 0;
  }
  entry->identifier = identifier;
  entry->port = port;
  entry->clientNumber = clientNumber;
  entry->transport = transport;
  entry->id = _links.nextID++;
  entry->link->id = entry->id;
  entry->inTable = true;
  entry->next = _links.head;
  _links.head = entry;
  return entry->id;
}

bool sTracksRetirement(const aLinkEntry* entry) { return entry->transport != kLinkTransportStream; }

}  // namespace

linkID sCreate2(uint32_t identifier, uint32_t port, int32_t clientNumber, int32_t transport) {
  TableLock& table = sTable();
  Guard hold(table.mutex);
  return sInsert(identifier, port, clientNumber, transport);
}

linkID sCreate(uint32_t identifier, uint32_t port, int32_t transport) {
  return sCreate2(identifier, port, 0, transport);
}

aLinkEntry* sLookupEntryByID(linkID id) {
  Guard hold(sTable().mutex);
  return sFindByID(id);
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier) {
  Guard hold(sTable().mutex);
  return sFindByIdentifier(identifier);
}

aLinkEntry* sLookupEntryByTrident(uint32_t identifier, uint32_t port, int32_t clientNumber) {
  Guard hold(sTable().mutex);
  for (aLinkEntry* entry = _links.head; entry != nullptr; entry = entry->next) {
    if (entry->identifier == identifier && entry->port == port && entry->clientNumber == clientNumber) {
      return entry;
    }
  }
  return nullptr;
}

aLinkEntry* sExtractEntry(linkID id) {
  Guard hold(sTable().mutex);
  return sUnlink(id);
}

int16_t sChangeUseCount(linkID id, int16_t delta) {
  Guard hold(sTable().mutex);
  aLinkEntry* entry = sFindByID(id);
  if (entry == nullptr) {
    return 0;
  }
  entry->use_count = static_cast<int16_t>(entry->use_count + delta);
  return entry->use_count;
}

aLinkRecord* sGetLink(linkID id) {
  Guard hold(sTable().mutex);
  aLinkEntry* entry = sFindByID(id);
  return entry == nullptr ? nullptr : entry->link;
}

bool sSetServer(linkID id, aServer* server) {
  Guard hold(sTable().mutex);
  aLinkEntry* entry = sFindByID(id);
  if (entry == nullptr) {
    return false;
  }
  entry->server = server;
  return true;
}

bool sSetCompanion(linkID id, linkID companion) {
  Guard hold(sTable().mutex);
  aLinkEntry* entry = sFindByID(id);
  if (entry == nullptr) {
    return false;
  }
  entry->companion = companion;
  return true;
}

aLinkClaim sClaimIdentifier(uint32_t identifier, uint32_t port, int32_t clientNumber, int32_t transport,
                            aLinkClaimMode mode, linkID* id) {
  TableLock& table = sTable();
  Guard hold(table.mutex);
  *id = 0;
  for (;;) {
    aLinkEntry* entry = sFindByIdentifier(identifier);
    if (entry != nullptr && !entry->ready) {
      // Someone is starting a link to this module: share it once it runs.
      const linkID awaited = entry->id;
      ++entry->waiters;
      table.changed.wait(hold, [&] {
        aLinkEntry* now = sFindByID(awaited);
        return now == nullptr || now->ready;
      });
      aLinkEntry* now = sFindByID(awaited);
      if (now != nullptr) {
        --now->waiters;
        continue;
      }
      auto failed = table.failedWithWaiters.find(awaited);
      if (failed != table.failedWithWaiters.end()) {
        if (--failed->second <= 0) {
          table.failedWithWaiters.erase(failed);
        }
        return aLinkClaim::Failed;
      }
      // It ran and was released again before this caller woke: look again.
      continue;
    }
    if (entry != nullptr) {
      if (mode == aLinkClaimMode::ShareOrCreateUSB && entry->server != nullptr) {
        return aLinkClaim::Failed;
      }
      entry->use_count = static_cast<int16_t>(entry->use_count + 1);
      *id = entry->id;
      return aLinkClaim::Shared;
    }
    if (mode == aLinkClaimMode::ShareOnly) {
      return aLinkClaim::Failed;
    }
    if (transport != kLinkTransportStream && table.retiring.count(identifier) > 0) {
      table.changed.wait(hold);
      continue;
    }
    *id = sInsert(identifier, port, clientNumber, transport);
    return *id == 0 ? aLinkClaim::Failed : aLinkClaim::Created;
  }
}

void sPublishEntry(linkID id) {
  TableLock& table = sTable();
  {
    Guard hold(table.mutex);
    aLinkEntry* entry = sFindByID(id);
    if (entry == nullptr) {
      return;
    }
    entry->use_count = 1;
    entry->ready = true;
  }
  table.changed.notify_all();
}

aLinkEntry* sPinEntry(linkID id) {
  if (id == 0) {
    return nullptr;
  }
  Guard hold(sTable().mutex);
  aLinkEntry* entry = sFindByID(id);
  if (entry != nullptr) {
    ++entry->pins;
  }
  return entry;
}

void sUnpinEntry(aLinkEntry* entry) {
  TableLock& table = sTable();
  bool wake = false;
  {
    Guard hold(table.mutex);
    wake = --entry->pins == 0 && !entry->inTable;
  }
  if (wake) {
    table.changed.notify_all();
  }
}

aLinkRelease sReleaseUse(linkID id, aLinkEntry** extracted) {
  TableLock& table = sTable();
  Guard hold(table.mutex);
  *extracted = nullptr;
  aLinkEntry* entry = sFindByID(id);
  if (entry == nullptr || !entry->ready) {
    // An entry still being started belongs to its creator alone.
    return aLinkRelease::NotFound;
  }
  entry->use_count = static_cast<int16_t>(entry->use_count - 1);
  if (entry->use_count > 0) {
    return aLinkRelease::StillUsed;
  }
  // The last use and the removal are one step: nobody can take a new use
  // of an entry whose teardown has begun.
  sUnlink(id);
  if (sTracksRetirement(entry)) {
    table.retiring.insert(entry->identifier);
  }
  *extracted = entry;
  return aLinkRelease::Last;
}

aLinkEntry* sAbandonEntry(linkID id) {
  TableLock& table = sTable();
  aLinkEntry* entry = nullptr;
  {
    Guard hold(table.mutex);
    entry = sUnlink(id);
    if (entry == nullptr) {
      return nullptr;
    }
    if (entry->waiters > 0) {
      table.failedWithWaiters[entry->id] = entry->waiters;
      entry->waiters = 0;
    }
    if (sTracksRetirement(entry)) {
      table.retiring.insert(entry->identifier);
    }
  }
  table.changed.notify_all();
  return entry;
}

void sAwaitUnpinned(aLinkEntry* entry) {
  TableLock& table = sTable();
  Guard hold(table.mutex);
  table.changed.wait(hold, [&] { return entry->pins == 0; });
}

void sRetireEntry(aLinkEntry* entry) {
  TableLock& table = sTable();
  {
    Guard hold(table.mutex);
    if (sTracksRetirement(entry)) {
      auto at = table.retiring.find(entry->identifier);
      if (at != table.retiring.end()) {
        table.retiring.erase(at);
      }
    }
  }
  table.changed.notify_all();
  delete entry;
}
