#ifndef TESSARINE2_OBJECTS_SHAREDUSERFILTER_H
#define TESSARINE2_OBJECTS_SHAREDUSERFILTER_H

// A link has one slot for a user packet filter, but several Link objects
// may hold the same link (modules behind a router), each with stream
// subscriptions of its own. So the slot holds one filter per link that
// offers every packet to each member in turn: the packet is consumed when
// any member consumes it.
//
// Locks: the reader thread holds the link's filter mutex, then the shared
// filter's own mutex while the members run. Adding and removing take the
// table's mutex, then either the link's filter mutex or the shared filter's
// mutex, never one inside the other.

#include "Tessarine2/common/aError.h"
#include "Tessarine2/common/aLink.h"

namespace Zeltrova {
namespace Tessarine {

// Makes (filter, reference) a member of the link's shared filter and puts
// the shared filter in the link's slot (again, when it is there already, in
// case something else took the slot). aErrParam for a link not in the
// table, aErrMemory when no shared filter can be made; the member is not
// kept then.
aErr sharedUserFilterAdd(linkID link, aUserPacketFilter filter, void* reference);

// Takes the member off. Once this returns, it is not running and will not
// run again. The last member takes the shared filter out of the link's
// slot and frees it. Nothing happens for a member that is not there.
void sharedUserFilterRemove(linkID link, aUserPacketFilter filter, void* reference);

}  // namespace Tessarine
}  // namespace Zeltrova

#endif
