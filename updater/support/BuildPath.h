#ifndef UPDATER_SUPPORT_BUILDPATH_H
#define UPDATER_SUPPORT_BUILDPATH_H

#include <string>

// Joins first and the further const char* components, up to a NULL pointer,
// each preceded by the directory separator. Components are joined as they
// are: nothing is merged or removed. Pass nullptr (or NULL) as the last
// argument, never a plain 0.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

#endif
