// Feeds arbitrary bytes to the registry layer as the machine hive and runs its open, read and
// write paths on them. Beyond the sanitizers' findings it stops on a broken promise: a hive
// that cannot be opened is never rewritten, and a written value reads back as written.
#include "registry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string Directory() {
  // A memory file system keeps the writes' fsyncs cheap.
  static const std::string dir = [] {
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/orvik-fuzz-XXXXXX" : "/tmp/orvik-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    setenv("ORVIK_REGISTRY_DIR", pattern.c_str(), 1);
    return pattern;
  }();
  return dir;
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

// The keys to try: a few fixed ones, and the first section the input names.
std::vector<std::string> Keys(const std::string &input) {
  std::vector<std::string> keys = {"", "Software",
                                   R"(SYSTEM\CurrentControlSet\Control\MediaResources\Orvik)"};
  const std::string prefix = "[HKEY_LOCAL_MACHINE\\";
  const std::size_t start = input.find(prefix);
  if (start != std::string::npos) {
    const std::size_t end = input.find_first_of("]\r\n", start);
    if (end != std::string::npos && input[end] == ']') {
      keys.push_back(input.substr(start + prefix.size(), end - start - prefix.size()));
    }
  }
  return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string hive = Directory() + "/HKEY_LOCAL_MACHINE.reg";
  const std::string input(reinterpret_cast<const char *>(data), size);
  {
    // A new file each time, as a writer that follows the lock protocol would make it.
    std::ofstream out(hive + ".new", std::ios::binary | std::ios::trunc);
    out << input;
  }
  std::rename((hive + ".new").c_str(), hive.c_str());

  for (const std::string &path : Keys(input)) {
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS) {
      Require(key == nullptr, "a failed open returned a key");
      const BYTE one[4] = {1, 0, 0, 0};
      const LSTATUS written = RegSetValueExA(HKEY_LOCAL_MACHINE, "Fuzz", 0, REG_DWORD, one, 4);
      if (opened == ERROR_BADDB) {
        Require(written == ERROR_BADDB, "a write to an invalid hive did not fail as such");
        Require(ReadAll(hive) == input, "an invalid hive was rewritten");
      }
      continue;
    }
    BYTE buffer[8];
    for (const char *name : {"", "BootOnOrvik", "Codec", "V"}) {
      DWORD bufferSize = 4;
      DWORD type = 0;
      RegQueryValueExA(key, name, nullptr, &type, buffer, &bufferSize);
      bufferSize = 0;
      RegQueryValueExA(key, name, nullptr, &type, nullptr, &bufferSize);
    }
    const BYTE value[5] = {'a', '"', '\\', 0x80, 0};
    Require(RegSetValueExA(key, "Fuzz", 0, REG_SZ, value, sizeof value) == ERROR_SUCCESS,
            "a write to a valid hive failed");
    DWORD readSize = sizeof buffer;
    DWORD type = 0;
    Require(RegQueryValueExA(key, "fuzz", nullptr, &type, buffer, &readSize) == ERROR_SUCCESS &&
                type == REG_SZ && readSize == sizeof value &&
                std::memcmp(buffer, value, sizeof value) == 0,
            "a written value did not read back");
    RegCloseKey(key);
    HKEY again = nullptr;
    Require(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &again) == ERROR_SUCCESS,
            "a write left a hive that cannot be opened");
    RegCloseKey(again);
  }
  return 0;
}
