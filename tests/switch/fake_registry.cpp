#include "fake_registry.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace orvik::test {

FakeRegistry &Fake() {
  static FakeRegistry registry;
  return registry;
}

namespace {

// Open keys are handed out as 1-based indexes into this list of key names.
std::vector<std::string> &OpenNames() {
  static std::vector<std::string> names;
  return names;
}

std::string RootName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) {
    return "HKLM";
  }
  if (root == HKEY_CURRENT_USER) {
    return "HKCU";
  }
  return "?";
}

const std::string *NameOf(HKEY key) {
  const auto index = reinterpret_cast<std::uintptr_t>(key); // NOLINT(*-reinterpret-cast)
  if (index == 0 || index > OpenNames().size() || OpenNames()[index - 1].empty()) {
    return nullptr;
  }
  return &OpenNames()[index - 1];
}

std::string Hex(const BYTE *data, DWORD size) {
  std::string text;
  for (DWORD i = 0; i < size; ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    text += byte;
  }
  return text;
}

} // namespace
} // namespace orvik::test

using orvik::test::Fake;

extern "C" LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                 PHKEY phkResult) {
  const std::string name = orvik::test::RootName(hKey) + "\\" + lpSubKey;
  const bool exists = Fake().keys.count(name) == 1;
  char line[512];
  std::snprintf(line, sizeof line, "open %s options=%u access=%#x -> %s", name.c_str(), ulOptions,
                samDesired, exists ? "ok" : "missing");
  Fake().calls.emplace_back(line);
  if (!exists) {
    return ERROR_FILE_NOT_FOUND;
  }
  orvik::test::OpenNames().push_back(name);
  *phkResult = reinterpret_cast<HKEY>(orvik::test::OpenNames().size()); // NOLINT
  Fake().mostOpenKeys = std::max(Fake().mostOpenKeys, ++Fake().openKeys);
  return ERROR_SUCCESS;
}

extern "C" LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const std::string *key = orvik::test::NameOf(hKey);
  const DWORD given = *lpcbData;
  // The buffer must arrive zeroed, so that short data reads as a small number.
  const std::string before = orvik::test::Hex(lpData, given);
  std::string result = "invalid handle";
  LSTATUS status = ERROR_INVALID_HANDLE;
  if (key != nullptr) {
    const auto &values = Fake().keys[*key].values;
    const auto found = values.find(lpValueName);
    if (found == values.end()) {
      result = "missing";
      status = ERROR_FILE_NOT_FOUND;
    } else if (found->second.size() > given) {
      result = "more data";
      *lpcbData = static_cast<DWORD>(found->second.size());
      status = ERROR_MORE_DATA;
    } else {
      std::memcpy(lpData, found->second.data(), found->second.size());
      *lpcbData = static_cast<DWORD>(found->second.size());
      result = "ok";
      status = ERROR_SUCCESS;
    }
  }
  Fake().calls.push_back("query " + (key != nullptr ? *key : "?") + " " + lpValueName +
                         " reserved=" + (lpReserved == nullptr ? "null" : "set") +
                         " type=" + (lpType == nullptr ? "null" : "set") +
                         " size=" + std::to_string(given) + " buffer=" + before + " -> " + result);
  return status;
}

extern "C" LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                  const BYTE *lpData, DWORD cbData) {
  const std::string *key = orvik::test::NameOf(hKey);
  const bool fails = std::find(Fake().failingSets.begin(), Fake().failingSets.end(), lpValueName) !=
                     Fake().failingSets.end();
  Fake().calls.push_back("set " + (key != nullptr ? *key : "?") + " " + lpValueName + " reserved=" +
                         std::to_string(Reserved) + " type=" + std::to_string(dwType) + " data=" +
                         orvik::test::Hex(lpData, cbData) + (fails ? " -> fails" : " -> ok"));
  if (key == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if (fails) {
    return ERROR_ACCESS_DENIED;
  }
  Fake().keys[*key].values[lpValueName] =
      std::string(reinterpret_cast<const char *>(lpData), cbData); // NOLINT
  return ERROR_SUCCESS;
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) {
  const std::string *key = orvik::test::NameOf(hKey);
  Fake().calls.push_back("close " + (key != nullptr ? *key : "?"));
  if (key == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  --Fake().openKeys;
  const auto index = reinterpret_cast<std::uintptr_t>(hKey); // NOLINT
  orvik::test::OpenNames()[index - 1].clear();
  return ERROR_SUCCESS;
}
