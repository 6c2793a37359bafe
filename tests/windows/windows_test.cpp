// The Windows executable: what it is made of, and what it does to Wine's real registry on
// every case of the table that Wine can show.
#include "registry.h"
#include "switch_cases.h"
#include "test_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace orvik::test {
namespace {

const std::string kExe = ORVIK_WINDOWS_EXE;
const std::string kPrefix = ORVIK_WINE_PREFIX;
const char *const kWine32Dlls = "/usr/lib/i386-linux-gnu/wine/i386-windows";
const char *const kDeviceKey =
    R"(HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Orvik)";
const char *const kMidiMapKey =
    R"(HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Multimedia\MIDIMap)";

// Why the Windows executable cannot be checked here, or empty when it can.
std::string MissingExe() {
  return FileExists(kExe) ? "" : kExe + " is missing: build the windows-x86 preset first";
}

std::string MissingWine() {
  for (const std::string &path : std::vector<std::string>{
           "/usr/lib/wine/wine64", "/usr/lib/wine/wine", "/usr/lib/wine/wineserver64",
           "/usr/bin/qemu-i386", std::string(kWine32Dlls)}) {
    if (!FileExists(path)) {
      return path + " is missing: install wine, wine64, wine32:i386 and qemu-user";
    }
  }
  return MissingExe();
}

std::string Command(const std::vector<std::string> &argv, int *exitCode = nullptr) {
  const ProcessResult result = RunProcess(argv, "/nonexistent");
  if (exitCode != nullptr) {
    *exitCode = result.exitCode;
  }
  return result.output;
}

std::string WindowsPath(const std::string &unixPath) {
  std::string path = "Z:" + std::filesystem::absolute(unixPath).string();
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// --- The executable itself -----------------------------------------------------------------

TEST(WindowsExecutable, IsA32BitGuiProgramImportingOnlySystemDlls) {
  if (const std::string why = MissingExe(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const std::string headers = Command({"objdump", "-f", "-p", kExe});
  EXPECT_NE(headers.find("file format pei-i386"), std::string::npos) << headers;
  EXPECT_NE(headers.find("Magic\t\t\t010b\t(PE32)"), std::string::npos);
  EXPECT_NE(headers.find("Subsystem\t\t00000002\t(Windows GUI)"), std::string::npos);

  std::set<std::string> dlls;
  std::istringstream lines(headers);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find("DLL Name: ");
    if (at != std::string::npos) {
      dlls.insert(line.substr(at + 10));
    }
  }
  // A clean Windows has these; anything else (libstdc++, libgcc, winpthread, USER32 for a
  // window) would be a dependency to ship or a window to avoid.
  const std::set<std::string> allowed = {"KERNEL32.dll", "ADVAPI32.dll", "msvcrt.dll"};
  for (const std::string &dll : dlls) {
    EXPECT_EQ(allowed.count(dll), 1U) << "imports " << dll;
  }
  EXPECT_EQ(dlls.count("ADVAPI32.dll"), 1U);
  EXPECT_EQ(dlls.count("KERNEL32.dll"), 1U);
}

std::string Utf16(const std::string &text) {
  std::string wide;
  for (char c : text) {
    wide += c;
    wide += '\0';
  }
  return wide;
}

TEST(WindowsExecutable, CarriesVersionInformationAndAManifest) {
  if (const std::string why = MissingExe(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const std::string image = ReadFile(kExe);
  for (const char *field : {"FileDescription", "ProductName", "FileVersion", "ProductVersion",
                            "OriginalFilename", "orvikswitch.exe"}) {
    EXPECT_NE(image.find(Utf16(field)), std::string::npos) << field;
  }
  EXPECT_NE(image.find(R"(<requestedExecutionLevel level="asInvoker")"), std::string::npos);
  EXPECT_NE(image.find("<supportedOS Id="), std::string::npos);
}

// --- Under Wine ------------------------------------------------------------------------------

// A Wine prefix of the tests' own, and its server for the length of one test program.
class WinePrefix : public testing::Environment {
public:
  void SetUp() override {
    if (!MissingWine().empty()) {
      return;
    }
    setenv("WINEPREFIX", kPrefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    // No Mono or Gecko: the prefix needs neither, and fetching them would ask the network.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    std::filesystem::create_directories(kPrefix);
    // Test programs may run at once; only one of them builds the prefix.
    const int lock = open((kPrefix + "/.setup-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    flock(lock, LOCK_EX);
    Command({"/usr/lib/wine/wineserver64", "-p"});
    const std::string syswow64 = kPrefix + "/drive_c/windows/syswow64";
    if (!FileExists(kPrefix + "/system.reg")) {
      Command({"/usr/lib/wine/wine64", "wineboot", "-i"});
    }
    // wineboot cannot fill syswow64 without running a 32-bit process, so the 32-bit builtin
    // DLLs are linked in by hand.
    if (!FileExists(syswow64 + "/kernel32.dll") ||
        std::filesystem::is_symlink(syswow64 + "/kernel32.dll")) {
      std::filesystem::create_directories(syswow64);
      for (const auto &dll : std::filesystem::directory_iterator(kWine32Dlls)) {
        const std::filesystem::path link = syswow64 + "/" + dll.path().filename().string();
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
        std::filesystem::create_symlink(dll.path(), link);
      }
    }
    flock(lock, LOCK_UN);
    close(lock);
  }
  void TearDown() override {
    if (MissingWine().empty()) {
      Command({"/usr/lib/wine/wineserver64", "-k"});
    }
  }
};

const testing::Environment *const kWinePrefix = testing::AddGlobalTestEnvironment(new WinePrefix);

// The two keys and the values the switch touches, read through our own registry layer from
// the hives in `dir`, so that a Wine export and an expected fixture compare alike.
std::string DescribeKeys(const std::string &dir) {
  const RegistryDirScope scope(dir);
  std::string description;
  const struct {
    HKEY root;
    const char *path;
    std::vector<const char *> values;
  } keys[] = {
      {HKEY_LOCAL_MACHINE,
       R"(SYSTEM\CurrentControlSet\Control\MediaResources\Orvik)",
       {"BootOnOrvik", "Codec"}},
      {HKEY_CURRENT_USER,
       R"(Software\Microsoft\Windows\CurrentVersion\Multimedia\MIDIMap)",
       {"CurrentInstrument"}},
  };
  for (const auto &key : keys) {
    HKEY open = nullptr;
    if (RegOpenKeyExA(key.root, key.path, 0, KEY_READ, &open) != ERROR_SUCCESS) {
      description += std::string(key.path) + ": absent\n";
      continue;
    }
    for (const char *value : key.values) {
      BYTE data[256];
      DWORD size = sizeof data;
      DWORD type = 0;
      const LSTATUS status = RegQueryValueExA(open, value, nullptr, &type, data, &size);
      description += std::string(value) + ": ";
      if (status != ERROR_SUCCESS) {
        description += "absent\n";
        continue;
      }
      description += "type " + std::to_string(type) + " data";
      for (DWORD i = 0; i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", data[i]);
        description += hex;
      }
      description += "\n";
    }
    RegCloseKey(open);
  }
  return description;
}

// regedit exports UTF-16; our hives are 8-bit, and the values here are plain ASCII.
void ExportKey(const char *key, const std::string &file) {
  const std::string exported = file + ".utf16";
  Command({"/usr/lib/wine/wine64", "regedit", "/e", WindowsPath(exported), key});
  if (!FileExists(exported)) {
    return;
  }
  const std::string utf16 = ReadFile(exported);
  std::string narrow;
  for (std::size_t i = 2; i + 1 < utf16.size(); i += 2) {
    narrow += utf16[i];
  }
  WriteFile(file, narrow);
  std::filesystem::remove(exported);
}

class WineCaseTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(WineCaseTest, LeavesWinesRegistryAsExpected) {
  const SwitchCase &switchCase = GetParam();
  if (switchCase.wine != "yes") {
    GTEST_SKIP() << "Linux only, " << switchCase.wine;
  }
  if (const std::string why = MissingWine(); !why.empty()) {
    GTEST_SKIP() << "Wine tests skipped: " << why;
  }
  const TempDir initial;
  CopyCaseHives(switchCase, initial.Path());
  for (const char *key : {kDeviceKey, kMidiMapKey}) {
    Command({"/usr/lib/wine/wine64", "reg", "delete", key, "/f"});
  }
  for (const std::string &hive : ListDir(initial.Path())) {
    int imported = -1;
    const std::string output = Command(
        {"/usr/lib/wine/wine64", "regedit", "/s", WindowsPath(initial.File(hive))}, &imported);
    ASSERT_EQ(imported, 0) << output;
  }

  std::vector<std::string> argv = {"qemu-i386", "-L", "/", "/usr/lib/wine/wine", kExe};
  argv.insert(argv.end(), switchCase.args.begin(), switchCase.args.end());
  setenv("QEMU_RESERVED_VA", "0x81000000", 1);
  setenv("WINELOADERNOEXEC", "1", 1);
  int exitCode = -1;
  const std::string output = Command(argv, &exitCode);
  unsetenv("QEMU_RESERVED_VA");
  unsetenv("WINELOADERNOEXEC");
  EXPECT_EQ(exitCode, 0) << output;

  const TempDir actual;
  ExportKey(kDeviceKey, actual.File("HKEY_LOCAL_MACHINE.reg"));
  ExportKey(kMidiMapKey, actual.File("HKEY_CURRENT_USER.reg"));
  const TempDir expected;
  CopyExpectedHives(switchCase, expected.Path());
  EXPECT_EQ(DescribeKeys(actual.Path()), DescribeKeys(expected.Path())) << switchCase.description;
}

INSTANTIATE_TEST_SUITE_P(Table, WineCaseTest, testing::ValuesIn(LoadSwitchCases()),
                         [](const auto &testInfo) { return TestName(testInfo.param); });

} // namespace
} // namespace orvik::test
