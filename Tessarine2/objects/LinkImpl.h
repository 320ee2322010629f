#ifndef TESSARINE2_OBJECTS_LINKIMPL_H
#define TESSARINE2_OBJECTS_LINKIMPL_H

// The private state of a Link, shared by the Link's source files.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "Tessarine2/common/aDiscover.h"
#include "Tessarine2/common/aFile.h"
#include "Tessarine2/common/aLink.h"
#include "Tessarine2/common/aLogger.h"
#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/LocklessQueue_SPSC.h"
#include "Tessarine2/objects/StreamEntry.h"
#include "Tessarine2/objects/asyncPacket.h"
#include "Tessarine2/objects/aWeaveConfig.h"

namespace Zeltrova {
namespace Tessarine {

// A module address a request can go to: even and not 0.
inline bool validModuleAddress(uint8_t module) { return module != 0 && (module & 1) == 0; }

// The checks before any request to a module: aErrConnection without a
// running link, aErrPacket for an address no module can have.
inline aErr requestCheck(Link& link, uint8_t module) {
  if (!link.isConnected()) {
    return aErrConnection;
  }
  return validModuleAddress(module) ? aErrNone : aErrPacket;
}

// Longest name a Link keeps; longer names are cut.
constexpr size_t LINK_NAME_MAX = 1024;
// Callback calls waiting for the worker: one slot always stays free.
constexpr uint16_t LINK_ASYNC_SLOTS = 500;

// One stream-callback worker: its thread and its own stop request. At most
// one worker takes from a Link's ring at a time.
struct StreamWorker {
  std::thread thread;
  std::atomic<bool> stop{false};
};

struct Link::impl {
  impl(Link* owner, const char* name);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  Link* owner;
  // 0, or a link of which this Link holds exactly one use.
  linkID linkRef;
  aLogger* logger;
  aWeaveConfig config;
  std::map<uint64_t, StreamEntry> streams;
  // The callback worker; NULL when none runs. One whose last subscription
  // went from inside a callback stays, asleep, until a later subscription
  // uses it or another thread stops it.
  StreamWorker* asyncThread;
  LocklessQueue_SPSC<asyncPacket> asyncQueue;
  // The worker sleeps on asyncWake until the reader thread has queued calls
  // or its stop is asked for; both notify under asyncLock.
  std::mutex asyncLock;
  std::condition_variable asyncWake;
  std::mutex streamLock;  // guards streams and streamSerial
  // Held by the worker while a callback runs: a subscription removed or
  // replaced on another thread waits for it, so that no call of the old
  // subscription runs once the removal has returned.
  std::mutex callbackLock;
  // Guards asyncThread: subscriptions change on the owner's thread and from
  // callbacks on the worker.
  std::mutex workerLock;
  // Numbers the subscriptions: a queued call runs only while its
  // subscription is still the table's entry for its key.
  uint64_t streamSerial;
  // Guards filterLink and closing. A callback that subscribes on the worker
  // and the owner giving up the link meet here: once closing is set, no
  // filter of this Link goes onto any link.
  std::mutex filterLock;
  // The link this Link's stream filter is on (it may outlive linkRef);
  // 0: none.
  linkID filterLink;
  bool closing;
  char* name;
  linkSpec* linkSpecifier;

  // The link that the packet-log writer drains; follows linkRef so that a
  // reconnected Link goes on logging.
  std::atomic<linkID> logLink;
  // The writer's number in the table of writers (its user value); 0: none.
  uint32_t logToken;
  // The packet log was enabled and not disabled since.
  bool logWanted;

  aErr setSpecifier(const linkSpec* specifier);
  aErr getSpecifier(linkSpec* specifier) const;
  const char* getName() const { return name; }
  // A new link for the record; share is the link already held that
  // an aWeave client should join (0 for none). Sets *err for a
  // link record that cannot be connected; 0 when the creation failed.
  linkID linkCreateHelper(const linkSpec& specifier, linkID share, aErr* err);
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link& owningLink);
  aErr waitForLink(uint16_t polls);
  aErr connectHelper(linkID share);
  // Gives up the held link, taking this Link's stream filter off it first
  // so that no other holder of the link calls into this impl.
  void releaseLink();
  // Takes the stream filter off for good, clears the subscriptions and
  // stops the worker; no callback can put the filter back meanwhile. Ends
  // with closing still set: the caller clears it (closeDone) once linkRef
  // no longer names the link given up.
  void closeStreams();
  void closeDone();

  aErr installStreamFilter(bool on);
  // Takes this Link's filter off the link it is on; filterLock held.
  void removeFilterLocked();
  // True when a call was queued.
  bool queueAsyncCallback(std::map<uint64_t, StreamEntry>::iterator entry, const aPacket* packet);
  static void asyncWork(impl* self, StreamWorker* worker);
  // Starts a worker unless one is there. aErrResource when no thread can
  // be made.
  aErr startWorker();
  // Stops and joins the callback worker, when one is there, and frees the
  // calls its ring still holds without running them. From the worker's own
  // callback it does nothing: a thread cannot join itself, and the idle
  // worker costs nothing until the Link's destruction stops it.
  void stopWorker();
  // Under asyncLock, so that a worker about to wait sees it.
  void requestStop(StreamWorker* worker);
  // Runs one queued call unless its subscription has gone since.
  void runAsyncCallback(asyncPacket& call);
  // Waits until no callback runs (not from the worker itself).
  void awaitRunningCallback();
  bool onWorker() const;
  // Erases the entries that match the elements, 0xFF matching any value;
  // streamLock held. True when the table is empty afterwards.
  bool eraseMatching(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);

  // linkRef changed: the packet-log writer follows it, and a link that
  // takes over from a logged one logs too.
  void linkChanged();
  static void readDebugBuffer(aFile* file, uint32_t token);
  // Stops and destroys the packet-log writer and forgets its number.
  void dropLogWriter();
};

// True when a failed search on type is retried once on the other of USB and
// aWeave: for aErrNotFound, aErrInitialization and aErrConnection, with the
// fallback switched on.
bool _fallbackHelper(aErr result, linkType type, uint8_t fallback);

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
