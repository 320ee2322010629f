#include "tests/sim/usb/UmockdevPreload.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace testsupport::usb {

namespace {

constexpr const char* kAsanLinkOrder = "verify_asan_link_order=0";

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

void addOption(std::string& options, const std::string& name, const std::string& entry) {
  if (options.find(name + "=") == std::string::npos) {
    options = options.empty() ? entry : options + ":" + entry;
  }
}

// TSAN_OPTIONS for a process that runs umockdev's testbed. umockdev's worker
// thread and the threads that call it hand work over through GLib, whose
// locks are futexes the sanitizer cannot see, so GLib's and umockdev's own
// memory shows as raced: what uninstrumented libraries do to memory through
// the sanitizer's interceptors is left out. Their locks, and every access
// of the instrumented code (ours, on any thread), stay in. Options the
// caller gave win.
std::string tsanOptions() {
  std::string options = getenv("TSAN_OPTIONS") != nullptr ? getenv("TSAN_OPTIONS") : "";
  addOption(options, "ignore_noninstrumented_modules", "ignore_noninstrumented_modules=1");
  return options;
}

std::string variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// argv of this process, from /proc: usable before main.
std::vector<std::string> ownArguments() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) {
      end = all.size();
    }
    arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

}  // namespace

bool umockdevPreloaded() { return variable("LD_PRELOAD").find("libumockdev-preload") != std::string::npos; }

namespace {

bool environmentReady() {
  return umockdevPreloaded() && (!kThreadSanitizer || variable("TSAN_OPTIONS") == tsanOptions());
}

}  // namespace

std::vector<std::string> umockdevEnvironment() {
  std::vector<std::string> changes;
  std::string preload = variable("LD_PRELOAD");
  if (preload.find("libumockdev-preload") == std::string::npos) {
    preload = preload.empty() ? kUmockdevPreload : std::string(kUmockdevPreload) + ":" + preload;
  }
  changes.push_back("LD_PRELOAD=" + preload);
  std::string asan = variable("ASAN_OPTIONS");
  if (asan.find("verify_asan_link_order") == std::string::npos) {
    asan = asan.empty() ? kAsanLinkOrder : asan + ":" + kAsanLinkOrder;
  }
  changes.push_back("ASAN_OPTIONS=" + asan);
  changes.push_back("TSAN_OPTIONS=" + tsanOptions());
  return changes;
}

void applyUmockdevEnvironment() {
  for (const std::string& change : umockdevEnvironment()) {
    size_t equals = change.find('=');
    setenv(change.substr(0, equals).c_str(), change.substr(equals + 1).c_str(), 1);
  }
}

void runUnderUmockdev() {
  if (environmentReady()) {
    return;
  }
  std::vector<std::string> arguments = ownArguments();
  if (arguments.empty()) {
    fprintf(stderr, "runUnderUmockdev: cannot read this program's arguments\n");
    abort();
  }
  applyUmockdevEnvironment();
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  execv("/proc/self/exe", argv.data());
  fprintf(stderr, "runUnderUmockdev: cannot start again with %s: %s\n", kUmockdevPreload, strerror(errno));
  abort();
}

}  // namespace testsupport::usb
