#include "registry_fixture.h"

namespace orvik::test {
namespace {

const char *const kHive = "REGEDIT4\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]\r\n"
                          "\"Value\"=\"x\"\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n";

struct OpenCase {
  const char *name;
  const char *path;
  LSTATUS expected;
};

const OpenCase kOpenCases[] = {
    {"exact", "Software\\Vendor\\App", ERROR_SUCCESS},
    {"other_case", "SOFTWARE\\vendor\\aPP", ERROR_SUCCESS},
    {"parent_known_through_subkey", "Software\\Vendor", ERROR_SUCCESS},
    {"grandparent", "software", ERROR_SUCCESS},
    {"root_by_empty_path", "", ERROR_SUCCESS},
    {"root_by_null_path", nullptr, ERROR_SUCCESS},
    {"trailing_backslash", "Software\\Vendor\\App\\", ERROR_SUCCESS},
    {"prefix_of_a_name", "Software\\Vendor\\Ap", ERROR_FILE_NOT_FOUND},
    {"subkey_missing", "Software\\Vendor\\App\\Sub", ERROR_FILE_NOT_FOUND},
    {"sibling_missing", "Software\\Vendor2", ERROR_FILE_NOT_FOUND},
    {"leading_backslash", "\\Software", ERROR_BAD_PATHNAME},
    {"empty_key_name", "Software\\\\Vendor", ERROR_BAD_PATHNAME},
};

class OpenTest : public RegistryTest, public testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTest, ReturnsTheKeyOrNullAndLeavesTheHiveAlone) {
  WriteHive(kHive);
  HKEY key = SentinelKey();
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, GetParam().path, 0, KEY_ALL_ACCESS, &key),
            GetParam().expected);
  if (GetParam().expected == ERROR_SUCCESS) {
    EXPECT_NE(key, nullptr);
    EXPECT_NE(key, SentinelKey());
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  } else {
    EXPECT_EQ(key, nullptr);
  }
  EXPECT_EQ(Hive(), kHive);
}

INSTANTIATE_TEST_SUITE_P(Paths, OpenTest, testing::ValuesIn(kOpenCases),
                         [](const auto &testInfo) { return std::string(testInfo.param.name); });

TEST_F(RegistryTest, MissingHiveFileOrDirectoryIsNotFound) {
  HKEY key = SentinelKey();
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(FileExists(HivePath())) << "opening must never create a hive";

  const RegistryDirScope missing(dir_.File("no-such-dir"));
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, EachRootHasItsOwnHive) {
  WriteHive(kHive);
  HKEY key = SentinelKey();
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  WriteFile(dir_.File("HKEY_CURRENT_USER.reg"),
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Mine]\r\n");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Vendor", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, OpensRelativeToAnOpenKey) {
  WriteHive(kHive);
  HKEY parent = Open("Software");
  HKEY child = SentinelKey();
  EXPECT_EQ(RegOpenKeyExA(parent, "vendor\\app", 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(child, "Value", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2U);
  EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
}

TEST_F(RegistryTest, BadHandlesAndArguments) {
  WriteHive(kHive);
  HKEY key = SentinelKey();
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(SentinelKey(), "Software", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(key, nullptr);

  HKEY open = Open("Software");
  EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(open), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(open, "Vendor", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(open, "Value", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  const BYTE data[4] = {};
  EXPECT_EQ(RegSetValueExA(open, "Value", 0, REG_DWORD, data, 4), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  // The predefined keys are always open.
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(Hive(), kHive);
}

} // namespace
} // namespace orvik::test
