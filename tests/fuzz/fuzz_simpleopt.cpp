// Reads arbitrary command lines with the option parser under arbitrary
// flags, and with the updater's own parameter parse, and checks what the
// parser promises: it ends, argv stays a reordering of the words it was
// given, and every argument it reports lies inside one of those words.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "updater/CommandLine.h"
#include "updater/SimpleOpt.h"
#include "updater/support/UpdaterDisplayInterface.h"

namespace {

void check(bool condition) {
  if (!condition) abort();
}

class SilentDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

const CSimpleOpt::SOption kKinds[] = {
    {1, "-a", ARG_NONE},      {2, "-c", ARG_ATTACHED}, {3, "-o", ARG_OPTIONAL}, {4, "-s", ARG_SEPARATE},
    {5, "--long", ARG_SEPARATE}, {6, "--lo", ARG_NONE},  {7, "word", ARG_OPTIONAL}, {8, "-k", 9},
    {-1, nullptr, ARG_NONE},
};

constexpr int kAllFlags = FLAG_EXACT_MATCH | FLAG_NO_SLASH | FLAG_SHORT_ARG | FLAG_CLUMP | FLAG_USE_ALL |
                          FLAG_NO_ERROR | FLAG_PEDANTIC | FLAG_ICASE_SHORT | FLAG_ICASE_LONG | FLAG_ICASE_WORD;

struct Words {
  std::vector<std::vector<char>> storage;
  std::vector<char*> argv;

  Words(const uint8_t* data, size_t size) {
    storage.emplace_back();
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '\n' || data[i] == 0) {
        storage.emplace_back();
      } else {
        storage.back().push_back(static_cast<char>(data[i]));
      }
    }
    for (auto& word : storage) word.push_back('\0');
    for (auto& word : storage) argv.push_back(word.data());
    argv.push_back(nullptr);
  }

  int argc() const { return static_cast<int>(argv.size()) - 1; }

  bool inside(const char* p) const {
    for (const auto& word : storage) {
      if (p >= word.data() && p < word.data() + word.size()) return true;
    }
    return false;
  }

  bool isReorderingOf(std::vector<char*> original) const {
    std::vector<char*> now(argv.begin(), argv.end() - 1);
    std::sort(original.begin(), original.end());
    std::sort(now.begin(), now.end());
    return original == now;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  int flags = ((data[0] << 8) | data[1]) & kAllFlags;
  bool systemTable = (data[0] & 0x80) != 0;

  Words words(data + 2, size - 2);
  std::vector<char*> original(words.argv.begin(), words.argv.end() - 1);
  size_t letters = size;  // every call consumes a word or a clump letter

  CSimpleOpt parser(words.argc(), words.argv.data(), systemTable ? g_rgOptions : kKinds, flags);
  size_t calls = 0;
  while (parser.Next()) {
    check(++calls <= letters + 1);
    if (parser.OptionArg() != nullptr) check(words.inside(parser.OptionArg()));
    check(parser.LastError() <= 0 && parser.LastError() >= OPT_ERR_ARG_IS_OPTION);
    if (parser.LastError() == OPT_SUCCESS) check(parser.OptionId() >= 0);
  }
  check(words.isReorderingOf(original));

  // The updater's own parse over a fresh copy of the words.
  Words again(data + 2, size - 2);
  SilentDisplay display;
  Parameters params;
  int result = _get_params(display, again.argc(), again.argv.data(), params);
  check(result == 0 || result == 1);
  check(params.transport == 0 || params.transport == 1 || params.transport == 2 || params.transport == 255);
  return 0;
}
