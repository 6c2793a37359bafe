// A registry directory of the test's own, with the machine hive written as each test needs.
#pragma once

#include "registry.h"
#include "test_support.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>

namespace orvik::test {

// An output value no call would produce, to show whether a call touched its output.
inline HKEY SentinelKey() {
  return reinterpret_cast<HKEY>(std::uintptr_t{0xdeadbeef}); // NOLINT(*-reinterpret-cast)
}

class RegistryTest : public testing::Test {
protected:
  [[nodiscard]] std::string HivePath() const { return dir_.File("HKEY_LOCAL_MACHINE.reg"); }
  void WriteHive(const std::string &content) const { WriteFile(HivePath(), content); }
  [[nodiscard]] std::string Hive() const { return ReadFile(HivePath()); }

  // Opens a key of the machine hive, which the test expects to succeed.
  HKEY Open(const char *path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key), ERROR_SUCCESS) << path;
    return key;
  }

  TempDir dir_;
  RegistryDirScope scope_{dir_.Path()};
};

} // namespace orvik::test
