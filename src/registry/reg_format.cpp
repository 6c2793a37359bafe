#include "reg_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace orvik::reg {
namespace {

constexpr std::string_view kHeaders[] = {"REGEDIT4", "Windows Registry Editor Version 5.00"};
constexpr std::string_view kDefaultEol = "\r\n";
// regedit breaks long hex data after the comma that reaches this column.
constexpr std::size_t kHexWrapColumn = 77;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// ASCII lower case by character; other bytes are their own.
constexpr std::array<char, 256> kLower = [] {
  std::array<char, 256> lower{};
  for (int i = 0; i < 256; ++i) {
    lower[static_cast<std::size_t>(i)] =
        static_cast<char>(i >= 'A' && i <= 'Z' ? i - 'A' + 'a' : i);
  }
  return lower;
}();

char Lower(char c) { return kLower[static_cast<unsigned char>(c)]; }

// Hex digit values by character, -1 for anything else: hex data is most of a large hive, so
// this lookup is the scanner's innermost step.
constexpr std::array<signed char, 256> kHexValues = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (std::size_t i = 0; i < 10; ++i) {
    values['0' + i] = static_cast<signed char>(i);
  }
  for (std::size_t i = 0; i < 6; ++i) {
    values['a' + i] = static_cast<signed char>(10 + i);
    values['A' + i] = static_cast<signed char>(10 + i);
  }
  return values;
}();

int HexDigit(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) {
      return false;
    }
  }
  return true;
}

bool IStartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && IEquals(text.substr(0, prefix.size()), prefix);
}

// One physical line: its content [begin, end) and its line end [end, next).
struct Line {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t next = 0;
};

enum class LineStatus { kOk, kEnd };

LineStatus ReadLine(std::string_view text, std::size_t pos, Line *line) {
  if (pos >= text.size()) {
    return LineStatus::kEnd;
  }
  const char *base = text.data();
  const void *lf = std::memchr(base + pos, '\n', text.size() - pos);
  std::size_t end =
      lf != nullptr ? static_cast<std::size_t>(static_cast<const char *>(lf) - base) : text.size();
  const std::size_t next = lf != nullptr ? end + 1 : end;
  if (lf != nullptr && end > pos && base[end - 1] == '\r') {
    --end;
  }
  *line = Line{pos, end, next};
  return LineStatus::kOk;
}

// A carriage return is only a line end in front of a line feed. Value lines reject one where
// they parse it; other lines are checked whole.
bool HasCarriageReturn(std::string_view text, const Line &line) {
  return std::memchr(text.data() + line.begin, '\r', line.end - line.begin) != nullptr;
}

std::size_t SkipBlanks(std::string_view text, std::size_t pos, std::size_t end) {
  while (pos < end && IsBlank(text[pos])) {
    ++pos;
  }
  return pos;
}

// A quoted text at `*pos`, with the escapes \\ and \". Each unescaped character goes to `sink`.
template <class Sink>
bool ParseQuoted(std::string_view text, std::size_t *pos, std::size_t end, Sink &&sink) {
  std::size_t p = *pos + 1;
  while (p < end) {
    const char c = text[p];
    if (c == '"') {
      *pos = p + 1;
      return true;
    }
    if (c == '\r') {
      return false;
    }
    if (c == '\\') {
      if (p + 1 >= end || (text[p + 1] != '\\' && text[p + 1] != '"')) {
        return false;
      }
      sink(text[p + 1]);
      p += 2;
      continue;
    }
    sink(c);
    ++p;
  }
  return false;
}

bool ParseHexByte(std::string_view text, std::size_t *pos, std::size_t end, BYTE *byte) {
  int value = 0;
  std::size_t digits = 0;
  int digit = 0;
  while (*pos < end && digits < 2 && (digit = HexDigit(text[*pos])) >= 0) {
    value = value * 16 + digit;
    ++*pos;
    ++digits;
  }
  *byte = static_cast<BYTE>(value);
  return digits > 0;
}

using Bytes16 = unsigned char __attribute__((vector_size(16)));

// Whether the 48 characters at `p` are sixteen runs of two hex digits and a comma. Most of a
// large hive is such data, so it is checked sixteen bytes at a time.
bool IsHexRun48(const char *p) {
  constexpr Bytes16 kFF = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  constexpr Bytes16 kCommas[3] = {
      {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0},
      {0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0},
      {0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF},
  };
  Bytes16 bad = {};
  for (std::size_t i = 0; i < 3; ++i) {
    Bytes16 c;
    std::memcpy(&c, p + 16 * i, sizeof c);
    const Bytes16 lower = c | 0x20;
    const auto isComma = reinterpret_cast<Bytes16>(c == ','); // NOLINT(*-reinterpret-cast)
    const auto isHex = reinterpret_cast<Bytes16>(             // NOLINT(*-reinterpret-cast)
        ((c >= '0') & (c <= '9')) | ((lower >= 'a') & (lower <= 'f')));
    bad |= (kCommas[i] & ~isComma) | ((kFF ^ kCommas[i]) & ~isHex);
  }
  std::uint64_t halves[2];
  std::memcpy(halves, &bad, sizeof halves);
  return (halves[0] | halves[1]) == 0;
}

