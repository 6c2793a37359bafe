// The hive files themselves: where they are, reading them, and replacing them safely.
#pragma once

#include "registry.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace orvik::reg {

// The hive file of a predefined root, such as ".../HKEY_LOCAL_MACHINE.reg"; empty when the
// environment names no registry directory at all.
std::string HivePath(std::string_view rootName);

LONG ReadHive(const std::string &path, std::string *content);

// ERROR_ACCESS_DENIED unless this process may replace the hive file.
LONG CheckWritable(const std::string &path);

// One contiguous change: the bytes [begin, end) of the hive are replaced by `text`.
struct Splice {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string text;
};

// Replaces the hive with an edited copy, atomically and durably, under the hive's lock.
// `plan` sees the current content, read under the lock, and either fills the splice and
// returns ERROR_SUCCESS or returns an error, in which case the file is left alone.
LONG RewriteHive(const std::string &path,
                 const std::function<LONG(std::string_view content, Splice *splice)> &plan);

} // namespace orvik::reg
