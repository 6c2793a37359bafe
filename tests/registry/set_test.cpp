#include "registry_fixture.h"

#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace orvik::test {
namespace {

const std::string kHead =
    "REGEDIT4\r\n\r\n; vendor settings\r\n[HKEY_LOCAL_MACHINE\\Software\\App]\r\n";
const std::string kName = "\"Name\"=\"old\"\r\n";
const std::string kWide = "\"Wide\"=hex:00,01,\\\r\n  02,03\r\n";
const std::string kTail = "\r\n; next key\r\n[HKEY_LOCAL_MACHINE\\Software\\Next]\r\n"
                          "\"Other\"=dword:00000001\r\n";
const std::string kHive = kHead + kName + kWide + kTail;

std::string Bytes(const char *text) { return {text, std::strlen(text) + 1}; }

// Each write must change exactly one line, or add one at the end of the key's section.
struct SetCase {
  const char *name;
  const char *value;
  DWORD type;
  std::string data;
  std::string expected;
};

const std::string k40Bytes(40, '\x5a');

const SetCase kSetCases[] = {
    {"replace_text", "Name", REG_SZ, Bytes("new"), kHead + "\"Name\"=\"new\"\r\n" + kWide + kTail},
    {"replace_keeps_stored_spelling", "NAME", REG_SZ, Bytes("new"),
     kHead + "\"Name\"=\"new\"\r\n" + kWide + kTail},
    {"replace_continued_lines", "Wide", REG_DWORD, std::string("\x05\0\0\0", 4),
     kHead + kName + "\"Wide\"=dword:00000005\r\n" + kTail},
    {"add_at_end_of_section", "Added", REG_DWORD, std::string("\x10\x32\x54\x76", 4),
     kHead + kName + kWide + "\"Added\"=dword:76543210\r\n" + kTail},
    {"default_value", nullptr, REG_SZ, Bytes("d"), kHead + kName + kWide + "@=\"d\"\r\n" + kTail},
    {"escaped_name_and_text", "a\"b\\c", REG_SZ, Bytes("C:\\x \"y\""),
     kHead + kName + kWide + "\"a\\\"b\\\\c\"=\"C:\\\\x \\\"y\\\"\"\r\n" + kTail},
    {"text_with_line_break_as_hex", "Name", REG_SZ, Bytes("a\nb"),
     kHead + "\"Name\"=hex(1):61,0a,62,00\r\n" + kWide + kTail},
    {"text_without_nul_as_hex", "Name", REG_SZ, "ab",
     kHead + "\"Name\"=hex(1):61,62\r\n" + kWide + kTail},
    {"empty_text_as_hex", "Name", REG_SZ, "", kHead + "\"Name\"=hex(1):\r\n" + kWide + kTail},
    {"expand_string", "Name", REG_EXPAND_SZ, std::string("%\0", 2),
     kHead + "\"Name\"=hex(2):25,00\r\n" + kWide + kTail},
    {"short_dword_as_hex", "Name", REG_DWORD, "\x01\x02",
     kHead + "\"Name\"=hex(4):01,02\r\n" + kWide + kTail},
    {"qword", "Name", 11, std::string("\x01\0\0\0\0\0\0\0", 8),
     kHead + "\"Name\"=hex(b):01,00,00,00,00,00,00,00\r\n" + kWide + kTail},
    {"long_binary_wraps_like_regedit", "Name", REG_BINARY, k40Bytes,
     kHead +
         "\"Name\"=hex:5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,\\\r\n"
         "  5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a\r\n" +
         kWide + kTail},
};

class SetTest : public RegistryTest, public testing::WithParamInterface<SetCase> {};

TEST_P(SetTest, ChangesOnlyThatLineAndReadsBack) {
  WriteHive(kHive);
  HKEY key = Open("Software\\App");
  const SetCase &c = GetParam();
  ASSERT_EQ(RegSetValueExA(key, c.value, 0, c.type, reinterpret_cast<const BYTE *>(c.data.data()),
                           static_cast<DWORD>(c.data.size())),
            ERROR_SUCCESS);
  EXPECT_EQ(Hive(), c.expected);

  std::vector<BYTE> buffer(c.data.size() + 1);
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(key, c.value, nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, c.type);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffer.data()), size), c.data);
  RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(Writes, SetTest, testing::ValuesIn(kSetCases),
                         [](const auto &testInfo) { return std::string(testInfo.param.name); });

