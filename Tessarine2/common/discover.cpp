#include <cstdlib>
#include <cstring>

#include "Tessarine2/common/aDiscover.h"

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
  if (spec != nullptr) spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
  if (spec == nullptr) return nullptr;
  linkSpec* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
  if (copy != nullptr) std::memcpy(copy, spec, sizeof(linkSpec));
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (spec == nullptr || *spec == nullptr) return aErrParam;
  std::free(*spec);
  *spec = nullptr;
  return aErrNone;
}

namespace {

// The search's own record: it starts as the wanted serial number and ends
// as a copy of the first offered record that matched.
struct Search {
  linkSpec* target;
  bool found;
  bool skipZero;  // FindFirstModule: any serial number but 0
};

bool sTakeMatching(const linkSpec* offered, bool* taken, void* reference) {
  Search* search = static_cast<Search*>(reference);
  bool matches = search->skipZero ? offered->serial_num != 0 : offered->serial_num == search->target->serial_num;
  if (!matches) return true;
  std::memcpy(search->target, offered, sizeof(linkSpec));
  search->found = true;
  *taken = true;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool skipZero, uint32_t networkInterface) {
  Search search{aLinkSpec_Create(type), false, skipZero};
  if (search.target == nullptr) return nullptr;
  search.target->serial_num = serialNumber;
  aDiscovery_EnumerateModules(type, sTakeMatching, &search, networkInterface);
  if (!search.found) aLinkSpec_Destroy(&search.target);
  return search.target;
}

}  // namespace

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFind(type, 0, true, networkInterface);
}
