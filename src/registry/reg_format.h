// Reading and writing the REGEDIT4 text that a hive file holds.
#pragma once

#include "registry.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace orvik::reg {

struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// What one pass over a hive finds out about one key and one of its values.
struct KeyLookup {
  bool keyExists = false;  // a section names the key itself or one of its subkeys
  bool hasSection = false; // a section names the key itself
  bool valueFound = false;
  Span valueLine;               // the value's last line, from its name to the end of its data
  Span valueName;               // the stored name as written, quotes included, or "@"
  std::size_t insertAt = 0;     // just past the last line of the key's last section
  bool insertNeedsEol = false;  // that line is the file's last and has no line end
  std::string_view keySpelling; // the key's path as the file spells it
  std::string_view eol;         // the header's line end, used for every line we add
};

// Checks that `text` is a valid hive for the root `rootName` and finds the key `keyPath`
// (relative to the root, empty for the root itself) and its value `valueName` ("" is the
// default value). One linear pass, no allocation per line. Returns false for an invalid hive.
bool ScanHive(std::string_view text, std::string_view rootName, std::string_view keyPath,
              std::string_view valueName, KeyLookup *found);

// Decodes the value whose line ScanHive reported. `data` receives the bytes as the registry
// returns them: a quoted string with its NUL, a dword as four little-endian bytes.
void DecodeValue(std::string_view text, const KeyLookup &found, DWORD *type, std::string *data);

// The name as a value line starts with it; false when the name cannot be written in a line.
bool EncodeName(std::string_view name, std::string *encoded);

// A whole value line, without its final line end, written as regedit writes it.
std::string EncodeValueLine(std::string_view encodedName, DWORD type, const BYTE *data,
                            std::size_t size, std::string_view eol);

} // namespace orvik::reg
