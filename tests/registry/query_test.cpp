#include "registry_fixture.h"

#include <array>
#include <cstring>

namespace orvik::test {
namespace {

const char *const kHive = "REGEDIT4\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\App]\r\n"
                          "@=\"default\"\r\n"
                          "\"Text\"=\"a \\\"quoted\\\" \\\\ path\"\r\n"
                          "\"Number\"=dword:0000002a\r\n"
                          "\"Short\"=dword:7\r\n"
                          "\"Bytes\"=hex:01,02,ff\r\n"
                          "\"Empty\"=hex:\r\n"
                          "\"Expand\"=hex(2):25,00\r\n"
                          "\"Typed\"=hex(100):aa\r\n"
                          "\"Wrapped\"=hex:00,01,02,\\\r\n"
                          "  03,04\r\n"
                          "\"Twice\"=\"first\"\r\n"
                          "\"Twice\"=\"second\"\r\n"
                          "\"MiXeD\"=\"case\"\r\n"
                          "\"High\"=\"caf\xe9\"\r\n"
                          "\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
                          "\"Later\"=\"not this key\"\r\n"
                          "\r\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\APP]\r\n"
                          "\"Later\"=\"section repeated\"\r\n"
                          "\"Twice\"=\"third\"\r\n";

struct QueryCase {
  const char *name;
  const char *value;
  DWORD type;
  std::string data;
};

const QueryCase kQueryCases[] = {
    {"default_by_null", nullptr, REG_SZ, std::string("default\0", 8)},
    {"default_by_empty", "", REG_SZ, std::string("default\0", 8)},
    {"escaped_text", "Text", REG_SZ, std::string("a \"quoted\" \\ path\0", 18)},
    {"dword", "Number", REG_DWORD, std::string("\x2a\0\0\0", 4)},
    {"short_dword", "Short", REG_DWORD, std::string("\x07\0\0\0", 4)},
    {"binary", "Bytes", REG_BINARY, "\x01\x02\xff"},
    {"empty_binary", "Empty", REG_BINARY, ""},
    {"typed_hex", "Expand", REG_EXPAND_SZ, std::string("%\0", 2)},
    {"large_type", "Typed", 0x100, "\xaa"},
    {"continued_lines", "Wrapped", REG_BINARY, std::string("\0\x01\x02\x03\x04", 5)},
    {"last_line_wins_across_sections", "Twice", REG_SZ, std::string("third\0", 6)},
    {"name_in_other_case", "mixed", REG_SZ, std::string("case\0", 5)},
    {"repeated_section_is_one_key", "Later", REG_SZ, std::string("section repeated\0", 17)},
    {"eight_bit_text", "High", REG_SZ, std::string("caf\xe9\0", 5)},
};

class QueryTest : public RegistryTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(QueryTest, ReturnsTypeSizeAndBytes) {
  WriteHive(kHive);
  HKEY key = Open("Software\\App", KEY_READ);
  std::array<BYTE, 64> buffer{};
  buffer.fill(0xCC);
  DWORD size = buffer.size();
  DWORD type = 0xdeadbeef;
  ASSERT_EQ(RegQueryValueExA(key, GetParam().value, nullptr, &type, buffer.data(), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, GetParam().type);
  ASSERT_EQ(size, GetParam().data.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffer.data()), size), GetParam().data);
  EXPECT_EQ(buffer[size], 0xCC) << "wrote past the data";

  // Asking for the size alone reports the same.
  DWORD sizeOnly = 0;
  EXPECT_EQ(RegQueryValueExA(key, GetParam().value, nullptr, nullptr, nullptr, &sizeOnly),
            ERROR_SUCCESS);
  EXPECT_EQ(sizeOnly, size);
  RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(Values, QueryTest, testing::ValuesIn(kQueryCases),
                         [](const auto &testInfo) { return std::string(testInfo.param.name); });

TEST_F(RegistryTest, QueryFailuresLeaveOutputsAlone) {
  WriteHive(kHive);
  HKEY key = Open("Software\\App", KEY_READ);
  std::array<BYTE, 4> buffer{0xCC, 0xCC, 0xCC, 0xCC};
  DWORD size = buffer.size();
  DWORD type = 0xdeadbeef;

  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, buffer.data(), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, 0xdeadbeefU);
  EXPECT_EQ(size, 4U);
  EXPECT_EQ(buffer[0], 0xCC);

  // Too small a buffer: the data stays out, the needed size comes back.
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 18U);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(buffer, (std::array<BYTE, 4>{0xCC, 0xCC, 0xCC, 0xCC}));

  DWORD reserved = 0;
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Number", &reserved, nullptr, buffer.data(), &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "Number", nullptr, nullptr, buffer.data(), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], 0xCC);
  RegCloseKey(key);

  HKEY writeOnly = Open("Software\\App", KEY_SET_VALUE);
  EXPECT_EQ(RegQueryValueExA(writeOnly, "Number", nullptr, nullptr, buffer.data(), &size),
            ERROR_ACCESS_DENIED);
  RegCloseKey(writeOnly);
}

TEST_F(RegistryTest, QuerySeesTheHiveAsItIsNow) {
  WriteHive(kHive);
  HKEY key = Open("Software\\App", KEY_READ);
  DWORD size = 0;
  WriteHive("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\App]\r\n\"New\"=dword:1\r\n");
  EXPECT_EQ(RegQueryValueExA(key, "New", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  WriteHive("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Elsewhere]\r\n");
  EXPECT_EQ(RegQueryValueExA(key, "New", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  WriteHive("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\App\r\n");
  EXPECT_EQ(RegQueryValueExA(key, "New", nullptr, nullptr, nullptr, &size), ERROR_BADDB);
  std::remove(HivePath().c_str());
  EXPECT_EQ(RegQueryValueExA(key, "New", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

// Layouts that regedit, Wine or a person may leave, all holding V = 1.
struct LayoutCase {
  const char *name;
  const char *hive;
};

const LayoutCase kLayouts[] = {
    {"crlf", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=dword:00000001\r\n"},
    {"lf", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000001\n"},
    {"no_final_line_end", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000001"},
    {"version_5_header", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
                         "\"V\"=dword:00000001\r\n"},
    {"comments_and_blank_space",
     "REGEDIT4\n; a comment\n  \t\n  ;indented\n[HKEY_LOCAL_MACHINE\\K]  \n"
     "; between values\n\"V\"=dword:00000001\n"},
    {"spaces_around_equals", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n  \"V\" =  dword:1  \n"},
    {"upper_case_type_and_digits", "REGEDIT4\n[hkey_local_machine\\k]\n\"v\"=DWORD:0000000A\n"
                                   "\"V\"=HEX(4):01,00,00,00\n"},
    {"hex_one_digit_bytes", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=hex(4):1, 0,0 ,0\n"},
    {"continuation_after_prefix", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=hex(4):\\\n 01,00,\\\n"
                                  "\t00,00\n"},
};

class LayoutTest : public RegistryTest, public testing::WithParamInterface<LayoutCase> {};

TEST_P(LayoutTest, ReadsTheValue) {
  WriteHive(GetParam().hive);
  HKEY key = Open("K", KEY_READ);
  std::array<BYTE, 4> buffer{};
  DWORD size = buffer.size();
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4U);
  EXPECT_EQ(buffer, (std::array<BYTE, 4>{1, 0, 0, 0}));
  RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutTest, testing::ValuesIn(kLayouts),
                         [](const auto &testInfo) { return std::string(testInfo.param.name); });

} // namespace
} // namespace orvik::test
