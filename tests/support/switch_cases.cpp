#include "switch_cases.h"

#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvik::test {
namespace {

constexpr const char *kHives[] = {"HKEY_LOCAL_MACHINE.reg", "HKEY_CURRENT_USER.reg"};

std::string CaseDir(const SwitchCase &switchCase) {
  return std::string(ORVIK_CASES_DIR) + "/" + switchCase.name;
}

std::vector<std::string> Split(const std::string &text, char separator) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  std::string field;
  while (std::getline(in, field, separator)) {
    fields.push_back(field);
  }
  return fields;
}

std::string ExpectedHivePath(const SwitchCase &switchCase, const std::string &hive) {
  const std::string changed = CaseDir(switchCase) + "/expected/" + hive;
  return FileExists(changed) ? changed : CaseDir(switchCase) + "/" + hive;
}

} // namespace

std::vector<SwitchCase> LoadSwitchCases() {
  std::ifstream in(std::string(ORVIK_CASES_DIR) + "/cases.tsv");
  std::vector<SwitchCase> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields.size() != 5) {
      throw std::runtime_error("bad line in cases.tsv: " + line);
    }
    std::vector<std::string> args;
    for (const std::string &arg : Split(fields[3], ' ')) {
      if (!arg.empty()) {
        args.push_back(arg);
      }
    }
    cases.push_back({fields[0], fields[1] == "unprivileged", fields[2], args, fields[4]});
  }
  return cases;
}

std::string TestName(const SwitchCase &switchCase) {
  std::string name = switchCase.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

void CopyCaseHives(const SwitchCase &switchCase, const std::string &dir) {
  for (const char *hive : kHives) {
    const std::string from = CaseDir(switchCase) + "/" + hive;
    if (FileExists(from)) {
      WriteFile(dir + "/" + hive, ReadFile(from));
    }
  }
}

void CopyExpectedHives(const SwitchCase &switchCase, const std::string &dir) {
  for (const char *hive : kHives) {
    const std::string from = ExpectedHivePath(switchCase, hive);
    if (FileExists(from)) {
      WriteFile(dir + "/" + hive, ReadFile(from));
    }
  }
}

std::string CompareWithExpected(const SwitchCase &switchCase, const std::string &dir) {
  std::string differences;
  for (const char *hive : kHives) {
    const std::string expectedPath = ExpectedHivePath(switchCase, hive);
    const std::string actualPath = dir + "/" + hive;
    if (FileExists(expectedPath) != FileExists(actualPath)) {
      differences += std::string(hive) + (FileExists(actualPath) ? " was created\n" : " is gone\n");
    } else if (FileExists(actualPath) && ReadFile(expectedPath) != ReadFile(actualPath)) {
      differences += std::string(hive) + " differs; it holds:\n" + ReadFile(actualPath) + "\n";
    }
  }
  return differences;
}

} // namespace orvik::test
