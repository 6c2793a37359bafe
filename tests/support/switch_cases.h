// The table of registry states that the switch is run against, shared by the in-process
// and the end-to-end tests. Each case is a directory of hive files under tests/cases/, with
// the hives that the run must change as they must end up in its expected/ subdirectory.
#pragma once

#include <string>
#include <vector>

namespace orvik::test {

struct SwitchCase {
  std::string name;
  bool unprivileged = false; // run by a user who may not write the hives
  std::string wine;          // "yes", or why Wine cannot show the case
  std::vector<std::string> args;
  std::string description;
};

std::vector<SwitchCase> LoadSwitchCases();

// The case's name as a test name may spell it.
std::string TestName(const SwitchCase &switchCase);

// Copies the case's initial hives into `dir`.
void CopyCaseHives(const SwitchCase &switchCase, const std::string &dir);

// Copies the hives that the case must end with into `dir`.
void CopyExpectedHives(const SwitchCase &switchCase, const std::string &dir);

// Compares every hive in `dir` with what the case expects; empty when all match.
std::string CompareWithExpected(const SwitchCase &switchCase, const std::string &dir);

} // namespace orvik::test
