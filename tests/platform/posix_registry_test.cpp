#include "platform/posix/posix_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "fake_sysfs.h"
#include "platform/posix/reg_file.h"

namespace veldoran::win {
namespace {

namespace fs = std::filesystem;
using testing::FakeSysfs;

const char kKey[] = "Software\\Veldoran\\Port";

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// SERIALCOMM as port enumeration walks it: 260-byte buffers, until the first failure.
std::vector<std::pair<std::string, std::string>> WalkSerialComm(RegistryApi& reg) {
  std::vector<std::pair<std::string, std::string>> out;
  HKEY key = nullptr;
  EXPECT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                              KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  char name[260];
  BYTE data[260];
  for (DWORD i = 0, name_size = 260, data_size = 260, type = 0;
       reg.RegEnumValueA(key, i, name, &name_size, &type, data, &data_size) == ERROR_SUCCESS;
       ++i, name_size = 260, data_size = 260) {
    EXPECT_EQ(type, REG_SZ);
    out.emplace_back(name, std::string(reinterpret_cast<char*>(data), data_size));
  }
  reg.RegCloseKey(key);
  return out;
}

// A value read through a key opened for it; the status of the first call that failed.
std::optional<std::string> Query(RegistryApi& reg, const char* name, LSTATUS* status = nullptr) {
  HKEY key = nullptr;
  BYTE data[512];
  DWORD size = sizeof data;
  LSTATUS s = reg.RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key);
  if (s == ERROR_SUCCESS) {
    s = reg.RegQueryValueExA(key, name, nullptr, data, &size);
    reg.RegCloseKey(key);
  }
  if (status) *status = s;
  if (s != ERROR_SUCCESS) return std::nullopt;
  return std::string(reinterpret_cast<char*>(data), size);
}

LSTATUS Set(RegistryApi& reg, const char* name, DWORD type, const std::string& data,
            const char* path = kKey) {
  HKEY key = nullptr;
  LSTATUS s = reg.RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key, nullptr);
  if (s != ERROR_SUCCESS || !name) return s;
  s = reg.RegSetValueExA(key, name, type, reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size()));
  reg.RegCloseKey(key);
  return s;
}

class PosixRegistryTest : public ::testing::Test {
 protected:
  fs::path File() const { return tree_.Root() / "config" / "veldoran" / "registry.reg"; }
  PosixRegistry Make() const { return PosixRegistry(tree_.Roots(), File()); }
  FakeSysfs tree_;
};

