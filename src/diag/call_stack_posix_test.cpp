#include <gtest/gtest.h>
#include <unistd.h>

#include "diag/assertion.h"
#include "diag/call_stack.h"

namespace {

// The report's form, checked with the extended expressions gtest has on
// Linux.
TEST(AssertionDeathTest, HoldsQuietlyFailsWithReport) {
  AssertFailed(true, "not reported");
  EXPECT_DEATH(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the report goes to standard output
        AssertFailed(false, "count > 0");
      },
      "^Assertion failed: count > 0\ncallstack: ([0-9a-f]+ )+\n(  .* \\[.*:-?[0-9]+\\]\n)+$");
}

}  // namespace
