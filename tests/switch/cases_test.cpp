// Runs the switch in this process, over the real hive-file registry, on every case in the
// table that an ordinary user can run.
#include "instrument_switch.h"
#include "switch_cases.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace orvik::test {
namespace {

class SwitchCaseTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchCaseTest, LeavesTheExpectedHives) {
  const SwitchCase &switchCase = GetParam();
  if (switchCase.unprivileged) {
    GTEST_SKIP() << "needs a process of another user; the end-to-end test runs it";
  }
  const TempDir dir;
  CopyCaseHives(switchCase, dir.Path());
  const RegistryDirScope scope(dir.Path());

  RunInstrumentSwitch();
  EXPECT_EQ(CompareWithExpected(switchCase, dir.Path()), "") << switchCase.description;
}

INSTANTIATE_TEST_SUITE_P(Table, SwitchCaseTest, testing::ValuesIn(LoadSwitchCases()),
                         [](const auto &testInfo) { return TestName(testInfo.param); });

} // namespace
} // namespace orvik::test