TEST_F(RegistryTest, AnyTypeAndSizeReadsBackUnchanged) {
  WriteHive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n");
  std::string large;
  for (int i = 0; i < 100000; ++i) {
    large.push_back(static_cast<char>(i * 7));
  }
  const std::vector<std::pair<DWORD, std::string>> values = {
      {REG_NONE, ""},
      {REG_SZ, std::string("\t\x80\xff\0", 4)},
      {REG_SZ, std::string(1, '\0')},
      {REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
      {REG_BINARY, large},
      {0xFFFFFFFF, "x"},
      {REG_SZ, std::string("\r", 2)},
  };
  HKEY key = Open("K");
  for (const auto &[type, data] : values) {
    ASSERT_EQ(RegSetValueExA(key, "V", 0, type, reinterpret_cast<const BYTE *>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    std::vector<BYTE> buffer(data.size() + 1);
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD readType = 0;
    ASSERT_EQ(RegQueryValueExA(key, "V", nullptr, &readType, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(readType, type);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffer.data()), size), data);
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, KeyKnownOnlyThroughSubkeysGetsASection) {
  const std::string lf =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\n\"A\"=dword:00000001";
  WriteHive(lf);
  HKEY key = Open("software\\vendor");
  const BYTE one[4] = {1, 0, 0, 0};
  ASSERT_EQ(RegSetValueExA(key, "B", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
  // The new section keeps the stored spelling and the file's own line ends.
  EXPECT_EQ(Hive(), lf + "\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"B\"=dword:00000001\n");
  RegCloseKey(key);

  HKEY root = Open(nullptr);
  ASSERT_EQ(RegSetValueExA(root, "R", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
  EXPECT_EQ(Hive(), lf + "\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"B\"=dword:00000001\n"
                         "\n[HKEY_LOCAL_MACHINE]\n\"R\"=dword:00000001\n");
  RegCloseKey(root);
}

TEST_F(RegistryTest, AddsAfterAnUnterminatedLastLine) {
  WriteHive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:00000001");
  HKEY key = Open("K");
  const BYTE two[4] = {2, 0, 0, 0};
  ASSERT_EQ(RegSetValueExA(key, "B", 0, REG_DWORD, two, 4), ERROR_SUCCESS);
  EXPECT_EQ(Hive(),
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:00000001\n\"B\"=dword:00000002\n");
  RegCloseKey(key);
}

TEST_F(RegistryTest, RewriteKeepsPermissionBitsAndLeavesNoFiles) {
  for (const mode_t mode : {0600, 0640, 0664}) {
    WriteHive(kHive);
    ASSERT_EQ(chmod(HivePath().c_str(), mode), 0);
    HKEY key = Open("Software\\App");
    const BYTE zero[4] = {};
    ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_DWORD, zero, 4), ERROR_SUCCESS);
    RegCloseKey(key);
    struct stat info {};
    ASSERT_EQ(stat(HivePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, mode);
  }
  EXPECT_EQ(ListDir(dir_.Path()),
            (std::vector<std::string>{"HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE.reg.lock"}));
}

TEST_F(RegistryTest, LeftoverOfAKilledWriterIsCleared) {
  WriteHive(kHive);
  WriteFile(HivePath() + ".tmp", "half a hive");
  HKEY key = Open("Software\\App");
  const BYTE zero[4] = {};
  ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_DWORD, zero, 4), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(FileExists(HivePath() + ".tmp"));
}

TEST_F(RegistryTest, FailedWritesLeaveTheHiveAlone) {
  WriteHive(kHive);
  HKEY key = Open("Software\\App");
  HKEY readOnly = Open("Software\\App", KEY_READ);
  const BYTE zero[4] = {};

  EXPECT_EQ(RegSetValueExA(readOnly, "Name", 0, REG_DWORD, zero, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(key, "Name", 0, REG_DWORD, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key, "Line\nBreak", 0, REG_DWORD, zero, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Hive(), kHive);

  // A write that cannot make its new file fails and keeps the old one.
  std::filesystem::create_directory(HivePath() + ".tmp");
  EXPECT_EQ(RegSetValueExA(key, "Name", 0, REG_DWORD, zero, 4), ERROR_WRITE_FAULT);
  EXPECT_EQ(Hive(), kHive);
  std::filesystem::remove(HivePath() + ".tmp");

  WriteHive("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Next]\r\n");
  EXPECT_EQ(RegSetValueExA(key, "Name", 0, REG_DWORD, zero, 4), ERROR_KEY_DELETED);
  EXPECT_EQ(Hive(), "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Next]\r\n");

  std::remove(HivePath().c_str());
  EXPECT_EQ(RegSetValueExA(key, "Name", 0, REG_DWORD, zero, 4), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(FileExists(HivePath()));
  RegCloseKey(key);
  RegCloseKey(readOnly);
}

} // namespace
} // namespace orvik::test

namespace orvik::test {
namespace {

TEST_F(RegistryTest, SuccessiveWritesToAKeyInTwoSectionsLandRight) {
  const std::string first = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=dword:00000001\r\n\r\n";
  const std::string middle = "[HKEY_LOCAL_MACHINE\\Other]\r\n\"X\"=dword:00000001\r\n\r\n";
  const std::string second = "[HKEY_LOCAL_MACHINE\\K]\r\n\"B\"=dword:00000002\r\n";
  WriteHive(first + middle + second);
  HKEY key = Open("K");
  const std::string longText = "a text longer than the dword it replaces";
  // Each write moves what follows it; the next write must still find its place.
  ASSERT_EQ(RegSetValueExA(key, "A", 0, REG_SZ, reinterpret_cast<const BYTE *>(longText.c_str()),
                           static_cast<DWORD>(longText.size() + 1)),
            ERROR_SUCCESS);
  const BYTE three[4] = {3, 0, 0, 0};
  ASSERT_EQ(RegSetValueExA(key, "C", 0, REG_DWORD, three, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "b", 0, REG_DWORD, three, 4), ERROR_SUCCESS);
  EXPECT_EQ(Hive(),
            "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"" + longText + "\"\r\n\r\n" + middle +
                "[HKEY_LOCAL_MACHINE\\K]\r\n\"B\"=dword:00000003\r\n\"C\"=dword:00000003\r\n");
  RegCloseKey(key);
}

} // namespace
} // namespace orvik::test