TEST_F(PosixRegistryTest, SerialCommHoldsThePresentPortsOfTheMapAsTheyAreNow) {
  tree_.AddTtyS(0, 4);
  tree_.AddTtyS(1, 0);
  tree_.Plug(testing::Ftdi());
  fs::create_directories(tree_.Map());
  fs::create_symlink(tree_.Root() / "gone", tree_.Link(7));
  PosixRegistry reg = Make();
  using Values = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(WalkSerialComm(reg),
            (Values{{(tree_.Dev() / "ttyS0").string(), std::string("COM1", 5)},
                    {(tree_.Dev() / "serial/by-id" / testing::Ftdi().by_id).string(),
                     std::string("COM3", 5)}}));
  tree_.Unplug(testing::Ftdi());
  EXPECT_EQ(WalkSerialComm(reg).size(), 1u);

  // Read-only, and never written to the store.
  HKEY key = nullptr;
  ASSERT_EQ(reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(reg.RegSetValueExA(key, "/dev/x", REG_SZ, reinterpret_cast<const BYTE*>("COM9"), 5),
            ERROR_ACCESS_DENIED);
  reg.RegCloseKey(key);
  EXPECT_EQ(reg.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM\\Sub", 0,
                                KEY_ALL_ACCESS, &key, nullptr),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(Set(reg, "x", REG_SZ, std::string("1", 2)), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(File()).find("HARDWARE"), std::string::npos) << ReadFile(File());
  EXPECT_EQ(reg.OpenKeys(), 0);
}

TEST_F(PosixRegistryTest, EveryValueSurvivesTheFileByteForByte) {
  const MemoryRegistry::Value values[] = {
      {"Settings", REG_BINARY,
       std::string("\x1c\0\0\0\xe1\\\"\r\n,;[]", 13) + std::string(36, 'Z')},
      {"Path \"q\"", REG_SZ, std::string("C:\\dir\\\"x\" ; [a]\xb9", 18)},
      {"", REG_SZ, std::string("default", 8)},
      {"Baud", REG_DWORD, std::string("\x00\xe1\x00\x00", 4)},
      {"NoNul", REG_SZ, "abc"},
      {"Lines", REG_SZ, std::string("a\r\nb", 5)},
      {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
      {"Empty", REG_BINARY, ""}};
  {
    PosixRegistry reg = Make();
    for (const auto& v : values) ASSERT_EQ(Set(reg, v.name.c_str(), v.type, v.data), 0) << v.name;
    ASSERT_EQ(Set(reg, nullptr, 0, "", "Software\\Veldoran\\Empty key"), ERROR_SUCCESS);
  }
  const std::string text = ReadFile(File());
  EXPECT_EQ(text.substr(0, 10), "REGEDIT4\r\n");
  EXPECT_NE(text.find("\r\n\"Baud\"=dword:0000e100\r\n"), std::string::npos) << text;

  PosixRegistry again = Make();  // another program, reading the same file
  EXPECT_EQ(Query(again, "path \"Q\""), values[1].data);
  for (const auto& v : values) {
    const auto read = again.GetValue(HKEY_CURRENT_USER, kKey, v.name);
    ASSERT_TRUE(read) << v.name;
    EXPECT_EQ(read->type, v.type) << v.name;
    EXPECT_EQ(read->data, v.data) << v.name;
  }
  EXPECT_TRUE(again.KeyExists(HKEY_CURRENT_USER, "Software\\Veldoran\\Empty key"));
  // A name the format cannot carry is refused, and nothing of the change stays.
  EXPECT_EQ(Set(again, "two\nlines", REG_SZ, std::string("x", 2)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(again.GetValue(HKEY_CURRENT_USER, kKey, "two\nlines"), std::nullopt);
  EXPECT_EQ(ReadFile(File()), text);
}

TEST_F(PosixRegistryTest, ProgramsSeeEachOthersChangesAndLoseNone) {
  PosixRegistry a = Make();
  PosixRegistry b = Make();
  ASSERT_EQ(Set(a, "One", REG_SZ, std::string("1", 2)), ERROR_SUCCESS);
  EXPECT_EQ(Query(b, "One"), std::string("1", 2));
  // b changes the file after a read it: a's next change starts from b's.
  ASSERT_EQ(Set(b, "Two", REG_SZ, std::string("2", 2)), ERROR_SUCCESS);
  ASSERT_EQ(Set(a, "Three", REG_SZ, std::string("3", 2)), ERROR_SUCCESS);
  PosixRegistry c = Make();
  for (const char* name : {"One", "Two", "Three"}) EXPECT_TRUE(Query(c, name)) << name;
  // An open handle reads the value as it is now.
  HKEY key = nullptr;
  ASSERT_EQ(c.RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  ASSERT_EQ(Set(a, "One", REG_SZ, std::string("changed", 8)), ERROR_SUCCESS);
  char data[16];
  DWORD size = sizeof data;
  ASSERT_EQ(c.RegQueryValueExA(key, "One", nullptr, reinterpret_cast<BYTE*>(data), &size), 0);
  EXPECT_STREQ(data, "changed");
  c.RegCloseKey(key);
  fs::remove(File());
  EXPECT_EQ(Query(c, "One"), std::nullopt) << "the file removed, the keys are gone";
}

TEST_F(PosixRegistryTest, ADamagedFileIsReportedAndNeverOverwritten) {
  {
    PosixRegistry first = Make();
    ASSERT_EQ(Set(first, "Settings", REG_BINARY, std::string(49, '\x01')), ERROR_SUCCESS);
  }
  const std::string text = ReadFile(File());
  const std::string damaged = text.substr(0, text.size() - 3);  // cut off inside a byte
  std::ofstream(File(), std::ios::binary) << damaged;
  PosixRegistry reg = Make();
  LSTATUS status = ERROR_SUCCESS;
  EXPECT_EQ(Query(reg, "Settings", &status), std::nullopt);
  EXPECT_EQ(status, ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(Set(reg, "Other", REG_SZ, std::string("x", 2)), ERROR_REGISTRY_CORRUPT);
  EXPECT_NE(reg.StoreError().find("registry.reg is damaged (line 5"), std::string::npos)
      << reg.StoreError();
  EXPECT_EQ(ReadFile(File()), damaged);
  EXPECT_EQ(WalkSerialComm(reg).size(), 0u) << "the serial-port map still opens";
  // Repaired (a backup put back): usable at once.
  std::ofstream(File(), std::ios::binary) << text;
  EXPECT_EQ(Query(reg, "Settings"), std::string(49, '\x01'));
  EXPECT_EQ(reg.StoreError(), "");
}

TEST_F(PosixRegistryTest, AChangeThatCannotBeWrittenFailsAndIsUndone) {
  PosixRegistry reg = Make();
  ASSERT_EQ(Set(reg, "Kept", REG_SZ, std::string("1", 2)), ERROR_SUCCESS);
  const std::string text = ReadFile(File());
  ASSERT_EQ(::chmod(File().c_str(), 0444), 0);  // not replaced, even by root
  EXPECT_EQ(Set(reg, "Lost", REG_SZ, std::string("2", 2)), ERROR_CANTWRITE);
  EXPECT_NE(reg.StoreError().find("cannot write"), std::string::npos) << reg.StoreError();
  EXPECT_EQ(reg.GetValue(HKEY_CURRENT_USER, kKey, "Lost"), std::nullopt);
  EXPECT_EQ(Query(reg, "Kept"), std::string("1", 2));
  HKEY key = nullptr;
  EXPECT_EQ(
      reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, KEY_ALL_ACCESS, &key, nullptr),
      ERROR_CANTWRITE);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(reg.KeyExists(HKEY_CURRENT_USER, "Software\\New"));
  EXPECT_EQ(reg.OpenKeys(), 0);
  EXPECT_EQ(ReadFile(File()), text);
  // A folder that cannot exist (a file in its place): nothing to read, nothing written.
  FakeSysfs::Write(tree_.Root() / "blocked", "");
  PosixRegistry nowhere(tree_.Roots(), tree_.Root() / "blocked" / "registry.reg");
  EXPECT_EQ(Query(nowhere, "Kept"), std::nullopt);
  EXPECT_EQ(Set(nowhere, "Kept", REG_SZ, std::string("1", 2)), ERROR_CANTWRITE);
}

TEST(RegFileTest, ReadsWhatPeopleWriteAndRefusesWhatIsDamaged) {
  const auto parsed = regfile::Parse(
      "\xEF\xBB\xBFREGEDIT4\n\n; comment\n[hkey_users\\A]\n\"b\" = hex:01, 02,\\\n  ff\r\n");
  ASSERT_TRUE(parsed.ok) << parsed.error_line << ": " << parsed.error;
  EXPECT_EQ(parsed.keys.at(0).values.at(0).data, "\x01\x02\xff");
  const std::pair<const char*, int> damaged[] = {
      {"", 0},
      {"Windows Registry Editor Version 5.00\n", 1},
      {"REGEDIT4\n\"x\"=\"1\"\n", 2},              // a value before any key
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", 2},        // unknown root
      {"REGEDIT4\n[-HKEY_CURRENT_USER\\A]\n", 2},  // deletion
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=hex:01,02,\n", 3},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=hex:01,\\\n", 3},  // cut off
      {"REGEDIT4\n[HKEY_USERS\\A]\ngarbage\n", 3},
  };
  for (const auto& [text, line] : damaged) {
    const auto result = regfile::Parse(text);
    EXPECT_FALSE(result.ok) << text;
    EXPECT_EQ(result.error_line, line) << text;
    EXPECT_TRUE(result.keys.empty()) << text;
  }
}

}  // namespace
}  // namespace veldoran::win
