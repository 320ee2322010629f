#include <errno.h>
#include <gtest/gtest.h>

#include "Tessarine2/common/aThread.h"

namespace {

void* recordArgument(void* argument) {
  int* cell = static_cast<int*>(argument);
  *cell = *cell * 2 + 1;
  return nullptr;
}

TEST(Thread, RunsWithItsArgumentAndIsJoinedByDestroy) {
  int cell = 20;
  aThread* thread = aThread_Create(recordArgument, &cell);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(thread, nullptr);
  // Read after the join only; ThreadSanitizer reports a race otherwise.
  EXPECT_EQ(cell, 41);
}

TEST(Thread, RefusesMissingFunctionAndHandle) {
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
  aThread* none = nullptr;
  EXPECT_EQ(aThread_Destroy(&none), EINVAL);
  EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
}

}  // namespace
