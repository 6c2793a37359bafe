// Hives far larger than the pieces the layer reads them in, with values that straddle the
// pieces' edges and one value larger than a piece.
#include "registry_fixture.h"

#include <cctype>
#include <vector>

namespace orvik::test {
namespace {

// Hex data as regedit wraps it, with its line ends.
std::string HexValue(const std::string &name, std::size_t bytes, unsigned seed) {
  std::string line = "\"" + name + "\"=hex:";
  char hex[4];
  for (std::size_t i = 0; i < bytes; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>((seed + i * 7) & 0xFFU));
    line += hex;
    if (i + 1 < bytes) {
      line += (i % 25 == 24) ? ",\\\r\n  " : ",";
    }
  }
  return line + "\r\n";
}

struct LargeHive {
  std::string text;
  std::size_t giantBytes = 0;
};

// About 3 MB of keys, one value of 1.5 MB in the middle, and the key "Target" near the end.
LargeHive MakeLargeHive() {
  LargeHive hive;
  hive.text = "REGEDIT4\r\n\r\n";
  for (unsigned key = 0; hive.text.size() < 3'000'000; ++key) {
    hive.text += "[HKEY_LOCAL_MACHINE\\Software\\Key" + std::to_string(key) + "]\r\n";
    hive.text += "\"Name\"=\"key " + std::to_string(key) + "\"\r\n";
    hive.text += HexValue("Data", 100 + key % 700, key);
    if (key == 1000) {
      hive.giantBytes = 1'500'000;
      hive.text += HexValue("Giant", hive.giantBytes, 3);
    }
    hive.text += "\r\n";
  }
  hive.text += "[HKEY_LOCAL_MACHINE\\Software\\Target]\r\n\"Flag\"=dword:00000001\r\n\r\n";
  hive.text += "[HKEY_LOCAL_MACHINE\\Software\\Last]\r\n" + HexValue("Data", 600, 9);
  return hive;
}

TEST_F(RegistryTest, LargeHiveReadsAndRewritesOnlyTheValue) {
  const LargeHive hive = MakeLargeHive();
  WriteHive(hive.text);
  HKEY key = Open("Software\\Target");
  const BYTE zero[4] = {};
  ASSERT_EQ(RegSetValueExA(key, "Flag", 0, REG_DWORD, zero, 4), ERROR_SUCCESS);
  std::string expected = hive.text;
  const std::string flag = "\"Flag\"=dword:00000001";
  expected.replace(expected.find(flag), flag.size(), "\"Flag\"=dword:00000000");
  EXPECT_TRUE(Hive() == expected) << "bytes other than the value changed";

  // The same key again: what was found before the write still holds after it.
  DWORD value = 0xdeadbeef;
  DWORD size = sizeof value;
  EXPECT_EQ(
      RegQueryValueExA(key, "Flag", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(value, 0U);
  ASSERT_EQ(RegSetValueExA(key, "Added", 0, REG_DWORD, zero, 4), ERROR_SUCCESS);
  expected.insert(expected.find("\r\n[HKEY_LOCAL_MACHINE\\Software\\Last]"),
                  "\"Added\"=dword:00000000\r\n");
  EXPECT_TRUE(Hive() == expected);
  RegCloseKey(key);
}

TEST_F(RegistryTest, LargeHiveValueLargerThanAPieceReadsBack) {
  const LargeHive hive = MakeLargeHive();
  WriteHive(hive.text);
  HKEY key = Open("Software\\Key1000", KEY_READ);
  std::vector<BYTE> data(hive.giantBytes + 1);
  DWORD size = static_cast<DWORD>(data.size());
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Giant", nullptr, &type, data.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  ASSERT_EQ(size, hive.giantBytes);
  for (std::size_t i = 0; i < size; ++i) {
    ASSERT_EQ(data[i], (3 + i * 7) & 0xFFU) << "byte " << i;
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, LargeHiveWithOneBadByteAnywhereIsRejected) {
  const LargeHive hive = MakeLargeHive();
  // Places near the start, at and around the edges of the pieces, inside the large value,
  // and at the very end.
  for (const std::size_t at :
       {std::size_t{40}, std::size_t{1} << 20, (std::size_t{1} << 20) + 1,
        (std::size_t{2} << 20) - 1, hive.text.size() / 2, hive.text.size() - 100}) {
    std::string broken = hive.text;
    // The first digit of the next byte of hex data from there on.
    std::size_t hexDigit = broken.find(',', at) + 1;
    while (std::isxdigit(static_cast<unsigned char>(broken[hexDigit])) == 0) {
      hexDigit = broken.find(',', hexDigit) + 1;
    }
    broken[hexDigit] = 'g';
    WriteHive(broken);
    HKEY key = SentinelKey();
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Target", 0, KEY_ALL_ACCESS, &key),
              ERROR_BADDB)
        << "a bad byte at " << hexDigit << " went unseen";
    EXPECT_TRUE(Hive() == broken);
  }
}

} // namespace
} // namespace orvik::test
