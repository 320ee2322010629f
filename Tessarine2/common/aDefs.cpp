#include "Tessarine2/common/aDefs.h"

namespace {

constexpr const char* kUnknownModel = "Unknown";

// Model numbers without a module are null; the numbers run 0 to 255 (one
// byte of the USB product id), so only the low part needs a row.
const char* const MODEL_NAME[] = {
    nullptr,   nullptr,   nullptr,   nullptr,    // 0-3
    "Pandrel", "Quillet",                        // 4-5
    nullptr,   nullptr,   nullptr,   nullptr,    // 6-9
    nullptr,   nullptr,   nullptr,               // 10-12
    "Ravosk",  "Sendra",  "Tomvale", "Ulvane",   // 13-16
    "Vesker",  "Wendrix", "Yorrel",  "Zaffin",   // 17-20
    "Brelind", "Caskel",  "Dorvane", "Elmoric",  // 21-24
};

constexpr uint32_t kModelRows = sizeof MODEL_NAME / sizeof MODEL_NAME[0];

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  if (model >= kModelRows || MODEL_NAME[model] == nullptr) {
    return kUnknownModel;
  }
  return MODEL_NAME[model];
}