// Comma-separated hex bytes from `pos`, continued onto the next line after a trailing
// backslash. `*line` ends as the value's last physical line.
template <class Sink>
bool ParseHexBytes(std::string_view text, Line *line, std::size_t pos, Sink &&sink) {
  bool afterComma = false;
  for (;;) {
    pos = SkipBlanks(text, pos, line->end);
    if (pos < line->end && text[pos] == '\\' && SkipBlanks(text, pos + 1, line->end) == line->end) {
      if (ReadLine(text, line->next, line) != LineStatus::kOk) {
        return false;
      }
      pos = SkipBlanks(text, line->begin, line->end);
      if (pos == line->end) {
        return false;
      }
    } else if (pos == line->end) {
      return !afterComma;
    }
    // The usual run of two digits and a comma, as regedit writes it.
    const std::size_t runStart = pos;
    while (pos + 48 < line->end && IsHexRun48(text.data() + pos)) {
      for (std::size_t i = 0; i < 48; i += 3) {
        sink(static_cast<BYTE>(HexDigit(text[pos + i]) << 4 | HexDigit(text[pos + i + 1])));
      }
      pos += 48;
      afterComma = true;
    }
    while (pos + 2 < line->end && text[pos + 2] == ',') {
      const int high = HexDigit(text[pos]);
      const int low = HexDigit(text[pos + 1]);
      if (high < 0 || low < 0) {
        break;
      }
      sink(static_cast<BYTE>(high << 4 | low));
      pos += 3;
      afterComma = true;
    }
    if (pos != runStart) {
      continue;
    }
    BYTE byte = 0;
    if (!ParseHexByte(text, &pos, line->end, &byte)) {
      return false;
    }
    sink(byte);
    pos = SkipBlanks(text, pos, line->end);
    if (pos == line->end) {
      return true;
    }
    if (text[pos] != ',') {
      return false;
    }
    ++pos;
    afterComma = true;
  }
}

bool RestIsBlank(std::string_view text, std::size_t pos, std::size_t end) {
  return SkipBlanks(text, pos, end) == end;
}

// The data of a value line from `pos`: its type, and its bytes through `sink`.
template <class Sink>
bool ParseData(std::string_view text, Line *line, std::size_t pos, DWORD *type, Sink &&sink) {
  const std::string_view rest = text.substr(pos, line->end - pos);
  if (!rest.empty() && rest[0] == '"') {
    *type = REG_SZ;
    if (!ParseQuoted(text, &pos, line->end, [&sink](char c) { sink(static_cast<BYTE>(c)); })) {
      return false;
    }
    sink(BYTE{0});
    return RestIsBlank(text, pos, line->end);
  }
  if (IStartsWith(rest, "dword:")) {
    *type = REG_DWORD;
    pos += 6;
    DWORD value = 0;
    std::size_t digits = 0;
    int digit = 0;
    while (pos < line->end && (digit = HexDigit(text[pos])) >= 0) {
      value = value << 4U | static_cast<DWORD>(digit);
      ++pos;
      ++digits;
    }
    for (unsigned shift = 0; shift < 32; shift += 8) {
      sink(static_cast<BYTE>(value >> shift));
    }
    return digits >= 1 && digits <= 8 && RestIsBlank(text, pos, line->end);
  }
  if (IStartsWith(rest, "hex:")) {
    *type = REG_BINARY;
    return ParseHexBytes(text, line, pos + 4, sink);
  }
  if (IStartsWith(rest, "hex(")) {
    pos += 4;
    DWORD value = 0;
    std::size_t digits = 0;
    int digit = 0;
    while (pos < line->end && (digit = HexDigit(text[pos])) >= 0) {
      value = value << 4U | static_cast<DWORD>(digit);
      ++pos;
      ++digits;
    }
    if (digits < 1 || digits > 8 || pos + 2 > line->end || text.substr(pos, 2) != "):") {
      return false;
    }
    *type = value;
    return ParseHexBytes(text, line, pos + 2, sink);
  }
  // Deletions ("Name"=-) and anything else: a hive stores state, never edits.
  return false;
}

