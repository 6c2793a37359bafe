// Reading and writing the REGEDIT4 text that a hive file holds.
#pragma once

#include "registry.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::reg {

struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// What one pass over a hive finds out about one key. Offsets are into the whole file.
struct KeyIndex {
  bool exists = false;        // a section names the key itself or one of its subkeys
  std::vector<Span> sections; // the key's own sections, each from its header line to just
                              // past its last value line
  std::string spelling;       // the key's path as the file first spells it
  std::string eol;            // the header's line end, used for every line we add
};

// Where a value of a key is written, as offsets into the whole file.
struct ValueLookup {
  bool found = false;
  Span line; // the value's last line, from its name to the end of its data
  Span name; // the stored name as written, quotes included, or "@"
};

// Checks that a hive is valid REGEDIT4 for the root `rootName` and indexes the key `keyPath`
// (relative to the root, empty for the root itself), in one linear pass over pieces of the
// file, with no allocation per line. The pieces come in order and each ends where SafeCut
// allows, or at the end of the file.
class HiveScanner {
public:
  HiveScanner(std::string_view rootName, std::string_view keyPath);

  // How much of `text` (the start of what is left of the file) may be fed as one piece;
  // 0 when the piece must grow first.
  static std::size_t SafeCut(std::string_view text);

  // Scans the piece that starts at `offset` in the file. False once the hive is invalid.
  bool Feed(std::string_view piece, std::size_t offset);

  // After the last piece: whether the hive is valid, and what was found of the key.
  bool Finish(KeyIndex *index);

private:
  bool Scan(std::string_view text, std::size_t offset);

  std::string root_;
  std::string target_;
  bool valid_ = true;
  bool sawHeader_ = false;
  bool inSection_ = false;
  bool inKey_ = false;
  KeyIndex index_;
};

// Looks for the value `valueName` ("" is the default value) in one of the key's sections,
// read from the file at `offset`; a later line of the value replaces what an earlier one found,
// as on import.
bool FindValue(std::string_view section, std::size_t offset, std::string_view valueName,
               ValueLookup *found);

// Decodes a value that FindValue found in `section`. `data` receives the bytes as the registry
// returns them: a quoted string with its NUL, a dword as four little-endian bytes.
void DecodeValue(std::string_view section, std::size_t offset, const ValueLookup &found,
                 DWORD *type, std::string *data);

// Keeps the index true after the bytes [begin, end) of the hive were replaced by `length`
// bytes inside or at the end of one of the key's sections.
void ApplySplice(KeyIndex *index, std::size_t begin, std::size_t end, std::size_t length);

// The name as a value line starts with it; false when the name cannot be written in a line.
bool EncodeName(std::string_view name, std::string *encoded);

// A whole value line, without its final line end, written as regedit writes it.
std::string EncodeValueLine(std::string_view encodedName, DWORD type, const BYTE *data,
                            std::size_t size, std::string_view eol);

} // namespace orvik::reg
