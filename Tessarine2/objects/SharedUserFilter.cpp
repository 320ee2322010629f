#include "Tessarine2/objects/SharedUserFilter.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace Zeltrova {
namespace Tessarine {

namespace {

struct Member {
  aUserPacketFilter filter;
  void* reference;
  bool operator==(const Member& other) const { return filter == other.filter && reference == other.reference; }
};

struct SharedFilter {
  // Held while the members run: a member taken off under it is not
  // running afterwards.
  std::mutex lock;
  std::vector<Member> members;
};

struct FilterTable {
  std::mutex lock;
  std::map<linkID, SharedFilter*> filters;
};

// Made on first use (nothing of the library is built before main) and
// never freed, so that a Link destroyed during exit still finds it.
FilterTable& table() {
  static FilterTable* filters = new FilterTable();
  return *filters;
}

bool sRunMembers(const aPacket* packet, void* reference) {
  SharedFilter* shared = static_cast<SharedFilter*>(reference);
  std::lock_guard<std::mutex> hold(shared->lock);
  bool consumed = false;
  for (const Member& member : shared->members) {
    // Every member sees the packet: each keeps its own subscriptions.
    consumed = member.filter(packet, member.reference) || consumed;
  }
  return consumed;
}

// Takes the member off; true when the shared filter has none left.
bool sDropMember(SharedFilter* shared, const Member& member) {
  std::lock_guard<std::mutex> hold(shared->lock);
  shared->members.erase(std::remove(shared->members.begin(), shared->members.end(), member), shared->members.end());
  return shared->members.empty();
}

// The last member has gone: out of the link's slot (unless something else
// holds it now), then freed. A link no longer in the table runs no filter.
void sRetire(FilterTable& filters, linkID link, SharedFilter* shared) {
  aLink_RemoveUserPacketFilter(link, sRunMembers, shared);
  filters.filters.erase(link);
  delete shared;
}

}  // namespace

aErr sharedUserFilterAdd(linkID link, aUserPacketFilter filter, void* reference) {
  if (filter == nullptr) {
    return aErrParam;
  }
  FilterTable& filters = table();
  std::lock_guard<std::mutex> hold(filters.lock);
  SharedFilter* shared = nullptr;
  auto found = filters.filters.find(link);
  if (found != filters.filters.end()) {
    shared = found->second;
  } else {
    shared = new (std::nothrow) SharedFilter();
    if (shared == nullptr) {
      return aErrMemory;
    }
    filters.filters.emplace(link, shared);
  }
  const Member member{filter, reference};
  bool added = false;
  {
    std::lock_guard<std::mutex> members(shared->lock);
    if (std::find(shared->members.begin(), shared->members.end(), member) == shared->members.end()) {
      shared->members.push_back(member);
      added = true;
    }
  }
  const aErr err = aLink_InstallUserPacketFilter(link, sRunMembers, shared);
  if (err != aErrNone && added && sDropMember(shared, member)) {
    sRetire(filters, link, shared);
  }
  return err;
}

void sharedUserFilterRemove(linkID link, aUserPacketFilter filter, void* reference) {
  FilterTable& filters = table();
  std::lock_guard<std::mutex> hold(filters.lock);
  auto found = filters.filters.find(link);
  if (found == filters.filters.end()) {
    return;
  }
  SharedFilter* shared = found->second;
  if (sDropMember(shared, Member{filter, reference})) {
    sRetire(filters, link, shared);
  }
}

}  // namespace Tessarine
}  // namespace Zeltrova
