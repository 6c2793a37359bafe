#include "registry_fixture.h"

namespace orvik::test {
namespace {

const std::string kValid =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\App]\r\n\"V\"=dword:00000001\r\n";
const std::string kSection = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\App]\r\n";

struct MalformedCase {
  const char *name;
  std::string hive;
};

const MalformedCase kMalformed[] = {
    {"empty_file", ""},
    {"no_header", "[HKEY_LOCAL_MACHINE\\Software\\App]\r\n"},
    {"unknown_header", "REGEDIT5\r\n[HKEY_LOCAL_MACHINE\\Software\\App]\r\n"},
    {"utf16_file", std::string("\xff\xfeW\0i\0n\0\r\0\n\0", 12)},
    {"nul_byte", kSection + std::string("\"V\"=\"a\0b\"\r\n", 11)},
    {"bad_hex_digit", kSection + "\"V\"=hex:0g\r\n"},
    {"hex_byte_of_three_digits", kSection + "\"V\"=hex:123\r\n"},
    {"hex_trailing_comma", kSection + "\"V\"=hex:01,\r\n"},
    {"hex_missing_comma", kSection + "\"V\"=hex:01 02\r\n"},
    {"continuation_never_ends", kSection + "\"V\"=hex:01,\\\r\n"},
    {"continuation_into_blank_line", kSection + "\"V\"=hex:01,\\\r\n\r\n\"W\"=dword:1\r\n"},
    {"unterminated_string", kSection + "\"V\"=\"abc\r\n"},
    {"unterminated_name", kSection + "\"V=\"abc\"\r\n"},
    {"unknown_escape", kSection + "\"V\"=\"a\\nb\"\r\n"},
    {"text_after_string", kSection + "\"V\"=\"a\" b\r\n"},
    {"missing_equals", kSection + "\"V\" \"a\"\r\n"},
    {"dword_of_nine_digits", kSection + "\"V\"=dword:000000001\r\n"},
    {"dword_without_digits", kSection + "\"V\"=dword:\r\n"},
    {"dword_not_hex", kSection + "\"V\"=dword:1z\r\n"},
    {"hex_type_without_colon", kSection + "\"V\"=hex(2)01\r\n"},
    {"hex_type_not_hex", kSection + "\"V\"=hex(q):01\r\n"},
    {"unknown_data", kSection + "\"V\"=str:\"a\"\r\n"},
    {"deleted_key", kValid + "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"},
    {"deleted_value", kSection + "\"V\"=-\r\n"},
    {"value_before_any_section", "REGEDIT4\r\n\"V\"=dword:1\r\n"},
    {"section_of_another_root", kValid + "[HKEY_CURRENT_USER\\Software]\r\n"},
    {"section_with_empty_key_name", kValid + "[HKEY_LOCAL_MACHINE\\\\Software]\r\n"},
    {"section_with_trailing_backslash", kValid + "[HKEY_LOCAL_MACHINE\\Software\\]\r\n"},
    {"section_without_bracket", kValid + "[HKEY_LOCAL_MACHINE\\Software\r\n"},
    {"text_after_section", kValid + "[HKEY_LOCAL_MACHINE\\Software] x\r\n"},
    {"lone_carriage_return", kSection + "\"V\"=dword:1\r\"W\"=dword:2\r\n"},
    {"stray_line", kSection + "V=1\r\n"},
};

class MalformedTest : public RegistryTest, public testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTest, EveryOpenFailsAndTheFileIsNeverRewritten) {
  const std::string &hive = GetParam().hive;
  WriteHive(hive);
  HKEY key = SentinelKey();
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\App", 0, KEY_ALL_ACCESS, &key),
            ERROR_BADDB);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key), ERROR_BADDB);

  // A key opened while the hive was sound can neither read nor write it once it is broken.
  WriteHive(kValid);
  key = Open("Software\\App");
  WriteHive(hive);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), ERROR_BADDB);
  const BYTE zero[4] = {};
  EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, zero, 4), ERROR_BADDB);
  EXPECT_EQ(Hive(), hive);
  RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(Hives, MalformedTest, testing::ValuesIn(kMalformed),
                         [](const auto &testInfo) { return std::string(testInfo.param.name); });

} // namespace
} // namespace orvik::test
