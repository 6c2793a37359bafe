// The four registry operations over hive files. Each call first checks that the hive file is
// still the one it looked at before, so it sees what other processes have written since.
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

using orvik::reg::KeyIndex;
using orvik::reg::ValueLookup;

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
    next_ += 4;
    keys_.emplace(next_, std::move(key));
    return reinterpret_cast<HKEY>(next_); // NOLINT(*-reinterpret-cast,performance-no-int-to-ptr)
  }
  bool Find(HKEY handle, KeyRef *key) const {
    const auto found =
        keys_.find(reinterpret_cast<std::uintptr_t>(handle)); // NOLINT(*-reinterpret-cast)
    if (found == keys_.end()) {
      return false;
    }
    *key = found->second;
    return true;
  }
  bool Remove(HKEY handle) {
    return keys_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1; // NOLINT(*-reinterpret-cast)
  }
  [[nodiscard]] bool Empty() const { return keys_.empty(); }

private:
  std::unordered_map<std::uintptr_t, KeyRef> keys_;
  // Handles are never reused, so a stale handle cannot reach another key.
  std::uintptr_t next_ = 0x1000;
};

HandleTable &Handles() {
  static HandleTable table;
  return table;
}

// A handle is only compared here; its type is the platform's opaque HKEY.
// cppcheck-suppress constParameter
const PredefinedKey *FindPredefined(HKEY handle) {
  for (const PredefinedKey &root : kPredefinedKeys) {
    if (handle == root.handle) {
      return &root;
    }
  }
  return nullptr;
}

