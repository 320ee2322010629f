#ifndef TESTS_SIM_UPDATESERVER_UPDATESERVERREPLIES_H
#define TESTS_SIM_UPDATESERVER_UPDATESERVERREPLIES_H

#include <string>

#include "tests/sim/updateserver/UpdateServerFaults.h"
#include "tests/sim/updateserver/UpdateServerModel.h"

namespace testsupport {

// The path the update server answers on.
constexpr const char* kUpdateServerPath = "/cgi/u";

struct SimReply {
  int status = 200;
  std::string body;
  std::string op;         // the request's op value, empty when it had none
  std::string violation;  // the first rule of the query protocol the request broke; empty when none
};

// The server's answer to one request target (origin form "/cgi/u?..." or
// absolute form "http://host/cgi/u?..." as a proxy receives it), from the
// model, before any fault is applied.
SimReply answerRequest(const UpdateServerModel& model, const std::string& target);

// Reshapes the body as the faults ask, when they apply to the reply's op.
void applyBodyFaults(const UpdateServerFaults& faults, SimReply* reply);
bool faultsApply(const UpdateServerFaults& faults, const std::string& op);

std::string base64Encode(const std::string& bytes);

}  // namespace testsupport

#endif