// A section name must be the hive's root followed by non-empty key names.
bool ValidSectionName(std::string_view name, std::string_view rootName) {
  if (!IStartsWith(name, rootName)) {
    return false;
  }
  if (name.size() == rootName.size()) {
    return true;
  }
  if (name[rootName.size()] != '\\' || name.back() == '\\') {
    return false;
  }
  return name.find("\\\\", rootName.size()) == std::string_view::npos;
}

bool ValidHeader(std::string_view text, Line *header) {
  if (ReadLine(text, 0, header) != LineStatus::kOk) {
    return false;
  }
  std::size_t end = header->end;
  while (end > header->begin && IsBlank(text[end - 1])) {
    --end;
  }
  const std::string_view first = text.substr(header->begin, end - header->begin);
  return std::find(std::begin(kHeaders), std::end(kHeaders), first) != std::end(kHeaders);
}

// Compares a name as it is unescaped, character by character, with `want`.
class NameMatcher {
public:
  explicit NameMatcher(std::string_view want) : want_(want) {}
  void operator()(char c) {
    if (equal_ && matched_ < want_.size() && Lower(c) == Lower(want_[matched_])) {
      ++matched_;
    } else {
      equal_ = false;
    }
  }
  [[nodiscard]] bool Equal() const { return equal_ && matched_ == want_.size(); }

private:
  std::string_view want_;
  std::size_t matched_ = 0;
  bool equal_ = true;
};

// A value line from its name at `pos`: the name's characters go to `nameSink`, and `*line`
// ends as the value's last physical line.
template <class NameSink>
bool ParseValueLine(std::string_view text, Line *line, std::size_t pos, NameSink &&nameSink,
                    std::size_t *nameEnd = nullptr) {
  if (text[pos] == '@') {
    ++pos;
  } else if (!ParseQuoted(text, &pos, line->end, nameSink)) {
    return false;
  }
  if (nameEnd != nullptr) {
    *nameEnd = pos;
  }
  pos = SkipBlanks(text, pos, line->end);
  if (pos == line->end || text[pos] != '=') {
    return false;
  }
  pos = SkipBlanks(text, pos + 1, line->end);
  DWORD type = 0;
  return ParseData(text, line, pos, &type, [](BYTE /*b*/) {});
}

} // namespace

HiveScanner::HiveScanner(std::string_view rootName, std::string_view keyPath)
    : root_(rootName), target_(rootName) {
  if (!keyPath.empty()) {
    target_.append("\\").append(keyPath);
  }
}

std::size_t HiveScanner::SafeCut(std::string_view text) {
  // A line that starts a section or a value cannot continue hex data, so a piece may end in
  // front of one: were it a continuation, the data would be invalid either way.
  for (std::size_t lf = text.rfind('\n'); lf != std::string_view::npos && lf > 0;
       lf = text.rfind('\n', lf - 1)) {
    if (lf + 1 < text.size()) {
      const char next = text[lf + 1];
      if (next == '[' || next == '"' || next == '@') {
        return lf + 1;
      }
    }
  }
  return 0;
}

bool HiveScanner::Feed(std::string_view piece, std::size_t offset) {
  if (!valid_) {
    return false;
  }
  valid_ = Scan(piece, offset);
  return valid_;
}

bool HiveScanner::Finish(KeyIndex *index) {
  valid_ = valid_ && sawHeader_;
  *index = std::move(index_);
  return valid_;
}

bool HiveScanner::Scan(std::string_view text, std::size_t offset) {
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
    return false;
  }
  Line line;
  if (!sawHeader_) {
    if (!ValidHeader(text, &line)) {
      return false;
    }
    sawHeader_ = true;
    index_.eol = line.next > line.end ? text.substr(line.end, line.next - line.end) : kDefaultEol;
  }
  for (;;) {
    if (ReadLine(text, line.next, &line) == LineStatus::kEnd) {
      return true;
    }
    std::size_t pos = SkipBlanks(text, line.begin, line.end);
    if (pos == line.end) {
      continue;
    }
    if ((text[pos] == ';' || text[pos] == '[') && HasCarriageReturn(text, line)) {
      return false;
    }
    if (text[pos] == ';') {
      continue;
    }
    if (text[pos] == '[') {
      const void *close = memrchr(text.data() + pos, ']', line.end - pos);
      if (close == nullptr) {
        return false;
      }
      const auto closeAt = static_cast<std::size_t>(static_cast<const char *>(close) - text.data());
      const std::string_view name = text.substr(pos + 1, closeAt - pos - 1);
      if (!RestIsBlank(text, closeAt + 1, line.end) || !ValidSectionName(name, root_)) {
        return false;
      }
      inSection_ = true;
      inKey_ = IEquals(name, target_);
      const bool isSubkey = IStartsWith(name, target_) && name.size() > target_.size() &&
                            name[target_.size()] == '\\';
      if ((inKey_ || isSubkey) && !index_.exists) {
        index_.exists = true;
        index_.spelling = name.substr(0, target_.size());
      }
      if (inKey_) {
        index_.sections.push_back(Span{offset + line.begin, offset + line.next});
      }
      continue;
    }
    if (!inSection_ || (text[pos] != '"' && text[pos] != '@')) {
      return false;
    }
    if (!ParseValueLine(text, &line, pos, [](char /*c*/) {})) {
      return false;
    }
    if (inKey_) {
      index_.sections.back().end = offset + line.next;
    }
  }
}

