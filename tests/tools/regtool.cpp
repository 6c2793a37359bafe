// A command-line client of the registry layer, so that tests can drive it from other
// processes and other users:
//   regtool open HKLM|HKCU PATH ACCESS           prints the status
//   regtool query HKLM|HKCU PATH NAME            prints the status, type and data in hex
//   regtool set HKLM|HKCU PATH NAME TYPE HEX     prints the status
//   regtool set-many HKLM|HKCU PATH PREFIX COUNT sets PREFIX0.. to dwords 0..; prints failures
// The exit status is 0 when every call succeeded.
#include "registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

HKEY Root(const std::string &name) {
  return name == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::vector<BYTE> FromHex(const std::string &hex) {
  std::vector<BYTE> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

int Finish(LSTATUS status) {
  std::printf("%d\n", static_cast<int>(status));
  return status == ERROR_SUCCESS ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 4) {
    std::fprintf(stderr, "usage: see the comment at the top of regtool.cpp\n");
    return 2;
  }
  const std::string &command = args[0];
  const bool writes = command == "set" || command == "set-many";
  const REGSAM access = command == "open" ? static_cast<REGSAM>(std::stoul(args[3], nullptr, 0))
                        : writes          ? KEY_ALL_ACCESS
                                          : KEY_READ;
  HKEY key = nullptr;
  const LSTATUS opened = RegOpenKeyExA(Root(args[1]), args[2].c_str(), 0, access, &key);
  if (opened != ERROR_SUCCESS || command == "open") {
    if (key != nullptr) {
      RegCloseKey(key);
    }
    return Finish(opened);
  }
  LSTATUS status = ERROR_SUCCESS;
  if (command == "query") {
    BYTE data[4096];
    DWORD size = sizeof data;
    DWORD type = 0;
    status = RegQueryValueExA(key, args[3].c_str(), nullptr, &type, data, &size);
    std::printf("%d %u ", static_cast<int>(status), type);
    for (DWORD i = 0; status == ERROR_SUCCESS && i < size; ++i) {
      std::printf("%02x", data[i]);
    }
    std::printf("\n");
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : 1;
  }
  if (command == "set" && args.size() == 6) {
    const std::vector<BYTE> data = FromHex(args[5]);
    status =
        RegSetValueExA(key, args[3].c_str(), 0, static_cast<DWORD>(std::stoul(args[4], nullptr, 0)),
                       data.data(), static_cast<DWORD>(data.size()));
  } else if (command == "set-many" && args.size() == 5) {
    const unsigned long count = std::stoul(args[4]);
    unsigned long failures = 0;
    for (unsigned long i = 0; i < count; ++i) {
      const std::string name = args[3] + std::to_string(i);
      const DWORD value = static_cast<DWORD>(i);
      const BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8U),
                            static_cast<BYTE>(value >> 16U), static_cast<BYTE>(value >> 24U)};
      if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, data, sizeof data) != ERROR_SUCCESS) {
        ++failures;
      }
    }
    status = failures == 0 ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
  } else {
    status = ERROR_INVALID_PARAMETER;
  }
  RegCloseKey(key);
  return Finish(status);
}
