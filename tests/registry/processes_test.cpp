// The registry layer as several processes and users meet it.
#include "registry_fixture.h"
#include "written_values.h"

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace orvik::test {
namespace {

const std::string kHive =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\App]\r\n\"V\"=dword:00000007\r\n";

std::vector<std::string> Regtool(std::vector<std::string> prefix,
                                 const std::vector<std::string> &args,
                                 const std::string &program = REGTOOL_PATH) {
  prefix.push_back(program);
  prefix.insert(prefix.end(), args.begin(), args.end());
  return prefix;
}

TEST_F(RegistryTest, UserWhoMayNotWriteTheHiveCanOnlyRead) {
  WriteHive(kHive);
  const TempDir bin;
  const std::string regtool = CopyProgram(REGTOOL_PATH, bin);
  const std::vector<std::string> asUser = DenyHiveWrites(dir_.Path());
  const ProcessResult full = RunProcess(
      Regtool(asUser, {"open", "HKLM", "Software\\App", "0xF003F"}, regtool), dir_.Path());
  EXPECT_EQ(full.output, "5\n");
  const ProcessResult read = RunProcess(
      Regtool(asUser, {"open", "HKLM", "Software\\App", "0x20019"}, regtool), dir_.Path());
  EXPECT_EQ(read.output, "0\n");
  const ProcessResult query =
      RunProcess(Regtool(asUser, {"query", "HKLM", "Software\\App", "V"}, regtool), dir_.Path());
  EXPECT_EQ(query.output, "0 4 07000000\n");
  EXPECT_EQ(Hive(), kHive);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  WriteHive(kHive);
  constexpr int kWrites = 60;
  std::vector<ProcessResult> results(2);
  std::thread first([&] {
    results[0] =
        RunProcess(Regtool({}, {"set-many", "HKLM", "Software\\App", "A", std::to_string(kWrites)}),
                   dir_.Path());
  });
  std::thread second([&] {
    results[1] =
        RunProcess(Regtool({}, {"set-many", "HKLM", "Software\\App", "B", std::to_string(kWrites)}),
                   dir_.Path());
  });
  first.join();
  second.join();
  EXPECT_EQ(results[0].output, "0\n");
  EXPECT_EQ(results[1].output, "0\n");

  EXPECT_EQ(LostValues("Software\\App", {"A", "B"}, kWrites), std::vector<std::string>{});
}

} // namespace
} // namespace orvik::test
