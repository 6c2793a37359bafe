// The registry layer's promises under stress: a writer killed at any moment leaves the old
// hive or the new one, and writers at once lose none of each other's changes.
#include "registry.h"
#include "test_support.h"
#include "written_values.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <thread>

namespace orvik::test {
namespace {

const std::string kFlag = "\"Flag\"=dword:0000000";

// A hive of about `bytes` bytes of keys with hex data, with the key Software\Target in the
// middle holding Flag.
std::string BigHive(std::size_t bytes) {
  std::string hive = "REGEDIT4\r\n\r\n";
  std::string line;
  for (unsigned key = 0; hive.size() < bytes; ++key) {
    if (key == 2000) {
      hive += "[HKEY_LOCAL_MACHINE\\Software\\Target]\r\n" + kFlag + "0\r\n\r\n";
    }
    hive += "[HKEY_LOCAL_MACHINE\\Software\\Key" + std::to_string(key) + "]\r\n\"Data\"=hex:";
    for (int i = 0; i < 200; ++i) {
      hive += (i % 25 == 24) ? "5a,\\\r\n  " : "5a,";
    }
    hive += "5a\r\n\r\n";
  }
  return hive;
}

std::vector<std::string> Regtool(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {REGTOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::size_t CountTemporaries(const std::string &dir) {
  std::size_t count = 0;
  for (const std::string &name : ListDir(dir)) {
    count += name.find(".tmp") != std::string::npos ? 1 : 0;
  }
  return count;
}

TEST(Stress, WriterKilledAtAnyMomentLeavesTheOldOrTheNewHive) {
  const TempDir dir;
  const std::string path = dir.File("HKEY_LOCAL_MACHINE.reg");
  std::string current = BigHive(std::size_t{4} << 20);
  WriteFile(path, current);
  const std::size_t flagAt = current.find(kFlag) + kFlag.size();

  // How long one whole write takes, to spread the kills over it.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(
      RunProcess(Regtool({"set", "HKLM", "Software\\Target", "Flag", "4", "01000000"}), dir.Path())
          .exitCode,
      0);
  const auto writeTime = std::chrono::steady_clock::now() - start;
  current[flagAt] = '1';
  ASSERT_TRUE(ReadFile(path) == current);

  std::mt19937 random(12345);
  int killedMidWrite = 0;
  for (int round = 0; round < 300; ++round) {
    const char digit = static_cast<char>('0' + round % 2);
    std::string next = current;
    next[flagAt] = digit;
    const int pid = StartProcess(Regtool({"set", "HKLM", "Software\\Target", "Flag", "4",
                                          std::string("0") + digit + "000000"}),
                                 dir.Path());
    std::this_thread::sleep_for(std::uniform_real_distribution<double>(0, 1.2)(random) * writeTime);
    kill(pid, SIGKILL);
    const bool finished = WaitProcess(pid) == 0;
    const std::string after = ReadFile(path);
    ASSERT_TRUE(after == current || after == next) << "round " << round << ": a torn hive";
    ASSERT_TRUE(!finished || after == next) << "round " << round;
    killedMidWrite += finished ? 0 : 1;
    ASSERT_LE(CountTemporaries(dir.Path()), 1U) << "temporary files pile up";
    current = after;
  }
  EXPECT_GT(killedMidWrite, 50) << "too few kills landed inside a write to show anything";

  // The next writer clears what a killed one left.
  ASSERT_EQ(
      RunProcess(Regtool({"set", "HKLM", "Software\\Target", "Flag", "4", "00000000"}), dir.Path())
          .exitCode,
      0);
  EXPECT_EQ(CountTemporaries(dir.Path()), 0U);
}

TEST(Stress, EightWritersAtOnceLoseNoValue) {
  const TempDir dir;
  WriteFile(dir.File("HKEY_LOCAL_MACHINE.reg"),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\App]\r\n");
  constexpr int kWriters = 8;
  constexpr int kWrites = 100;
  std::vector<int> pids;
  for (int writer = 0; writer < kWriters; ++writer) {
    pids.push_back(
        StartProcess(Regtool({"set-many", "HKLM", "Software\\App",
                              "W" + std::to_string(writer) + "_", std::to_string(kWrites)}),
                     dir.Path()));
  }
  for (const int pid : pids) {
    EXPECT_EQ(WaitProcess(pid), 0);
  }
  const RegistryDirScope scope(dir.Path());
  std::vector<std::string> prefixes;
  for (int writer = 0; writer < kWriters; ++writer) {
    prefixes.push_back("W" + std::to_string(writer) + "_");
  }
  EXPECT_EQ(LostValues("Software\\App", prefixes, kWrites), std::vector<std::string>{});
}

TEST(Stress, RunsStartedTogetherConsumeTheRequestBesideOtherWriters) {
  const TempDir dir;
  WriteFile(dir.File("HKEY_LOCAL_MACHINE.reg"),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_"
            "MACHINE\\SYSTEM\\CurrentControlSet\\Control\\MediaResources\\Orvik]\r\n"
            "\"BootOnOrvik\"=dword:00000001\r\n\"Codec\"=dword:00000001\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n");
  WriteFile(
      dir.File("HKEY_CURRENT_USER.reg"),
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_"
      "USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Multimedia\\MIDIMap]\r\n"
      "\"CurrentInstrument\"=\"wdmaud.drv<0000>\"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n");
  // Other software keeps rewriting unrelated values in both hives meanwhile.
  const int machineWriter =
      StartProcess(Regtool({"set-many", "HKLM", "Software\\Other", "M", "150"}), dir.Path());
  const int userWriter =
      StartProcess(Regtool({"set-many", "HKCU", "Software\\Other", "U", "150"}), dir.Path());
  std::vector<int> runs;
  for (int run = 0; run < 6; ++run) {
    runs.push_back(StartProcess({ORVIKSWITCH_PATH}, dir.Path()));
  }
  for (const int pid : runs) {
    EXPECT_EQ(WaitProcess(pid), 0);
  }
  EXPECT_EQ(WaitProcess(machineWriter), 0);
  EXPECT_EQ(WaitProcess(userWriter), 0);

  const RegistryDirScope scope(dir.Path());
  const auto query = [](HKEY root, const char *path, const char *name) {
    HKEY key = nullptr;
    std::string data(64, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return std::string("no key");
    }
    const LSTATUS status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(data.data()), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? data.substr(0, size) : "status " + std::to_string(status);
  };
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, R"(SYSTEM\CurrentControlSet\Control\MediaResources\Orvik)",
                  "BootOnOrvik"),
            std::string(4, '\0'));
  EXPECT_EQ(query(HKEY_CURRENT_USER,
                  R"(Software\Microsoft\Windows\CurrentVersion\Multimedia\MIDIMap)",
                  "CurrentInstrument"),
            std::string("mmdrv.dll<0001>", 16));
  for (int i = 0; i < 150; ++i) {
    EXPECT_EQ(
        query(HKEY_LOCAL_MACHINE, "Software\\Other", ("M" + std::to_string(i)).c_str()).size(), 4U);
    EXPECT_EQ(query(HKEY_CURRENT_USER, "Software\\Other", ("U" + std::to_string(i)).c_str()).size(),
              4U);
  }
}

} // namespace
} // namespace orvik::test
