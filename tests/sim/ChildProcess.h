#ifndef TESTS_SIM_CHILDPROCESS_H
#define TESTS_SIM_CHILDPROCESS_H

#include <functional>

namespace testsupport {

// Runs body in a forked child and returns its exit status (the value body
// returns), or -1 when the child died by a signal or could not be made.
// With dropRoot the child first gives up root for the unprivileged user
// "nobody", so permission checks apply (tests run as root here).
int runInChild(const std::function<int()>& body, bool dropRoot);

}  // namespace testsupport

#endif
