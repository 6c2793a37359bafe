// Runs the built utility as a process against every case in the table, twice: the first run
// must leave the expected hives, the second must change nothing more.
#include "switch_cases.h"
#include "test_support.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace orvik::test {
namespace {

class OrvikswitchProcessTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(OrvikswitchProcessTest, ConsumesTheRequestSilentlyAndOnlyOnce) {
  const SwitchCase &switchCase = GetParam();
  const TempDir registry;
  const TempDir bin;
  CopyCaseHives(switchCase, registry.Path());

  const std::string program = CopyProgram(ORVIKSWITCH_PATH, bin);
  std::vector<std::string> argv;
  if (switchCase.unprivileged) {
    argv = DenyHiveWrites(registry.Path());
  }
  argv.push_back(program);
  argv.insert(argv.end(), switchCase.args.begin(), switchCase.args.end());

  const ProcessResult first = RunProcess(argv, registry.Path());
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.output, "");
  EXPECT_EQ(CompareWithExpected(switchCase, registry.Path()), "") << switchCase.description;

  const ProcessResult second = RunProcess(argv, registry.Path());
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.output, "");
  EXPECT_EQ(CompareWithExpected(switchCase, registry.Path()), "") << "second run";
  for (const std::string &name : ListDir(registry.Path())) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name << " was left behind";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, OrvikswitchProcessTest, testing::ValuesIn(LoadSwitchCases()),
                         [](const auto &testInfo) { return TestName(testInfo.param); });

} // namespace
} // namespace orvik::test
