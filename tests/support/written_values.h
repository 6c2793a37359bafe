// Checks what regtool set-many wrote: PREFIX0 .. PREFIX(count-1), holding 0 .. count-1.
#pragma once

#include "registry.h"

#include <string>
#include <vector>

namespace orvik::test {

// The names among them that are missing or wrong in the machine hive's key `path`, read
// through the registry layer from the directory that ORVIK_REGISTRY_DIR names.
inline std::vector<std::string> LostValues(const char *path,
                                           const std::vector<std::string> &prefixes, int count) {
  std::vector<std::string> lost;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return {"the whole key"};
  }
  for (const std::string &prefix : prefixes) {
    for (int i = 0; i < count; ++i) {
      const std::string name = prefix + std::to_string(i);
      BYTE data[4] = {};
      DWORD size = sizeof data;
      const auto expected = static_cast<BYTE>(i);
      if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, data, &size) != ERROR_SUCCESS ||
          size != 4 || data[0] != expected) {
        lost.push_back(name);
      }
    }
  }
  RegCloseKey(key);
  return lost;
}

} // namespace orvik::test
