// The four registry operations over hive files. Each call reads the hive afresh, so it sees
// what other processes have written since.
#include "registry.h"

#include "hive_file.h"
#include "reg_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>

namespace {

using orvik::reg::KeyLookup;

struct PredefinedKey {
  HKEY handle;
  const char *name;
};

const PredefinedKey kPredefinedKeys[] = {
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
};

// Rights that need a writable hive: setting values, creating subkeys, and the standard
// rights DELETE, WRITE_DAC and WRITE_OWNER. Reading (READ_CONTROL included) does not.
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x00010000U | 0x00040000U | 0x00080000U;

struct KeyRef {
  std::string hivePath;
  std::string rootName;
  std::string path; // below the root, without leading or trailing backslashes
  REGSAM access = 0;
};

class HandleTable {
public:
  HKEY Add(KeyRef key) {
    const std::lock_guard<std::mutex> guard(mutex_);
    next_ += 4;
    keys_.emplace(next_, std::move(key));
    return reinterpret_cast<HKEY>(next_); // NOLINT(*-reinterpret-cast,performance-no-int-to-ptr)
  }
  bool Find(HKEY handle, KeyRef *key) {
    const std::lock_guard<std::mutex> guard(mutex_);
    const auto found =
        keys_.find(reinterpret_cast<std::uintptr_t>(handle)); // NOLINT(*-reinterpret-cast)
    if (found == keys_.end()) {
      return false;
    }
    *key = found->second;
    return true;
  }
  bool Remove(HKEY handle) {
    const std::lock_guard<std::mutex> guard(mutex_);
    return keys_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1; // NOLINT(*-reinterpret-cast)
  }

private:
  std::mutex mutex_;
  std::unordered_map<std::uintptr_t, KeyRef> keys_;
  // Handles are never reused, so a stale handle cannot reach another key.
  std::uintptr_t next_ = 0x1000;
};

HandleTable &Handles() {
  static HandleTable table;
  return table;
}

bool Resolve(HKEY handle, KeyRef *key) {
  for (const PredefinedKey &root : kPredefinedKeys) {
    if (handle == root.handle) {
      *key = KeyRef{orvik::reg::HivePath(root.name), root.name, "", KEY_ALL_ACCESS};
      return true;
    }
  }
  return Handles().Find(handle, key);
}

// Appends `subKey` to `base`. A trailing backslash is allowed, as on Windows; a leading one
// or an empty key name in the middle is not.
LONG JoinPath(const std::string &base, LPCSTR subKey, std::string *path) {
  std::string_view sub = subKey != nullptr ? subKey : "";
  while (!sub.empty() && sub.back() == '\\') {
    sub.remove_suffix(1);
  }
  if (!sub.empty() && (sub.front() == '\\' || sub.find("\\\\") != std::string_view::npos)) {
    return ERROR_BAD_PATHNAME;
  }
  *path = base;
  if (!sub.empty()) {
    if (!path->empty()) {
      path->push_back('\\');
    }
    path->append(sub);
  }
  return ERROR_SUCCESS;
}

// Reads the hive of `key` and finds the key and one of its values in it.
LONG Lookup(const KeyRef &key, std::string_view valueName, std::string *content, KeyLookup *found) {
  if (key.hivePath.empty()) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (const LONG status = orvik::reg::ReadHive(key.hivePath, content); status != ERROR_SUCCESS) {
    return status;
  }
  if (!orvik::reg::ScanHive(*content, key.rootName, key.path, valueName, found)) {
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

bool EndsWithBlankLine(std::string_view content) {
  if (content.empty() || content.back() != '\n') {
    return false;
  }
  content.remove_suffix(1);
  if (!content.empty() && content.back() == '\r') {
    content.remove_suffix(1);
  }
  return content.empty() || content.back() == '\n';
}

// Where and what to write so that the key's value `name` holds the new line.
void PlanValueWrite(std::string_view content, const KeyLookup &found, const std::string &line,
                    orvik::reg::Splice *splice) {
  const std::string eol(found.eol);
  if (found.valueFound) {
    *splice = {found.valueLine.begin, found.valueLine.end, line};
    return;
  }
  if (found.hasSection) {
    *splice = {found.insertAt, found.insertAt, (found.insertNeedsEol ? eol : "") + line + eol};
    return;
  }
  // The key exists only through its subkeys' sections: give it a section of its own.
  std::string text;
  if (!content.empty() && content.back() != '\n') {
    text += eol;
  }
  if (!EndsWithBlankLine(content)) {
    text += eol;
  }
  text.append("[").append(found.keySpelling).append("]").append(eol);
  text.append(line).append(eol);
  *splice = {content.size(), content.size(), text};
}

// The standard containers here throw only when memory runs out; no exception may leave the
// operations, whose callers may be C code.
LSTATUS OpenKey(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult) try {
  if (phkResult == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  *phkResult = nullptr;
  KeyRef parent;
  if (!Resolve(hKey, &parent)) {
    return ERROR_INVALID_HANDLE;
  }
  KeyRef key{parent.hivePath, parent.rootName, "", samDesired};
  if (const LONG status = JoinPath(parent.path, lpSubKey, &key.path); status != ERROR_SUCCESS) {
    return status;
  }
  std::string content;
  KeyLookup found;
  if (const LONG status = Lookup(key, "", &content, &found); status != ERROR_SUCCESS) {
    return status;
  }
  if (!found.keyExists) {
    return ERROR_FILE_NOT_FOUND;
  }
  if ((samDesired & kWriteRights) != 0) {
    if (const LONG status = orvik::reg::CheckWritable(key.hivePath); status != ERROR_SUCCESS) {
      return status;
    }
  }
  *phkResult = Handles().Add(std::move(key));
  return ERROR_SUCCESS;
} catch (...) {
  return ERROR_OUTOFMEMORY;
}

LSTATUS QueryValue(HKEY hKey, LPCSTR lpValueName, const DWORD *lpReserved, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) try {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyRef key;
  if (!Resolve(hKey, &key)) {
    return ERROR_INVALID_HANDLE;
  }
  if ((key.access & KEY_QUERY_VALUE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  std::string content;
  KeyLookup found;
  const std::string_view name = lpValueName != nullptr ? lpValueName : "";
  if (const LONG status = Lookup(key, name, &content, &found); status != ERROR_SUCCESS) {
    return status;
  }
  if (!found.keyExists) {
    return ERROR_KEY_DELETED;
  }
  if (!found.valueFound) {
    return ERROR_FILE_NOT_FOUND;
  }
  DWORD type = REG_NONE;
  std::string data;
  orvik::reg::DecodeValue(content, found, &type, &data);
  if (data.size() > UINT32_MAX) {
    return ERROR_BADDB;
  }
  const auto size = static_cast<DWORD>(data.size());
  if (lpType != nullptr) {
    *lpType = type;
  }
  if (lpData != nullptr && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (lpData != nullptr) {
    std::copy_n(data.data(), size, lpData);
  }
  if (lpcbData != nullptr) {
    *lpcbData = size;
  }
  return ERROR_SUCCESS;
} catch (...) {
  return ERROR_OUTOFMEMORY;
}

LSTATUS SetValue(HKEY hKey, LPCSTR lpValueName, DWORD dwType, const BYTE *lpData,
                 DWORD cbData) try {
  KeyRef key;
  if (!Resolve(hKey, &key)) {
    return ERROR_INVALID_HANDLE;
  }
  if ((key.access & KEY_SET_VALUE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (lpData == nullptr && cbData != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (key.hivePath.empty()) {
    return ERROR_FILE_NOT_FOUND;
  }
  const std::string_view name = lpValueName != nullptr ? lpValueName : "";
  std::string encodedName;
  if (!orvik::reg::EncodeName(name, &encodedName)) {
    return ERROR_INVALID_PARAMETER;
  }
  return orvik::reg::RewriteHive(
      key.hivePath, [&](std::string_view content, orvik::reg::Splice *splice) {
        KeyLookup found;
        if (!orvik::reg::ScanHive(content, key.rootName, key.path, name, &found)) {
          return ERROR_BADDB;
        }
        if (!found.keyExists) {
          return ERROR_KEY_DELETED;
        }
        // A replaced value keeps the spelling of its stored name.
        const std::string_view storedName =
            found.valueFound
                ? content.substr(found.valueName.begin, found.valueName.end - found.valueName.begin)
                : std::string_view(encodedName);
        const std::string line =
            orvik::reg::EncodeValueLine(storedName, dwType, lpData, cbData, found.eol);
        PlanValueWrite(content, found, line, splice);
        return ERROR_SUCCESS;
      });
} catch (...) {
  return ERROR_OUTOFMEMORY;
}

LSTATUS CloseKey(HKEY hKey) try {
  for (const PredefinedKey &root : kPredefinedKeys) {
    if (hKey == root.handle) {
      return ERROR_SUCCESS;
    }
  }
  return Handles().Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
} catch (...) {
  return ERROR_OUTOFMEMORY;
}

// With ORVIK_REGISTRY_TRACE naming a file, each operation appends a line to it: the registry
// layer's counterpart of watching a Windows process's registry calls.
const char *TraceFile() {
  const char *path = std::getenv("ORVIK_REGISTRY_TRACE"); // NOLINT(concurrency-mt-unsafe)
  return path != nullptr && *path != '\0' ? path : nullptr;
}

std::string Describe(HKEY hKey) {
  KeyRef key;
  if (!Resolve(hKey, &key)) {
    return "(invalid handle)";
  }
  return key.path.empty() ? key.rootName : key.rootName + "\\" + key.path;
}

void Trace(const char *operation, const std::string &key, LPCSTR name, const std::string &detail,
           LSTATUS status) noexcept try {
  const char *path = TraceFile();
  if (path == nullptr) {
    return;
  }
  std::string line = std::string(operation) + " " + key;
  if (name != nullptr) {
    line += std::string(" \"") + name + "\"";
  }
  line += detail + " -> " + std::to_string(status) + "\n";
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (write(fd, line.data(), line.size()) < 0) {
      errno = 0;
    }
    close(fd);
  }
} catch (...) {
  return;
}

} // namespace

extern "C" LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                                 PHKEY phkResult) {
  const LSTATUS status = OpenKey(hKey, lpSubKey, samDesired, phkResult);
  if (TraceFile() != nullptr) {
    Trace("RegOpenKeyExA", Describe(hKey), lpSubKey, "", status);
  }
  return status;
}

extern "C" LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName,
                                    LPDWORD lpReserved, // NOLINT(readability-non-const-parameter)
                                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const DWORD given = lpcbData != nullptr ? *lpcbData : 0;
  const LSTATUS status = QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
  if (TraceFile() != nullptr) {
    Trace("RegQueryValueExA", Describe(hKey), lpValueName, " buffer " + std::to_string(given),
          status);
  }
  return status;
}

extern "C" LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                                  const BYTE *lpData, DWORD cbData) {
  const LSTATUS status = SetValue(hKey, lpValueName, dwType, lpData, cbData);
  if (TraceFile() != nullptr) {
    Trace("RegSetValueExA", Describe(hKey), lpValueName,
          " type " + std::to_string(dwType) + ", " + std::to_string(cbData) + " bytes", status);
  }
  return status;
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) {
  if (TraceFile() == nullptr) {
    return CloseKey(hKey);
  }
  const std::string key = Describe(hKey); // while the handle still names its key
  const LSTATUS status = CloseKey(hKey);
  Trace("RegCloseKey", key, nullptr, "", status);
  return status;
}
