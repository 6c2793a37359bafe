// The hive files themselves: where they are, reading them, and replacing them safely.
#pragma once

#include "reg_format.h"
#include "registry.h"

#include <cstddef>
#include <functional>
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

// A hive file as this process last looked at it. The file stays open, so that its inode
// cannot be reused: while the path still names that same unchanged file, what was found in it
// still holds. The content itself is never held, only read in pieces.
class HiveFile {
public:
  HiveFile() = default;
  HiveFile(const HiveFile &) = delete;
  HiveFile &operator=(const HiveFile &) = delete;
  ~HiveFile();

  // Holds the file at `path` now. `*reloaded` tells whether it is another file than before.
  LONG Load(const std::string &path, bool *reloaded);

  // Streams the whole held file through `scanner`: ERROR_BADDB when it is invalid.
  LONG Scan(HiveScanner *scanner) const;

  // The bytes of `span` of the held file, and its last few bytes.
  LONG ReadAt(Span span, std::string *bytes) const;
  LONG Tail(std::string *tail) const;

  // Replaces the file with an edited copy, atomically and durably, under the hive's lock.
  // `plan` runs under the lock, with the file at the path held again (`reloaded` when it is
  // another file than before), and either fills the splice or returns an error, in which case
  // the file is left alone. On success the new file is held.
  LONG Rewrite(const std::function<LONG(bool reloaded, Splice *splice)> &plan);

  // Lets go of the file.
  void Release();

  [[nodiscard]] std::size_t Size() const { return static_cast<std::size_t>(identity_.st_size); }

private:
  LONG Hold(const std::string &path, int fd);
  [[nodiscard]] bool SameAsHeld(int fd) const;
  [[nodiscard]] LONG CopyWith(int out, const Splice &splice) const;

  std::string path_;
  int fd_ = -1;
  struct stat identity_ {};
};

} // namespace orvik::reg