bool Resolve(HKEY handle, KeyRef *key) {
  if (const PredefinedKey *root = FindPredefined(handle)) {
    *key = KeyRef{orvik::reg::HivePath(root->name), root->name, "", KEY_ALL_ACCESS};
    return true;
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

// Where and what to write so that the key's value holds the new line. `before` is the byte in
// front of where the key's sections end, `tail` the last bytes of the file.
orvik::reg::Splice PlanValueWrite(const KeyIndex &index, const ValueLookup &value,
                                  const std::string &line, char before, std::string_view tail,
                                  std::size_t size) {
  const std::string &eol = index.eol;
  if (value.found) {
    return {value.line.begin, value.line.end, line};
  }
  if (!index.sections.empty()) {
    const std::size_t at = index.sections.back().end;
    return {at, at, (before != '\n' ? eol : "") + line + eol};
  }
  // The key exists only through its subkeys' sections: give it a section of its own.
  std::string text;
  if (!tail.empty() && tail.back() != '\n') {
    text += eol;
  }
  if (!EndsWithBlankLine(tail)) {
    text += eol;
  }
  text.append("[").append(index.spelling).append("]").append(eol);
  text.append(line).append(eol);
  return {size, size, text};
}

// The hive this process works on, and the index of the key it last looked at there. One is
// enough: the switch works on one key at a time, and each call checks that the file is still
// the one looked at before it relies on what was found.
class Session {
public:
  // Holds the hive of `key` and indexes the key in it.
  LONG Prepare(const KeyRef &key) {
    if (key.hivePath.empty()) {
      return ERROR_FILE_NOT_FOUND;
    }
    bool reloaded = false;
    if (const LONG status = file_.Load(key.hivePath, &reloaded); status != ERROR_SUCCESS) {
      indexed_ = false;
      return status;
    }
    return IndexKey(key, reloaded);
  }

  [[nodiscard]] const KeyIndex &Index() const { return index_; }

  // Finds the value `name` of the indexed key; `section` receives the text of the section
  // that holds its last line, which starts at `*offset` in the file.
  LONG Find(std::string_view name, ValueLookup *found, std::string *section, std::size_t *offset) {
    *found = ValueLookup{};
    std::string text;
    for (const orvik::reg::Span &span : index_.sections) {
      if (const LONG status = file_.ReadAt(span, &text); status != ERROR_SUCCESS) {
        return status;
      }
      ValueLookup here;
      if (!orvik::reg::FindValue(text, span.begin, name, &here)) {
        return ERROR_BADDB;
      }
      if (here.found) {
        *found = here;
        *section = text;
        *offset = span.begin;
      }
    }
    return ERROR_SUCCESS;
  }

  LONG SetValue(const KeyRef &key, std::string_view name, const std::string &encodedName,
                DWORD type, const BYTE *data, DWORD size) {
    if (const LONG status = Prepare(key); status != ERROR_SUCCESS) {
      return status;
    }
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t length = 0;
    const LONG status = file_.Rewrite([&](bool reloaded, orvik::reg::Splice *splice) {
      if (const LONG indexed = IndexKey(key, reloaded); indexed != ERROR_SUCCESS) {
        return indexed;
      }
      if (!index_.exists) {
        return ERROR_KEY_DELETED;
      }
      ValueLookup value;
      std::string section;
      std::size_t offset = 0;
      if (const LONG found = Find(name, &value, &section, &offset); found != ERROR_SUCCESS) {
        return found;
      }
      // A replaced value keeps the spelling of its stored name.
      const std::string_view storedName =
          value.found ? std::string_view(section).substr(value.name.begin - offset,
                                                         value.name.end - value.name.begin)
                      : std::string_view(encodedName);
      const std::string line =
          orvik::reg::EncodeValueLine(storedName, type, data, size, index_.eol);
      std::string before;
      std::string tail;
      if (!index_.sections.empty()) {
        const std::size_t at = index_.sections.back().end;
        if (const LONG read = file_.ReadAt({at - 1, at}, &before); read != ERROR_SUCCESS) {
          return read;
        }
      } else if (const LONG read = file_.Tail(&tail); read != ERROR_SUCCESS) {
        return read;
      }
      *splice = PlanValueWrite(index_, value, line, before.empty() ? '\n' : before[0], tail,
                               file_.Size());
      begin = splice->begin;
      end = splice->end;
      length = splice->text.size();
      return ERROR_SUCCESS;
    });
    // A new section, or a failure part-way, is rare: the key is simply indexed afresh.
    if (status != ERROR_SUCCESS || index_.sections.empty()) {
      indexed_ = false;
    } else {
      orvik::reg::ApplySplice(&index_, begin, end, length);
    }
    return status;
  }

  void Release() {
    file_.Release();
    indexed_ = false;
  }

private:
  LONG IndexKey(const KeyRef &key, bool reloaded) {
    if (reloaded || !indexed_ || root_ != key.rootName || path_ != key.path) {
      indexed_ = false;
      orvik::reg::HiveScanner scanner(key.rootName, key.path);
      if (const LONG status = file_.Scan(&scanner); status != ERROR_SUCCESS) {
        return status;
      }
      if (!scanner.Finish(&index_)) {
        return ERROR_BADDB;
      }
      root_ = key.rootName;
      path_ = key.path;
      indexed_ = true;
    }
    return ERROR_SUCCESS;
  }

  orvik::reg::HiveFile file_;
  std::string root_;
  std::string path_;
  bool indexed_ = false;
  KeyIndex index_;
};

// All state of the registry layer, used by one call at a time.
std::mutex registryMutex;
Session &CurrentSession() {
  static Session session;
  return session;
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
  Session &session = CurrentSession();
  if (const LONG status = session.Prepare(key); status != ERROR_SUCCESS) {
    return status;
  }
  if (!session.Index().exists) {
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
  Session &session = CurrentSession();
  if (const LONG status = session.Prepare(key); status != ERROR_SUCCESS) {
    return status;
  }
  if (!session.Index().exists) {
    return ERROR_KEY_DELETED;
  }
  ValueLookup found;
  std::string section;
  std::size_t offset = 0;
  const std::string_view name = lpValueName != nullptr ? lpValueName : "";
  if (const LONG status = session.Find(name, &found, &section, &offset); status != ERROR_SUCCESS) {
    return status;
  }
  if (!found.found) {
    return ERROR_FILE_NOT_FOUND;
  }
  DWORD type = REG_NONE;
  std::string data;
  orvik::reg::DecodeValue(section, offset, found, &type, &data);
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
  return CurrentSession().SetValue(key, name, encodedName, dwType, lpData, cbData);
} catch (...) {
  return ERROR_OUTOFMEMORY;
}

LSTATUS CloseKey(HKEY hKey) try {
  // The predefined keys are always open.
  if (FindPredefined(hKey) != nullptr) {
    return ERROR_SUCCESS;
  }
  if (!Handles().Remove(hKey)) {
    return ERROR_INVALID_HANDLE;
  }
  // With no key open, the hive file held open is let go.
  if (Handles().Empty()) {
    CurrentSession().Release();
  }
  return ERROR_SUCCESS;
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
  const std::lock_guard<std::mutex> guard(registryMutex);
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
  const std::lock_guard<std::mutex> guard(registryMutex);
  const LSTATUS status = QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
  if (TraceFile() != nullptr) {
    Trace("RegQueryValueExA", Describe(hKey), lpValueName, " buffer " + std::to_string(given),
          status);
  }
  return status;
}

extern "C" LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                                  const BYTE *lpData, DWORD cbData) {
  const std::lock_guard<std::mutex> guard(registryMutex);
  const LSTATUS status = SetValue(hKey, lpValueName, dwType, lpData, cbData);
  if (TraceFile() != nullptr) {
    Trace("RegSetValueExA", Describe(hKey), lpValueName,
          " type " + std::to_string(dwType) + ", " + std::to_string(cbData) + " bytes", status);
  }
  return status;
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) {
  const std::lock_guard<std::mutex> guard(registryMutex);
  if (TraceFile() == nullptr) {
    return CloseKey(hKey);
  }
  const std::string key = Describe(hKey); // while the handle still names its key
  const LSTATUS status = CloseKey(hKey);
  Trace("RegCloseKey", key, nullptr, "", status);
  return status;
}
