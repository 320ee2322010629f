#ifndef TESTS_SIM_OWNNETWORK_H
#define TESTS_SIM_OWNNETWORK_H

#include <string>
#include <vector>

namespace testsupport {

// A network namespace of the test's own, so that what a test multicasts or
// broadcasts never reaches the machine's interfaces.
//
// enterOwnNetwork() moves the whole process into a new namespace with its
// loopback interface up. It must run while the process has a single thread
// (a thread's namespace is its own: threads made before would stay behind)
// and needs CAP_SYS_ADMIN. "" on success, else what failed; only the first
// call acts, later ones return its result.
std::string enterOwnNetwork();

// True after a successful enterOwnNetwork() while the process's namespace
// is neither the one it started in nor (when it can be read) that of
// process 1, the machine's own.
bool inOwnNetwork();

// Runs "ip" with the arguments in the calling thread's namespace; "" on
// success, else what failed.
std::string runIp(std::vector<std::string> arguments);

}  // namespace testsupport

#endif
