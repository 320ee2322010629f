#include "tests/sim/updateserver/UpdateServerReplies.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

// The server side of the update-server query protocol, as the maker's
// server behaves:
//
//   GET /cgi/u?k1=v1&k2=v2&...&kn=vn&
//
// every pair followed by "&" (the last one too), the keys in ascending byte
// order, values percent-encoded where needed. The reply is text/plain, lines
// ended by "\n", the first line "ok" on success:
//
//   op=hi     rv              ok
//   op=qu     sn              ok, latest build, its version
//   op=bird   bld fw no_cal sn  ok, the build's container as one base64 line
//   op=builds sn              ok, then one "build;version" line per build
//   op=fix    brief fp        ok, serial number (8 hex digits), build (decimal)
//
// sn travels as eight upper-case hex digits, fp as four such groups joined by
// spaces (on the wire "%20"). A request that breaks these rules gets 400 and
// "error ..."; a well-formed request about something the model lacks gets 200
// and a first line "fail ...".
namespace testsupport {

namespace {

struct Query {
  std::vector<std::pair<std::string, std::string>> pairs;  // decoded, in wire order
  std::map<std::string, std::string> values;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool percentDecode(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

// Empty on success, else what is wrong with the query text.
std::string parseQuery(const std::string& text, Query* q) {
  if (text.empty()) return "empty query";
  if (text.back() != '&') return "query does not end with \"&\"";
  size_t start = 0;
  std::string previousKey;
  while (start < text.size()) {
    size_t amp = text.find('&', start);
    std::string pair = text.substr(start, amp - start);
    start = amp + 1;
    if (pair.empty()) return "empty pair";
    size_t eq = pair.find('=');
    if (eq == std::string::npos) return "pair without \"=\": " + pair;
    std::string key, value;
    if (!percentDecode(pair.substr(0, eq), &key) || !percentDecode(pair.substr(eq + 1), &value)) {
      return "bad percent escape in: " + pair;
    }
    if (!q->pairs.empty() && !(previousKey < key)) {
      return "key \"" + key + "\" after \"" + previousKey + "\": keys not in ascending order";
    }
    previousKey = key;
    q->pairs.emplace_back(key, value);
    q->values[key] = value;
  }
  return "";
}

bool isUpperHex(const std::string& s, size_t from, size_t n) {
  if (s.size() < from + n) return false;
  for (size_t i = from; i < from + n; ++i) {
    char c = s[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool isSerial(const std::string& s) { return s.size() == 8 && isUpperHex(s, 0, 8); }

bool isDecimal(const std::string& s) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return std::stoull(s) <= 0xFFFFFFFFull;
}

bool parseFingerprint(const std::string& s, UpdateServerModel::Fingerprint* fp) {
  if (s.size() != 35) return false;
  for (int i = 0; i < 4; ++i) {
    size_t at = static_cast<size_t>(i) * 9;
    if (!isUpperHex(s, at, 8)) return false;
    if (i < 3 && s[at + 8] != ' ') return false;
    (*fp)[i] = static_cast<uint32_t>(std::stoul(s.substr(at, 8), nullptr, 16));
  }
  return true;
}

std::string checkKeys(const Query& q, const std::set<std::string>& expected) {
  std::set<std::string> got;
  for (const auto& p : q.values) got.insert(p.first);
  if (got != expected) {
    std::string list;
    for (const std::string& k : expected) list += (list.empty() ? "" : ",") + k;
    return "keys of op=" + q.values.at("op") + " must be exactly " + list;
  }
  return "";
}

SimReply violation(SimReply reply, const std::string& what) {
  reply.status = 400;
  reply.violation = what;
  reply.body = "error " + what + "\n";
  return reply;
}

SimReply answer(SimReply reply, const std::string& body) {
  reply.status = 200;
  reply.body = body;
  return reply;
}

}  // namespace

std::string base64Encode(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[n & 63] : '=');
  }
  return out;
}

SimReply answerRequest(const UpdateServerModel& model, const std::string& target) {
  SimReply reply;
  std::string rest = target;
  // A request sent through a proxy carries the absolute URL.
  if (rest.compare(0, 7, "http://") == 0) {
    size_t slash = rest.find('/', 7);
    rest = slash == std::string::npos ? "/" : rest.substr(slash);
  }
  size_t question = rest.find('?');
  if (rest.substr(0, question) != kUpdateServerPath) {
    reply.status = 404;
    reply.violation = "path is not " + std::string(kUpdateServerPath);
    reply.body = "not found\n";
    return reply;
  }
  if (question == std::string::npos) return violation(reply, "no query");

  Query q;
  std::string problem = parseQuery(rest.substr(question + 1), &q);
  if (!problem.empty()) return violation(reply, problem);
  auto op = q.values.find("op");
  if (op == q.values.end()) return violation(reply, "no op");
  reply.op = op->second;
  const std::map<std::string, std::string>& v = q.values;

  if (reply.op == "hi") {
    if (!(problem = checkKeys(q, {"op", "rv"})).empty()) return violation(reply, problem);
    if (v.at("rv") != "2") return violation(reply, "rv must be 2");
    return answer(reply, "ok\n");
  }

  if (reply.op == "fix") {
    if (!(problem = checkKeys(q, {"brief", "fp", "op"})).empty()) return violation(reply, problem);
    if (v.at("brief") != "true") return violation(reply, "brief must be true");
    UpdateServerModel::Fingerprint fp{};
    if (!parseFingerprint(v.at("fp"), &fp)) {
      return violation(reply, "fp is not four groups of eight hex digits joined by spaces");
    }
    uint32_t serial = 0, build = 0;
    if (!model.recovery(fp, &serial, &build)) return answer(reply, "fail unknown fingerprint\n");
    char text[64];
    std::snprintf(text, sizeof text, "ok\n%08X\n%u\n", serial, build);
    return answer(reply, text);
  }

  std::set<std::string> keys;
  if (reply.op == "qu" || reply.op == "builds") {
    keys = {"op", "sn"};
  } else if (reply.op == "bird") {
    keys = {"bld", "fw", "no_cal", "op", "sn"};
  } else {
    return violation(reply, "unknown op " + reply.op);
  }
  if (!(problem = checkKeys(q, keys)).empty()) return violation(reply, problem);
  if (!isSerial(v.at("sn"))) return violation(reply, "sn is not eight upper-case hex digits");
  uint32_t serial = static_cast<uint32_t>(std::stoul(v.at("sn"), nullptr, 16));
  if (!model.hasModule(serial)) return answer(reply, "fail unknown module\n");

  if (reply.op == "qu") {
    uint32_t build = 0;
    std::string version;
    if (!model.latest(serial, &build, &version)) return answer(reply, "fail no builds\n");
    return answer(reply, "ok\n" + std::to_string(build) + "\n" + version + "\n");
  }
  if (reply.op == "builds") {
    std::string body = "ok\n";
    for (const auto& b : model.builds(serial)) body += std::to_string(b.first) + ";" + b.second.version + "\n";
    return answer(reply, body);
  }
  // bird
  if (!isDecimal(v.at("bld"))) return violation(reply, "bld is not a decimal build number");
  if (v.at("no_cal") != "true" && v.at("no_cal") != "false") return violation(reply, "no_cal must be true or false");
  const SimBuild* build = model.find(serial, static_cast<uint32_t>(std::stoul(v.at("bld"))));
  if (build == nullptr) return answer(reply, "fail unknown build\n");
  return answer(reply, "ok\n" + base64Encode(build->container) + "\n");
}

bool faultsApply(const UpdateServerFaults& faults, const std::string& op) {
  return faults.onlyOp.empty() || faults.onlyOp == op;
}

void applyBodyFaults(const UpdateServerFaults& faults, SimReply* reply) {
  if (!faultsApply(faults, reply->op)) return;
  if (faults.body) {
    reply->body = *faults.body;
    return;
  }
  std::string& body = reply->body;
  if (faults.badBase64 && reply->op == "bird" && body.compare(0, 3, "ok\n") == 0) {
    // The decoder refuses a text whose length is not a multiple of four.
    size_t end = body.find('\n', 3);
    if (end != std::string::npos && end > 3) body.erase(end - 1, 1);
  }
  if (faults.keepLines > 0) {
    size_t at = 0;
    for (int i = 0; i < faults.keepLines && at != std::string::npos; ++i) {
      at = body.find('\n', at);
      if (at != std::string::npos) ++at;
    }
    if (at != std::string::npos) body.erase(at);
  }
  if (faults.blankLineAfterFirst) {
    size_t end = body.find('\n');
    if (end != std::string::npos) body.insert(end + 1, "\n");
  }
  if (faults.upperCaseOk && body.compare(0, 2, "ok") == 0) body.replace(0, 2, "OK");
  if (faults.crlf) {
    std::string out;
    for (char c : body) {
      if (c == '\n') out.push_back('\r');
      out.push_back(c);
    }
    body = out;
  }
}

}  // namespace testsupport
