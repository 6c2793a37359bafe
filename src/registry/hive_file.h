// The hive files themselves: where they are, reading them, and replacing them safely.
#pragma once

#include "registry.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace orvik::reg {

// The hive file of a predefined root, such as ".../HKEY_LOCAL_MACHINE.reg"; empty when the
// environment names no registry directory at all.
std::string HivePath(std::string_view rootName);

// ERROR_ACCESS_DENIED unless this process may replace the hive file.
LONG CheckWritable(const std::string &path);

// One contiguous change: the bytes [begin, end) of the hive are replaced by `text`.
struct Splice {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string text;
};

// A hive file as this process last read it. The file stays open, so that its inode cannot be
// reused: while the path still names that same unchanged file, its content need not be read
// or scanned again.
class HiveFile {
public:
  HiveFile() = default;
  HiveFile(const HiveFile &) = delete;
  HiveFile &operator=(const HiveFile &) = delete;
  ~HiveFile();

  // Makes Content() that of the file at `path` now. `*reloaded` tells whether it changed.
  LONG Load(const std::string &path, bool *reloaded);

  // Replaces the file with an edited copy, atomically and durably, under the hive's lock.
  // `plan` sees the current content, read again under the lock (`reloaded` when it differs
  // from what was held), and either fills the splice or returns an error, in which case the
  // file is left alone. On success Content() is the new file's.
  LONG
  Rewrite(const std::function<LONG(std::string_view content, bool reloaded, Splice *splice)> &plan);

  // Forgets the file and frees its content.
  void Release();

  [[nodiscard]] std::string_view Content() const { return {content_.get(), size_}; }

private:
  LONG Read(int fd);
  [[nodiscard]] bool SameAsHeld(int fd) const;
  void Replace(const Splice &splice);

  std::string path_;
  int fd_ = -1;
  struct stat identity_ {};
  // The content is not a std::string, which would clear all of it before every read.
  std::unique_ptr<char[]> content_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

} // namespace orvik::reg
