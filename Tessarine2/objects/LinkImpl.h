#ifndef TESSARINE2_OBJECTS_LINKIMPL_H
#define TESSARINE2_OBJECTS_LINKIMPL_H

// The private state of a Link, shared by the Link's source files.

#include <cstdint>
#include <future>
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

// Longest name a Link keeps; longer names are cut.
constexpr size_t LINK_NAME_MAX = 1024;
// Callback calls waiting for the worker: one slot always stays free.
constexpr uint16_t LINK_ASYNC_SLOTS = 500;

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
  std::thread* asyncThread;
  LocklessQueue_SPSC<asyncPacket> asyncQueue;
  std::promise<void> stopSignal;
  std::mutex streamLock;  // guards streams
  char* name;
  linkSpec* linkSpecifier;

  aErr setSpecifier(const linkSpec* specifier);
  aErr getSpecifier(linkSpec* specifier) const;
  const char* getName() const { return name; }
  // A new link for the specification; share is the link already held that
  // an aWeave client should join (0 for none). Sets *err for a
  // specification that cannot be connected; 0 when the creation failed.
  linkID linkCreateHelper(const linkSpec& specifier, linkID share, aErr* err);
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link& owningLink);
  aErr waitForLink(uint16_t polls);
  aErr connectHelper(linkID share);
  // Gives up the held link, taking this Link's stream filter off it first
  // so that no other holder of the link calls into this impl.
  void releaseLink();

  aErr installStreamFilter(bool on);
  void queueAsyncCallback(std::map<uint64_t, StreamEntry>::iterator entry, const aPacket* packet);
  static void asyncWork(LocklessQueue_SPSC<asyncPacket>* ring, std::future<void> stop);
  // Stops the callback worker, when one runs, and frees what its ring still
  // holds.
  void stopWorker();

  static void readDebugBuffer(aFile* file, uint32_t link);
};

// True when a failed search on type is retried once on the other of USB and
// aWeave: for aErrNotFound, aErrInitialization and aErrConnection, with the
// fallback switched on.
bool _fallbackHelper(aErr result, linkType type, uint8_t fallback);

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
