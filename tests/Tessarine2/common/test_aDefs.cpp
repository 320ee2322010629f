#include "Tessarine2/common/aDefs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

namespace {

const std::map<uint32_t, std::string> kModels = {
    {4, "Pandrel"},  {5, "Quillet"},  {13, "Ravosk"},  {14, "Sendra"},  {15, "Tomvale"},
    {16, "Ulvane"},  {17, "Vesker"},  {18, "Wendrix"}, {19, "Yorrel"},  {20, "Zaffin"},
    {21, "Brelind"}, {22, "Caskel"},  {23, "Dorvane"}, {24, "Elmoric"},
};

TEST(ModelNames, EveryByteValueGivesItsModelOrUnknown) {
  for (uint32_t model = 0; model <= 255; ++model) {
    SCOPED_TRACE(std::to_string(model));
    auto it = kModels.find(model);
    EXPECT_STREQ(aDefs_GetModelName(model), it != kModels.end() ? it->second.c_str() : "Unknown");
  }
}

// A number above one byte is not cut to its low byte (260 would be Pandrel).
TEST(ModelNames, NumbersBeyondOneByteAreUnknown) {
  for (uint32_t model : {256u, 260u, 0x10004u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(std::to_string(model));
    EXPECT_STREQ(aDefs_GetModelName(model), "Unknown");
  }
}

}  // namespace