bool FindValue(std::string_view section, std::size_t offset, std::string_view valueName,
               ValueLookup *found) {
  Line line;
  ReadLine(section, 0, &line); // the section's header
  while (ReadLine(section, line.next, &line) == LineStatus::kOk) {
    const std::size_t pos = SkipBlanks(section, line.begin, line.end);
    if (pos == line.end || section[pos] == ';') {
      continue;
    }
    NameMatcher matcher(valueName);
    std::size_t nameEnd = pos;
    if (!ParseValueLine(section, &line, pos, matcher, &nameEnd)) {
      return false;
    }
    if (matcher.Equal()) {
      found->found = true;
      found->name = Span{offset + pos, offset + nameEnd};
      found->line = Span{offset + pos, offset + line.end};
    }
  }
  return true;
}

void DecodeValue(std::string_view section, std::size_t offset, const ValueLookup &found,
                 DWORD *type, std::string *data) {
  data->clear();
  Line line;
  ReadLine(section, found.line.begin - offset, &line);
  std::size_t pos = SkipBlanks(section, found.name.end - offset, line.end) + 1; // past the '='
  pos = SkipBlanks(section, pos, line.end);
  ParseData(section, &line, pos, type, [data](BYTE b) { data->push_back(static_cast<char>(b)); });
}

void ApplySplice(KeyIndex *index, std::size_t begin, std::size_t end, std::size_t length) {
  for (Span &section : index->sections) {
    if (section.begin >= end && section.begin > begin) {
      section.begin = section.begin + length - (end - begin);
    }
    if (section.end >= end) {
      section.end = section.end + length - (end - begin);
    }
  }
}

bool EncodeName(std::string_view name, std::string *encoded) {
  encoded->clear();
  if (name.empty()) {
    encoded->push_back('@');
    return true;
  }
  encoded->push_back('"');
  for (char c : name) {
    if (c == '\r' || c == '\n') {
      return false;
    }
    if (c == '\\' || c == '"') {
      encoded->push_back('\\');
    }
    encoded->push_back(c);
  }
  encoded->push_back('"');
  return true;
}

namespace {

// A REG_SZ value is written as quoted text only if reading it back gives the same bytes.
bool WritableAsText(const BYTE *data, std::size_t size) {
  if (size == 0 || data[size - 1] != 0) {
    return false;
  }
  for (std::size_t i = 0; i + 1 < size; ++i) {
    if (data[i] < 0x20 && data[i] != '\t') {
      return false;
    }
  }
  return true;
}

void AppendHex(std::string *out, BYTE byte) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  out->push_back(kDigits[byte >> 4U]);
  out->push_back(kDigits[byte & 0xFU]);
}

} // namespace

std::string EncodeValueLine(std::string_view encodedName, DWORD type, const BYTE *data,
                            std::size_t size, std::string_view eol) {
  std::string line(encodedName);
  line.push_back('=');
  if (type == REG_SZ && WritableAsText(data, size)) {
    line.push_back('"');
    for (std::size_t i = 0; i + 1 < size; ++i) {
      const char c = static_cast<char>(data[i]);
      if (c == '\\' || c == '"') {
        line.push_back('\\');
      }
      line.push_back(c);
    }
    line.push_back('"');
    return line;
  }
  if (type == REG_DWORD && size == 4) {
    line.append("dword:");
    for (std::size_t i = 4; i-- > 0;) {
      AppendHex(&line, data[i]);
    }
    return line;
  }
  if (type == REG_BINARY) {
    line.append("hex:");
  } else {
    std::array<char, 8> digits{};
    const auto result = std::to_chars(digits.begin(), digits.end(), type, 16);
    line.append("hex(").append(digits.data(), result.ptr).append("):");
  }
  line.reserve(line.size() + size * 3 + (size / 24 + 1) * (eol.size() + 3));
  std::size_t column = line.size();
  for (std::size_t i = 0; i < size; ++i) {
    AppendHex(&line, data[i]);
    if (i + 1 == size) {
      break;
    }
    line.push_back(',');
    column += 3;
    if (column >= kHexWrapColumn) {
      line.push_back('\\');
      line.append(eol);
      line.append("  ");
      column = 2;
    }
  }
  return line;
}

} // namespace orvik::reg
