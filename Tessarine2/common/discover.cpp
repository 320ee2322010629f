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
