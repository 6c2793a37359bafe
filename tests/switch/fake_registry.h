// An in-memory registry that stands in for the real one and records every call made to it,
// for the facts about a run that the final registry state cannot show.
#pragma once

#include "registry.h"

#include <map>
#include <string>
#include <vector>

namespace orvik::test {

struct FakeKey {
  std::map<std::string, std::string> values; // value name -> raw data bytes
};

struct FakeRegistry {
  std::map<std::string, FakeKey> keys;  // "HKLM\\path" or "HKCU\\path"
  std::vector<std::string> failingSets; // value names whose writes fail
  std::vector<std::string> calls;       // one line per call, in order
  int openKeys = 0;
  int mostOpenKeys = 0;
};

// The registry that the Reg* functions of this test program use.
FakeRegistry &Fake();

} // namespace orvik::test
