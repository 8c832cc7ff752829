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
using testing::UsbSpec;

const char kKey[] = "Software\\Veldoran\\Port";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The serial-port map as port enumeration walks it: 260-byte buffers, until the first failure.
std::vector<std::pair<std::string, std::string>> WalkSerialComm(RegistryApi& reg) {
  std::vector<std::pair<std::string, std::string>> out;
  HKEY key = nullptr;
  if (reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS)
    return out;
  for (DWORD i = 0;; ++i) {
    char name[260];
    BYTE data[260];
    DWORD name_size = 260, data_size = 260, type = 0;
    if (reg.RegEnumValueA(key, i, name, &name_size, &type, data, &data_size) != ERROR_SUCCESS)
      break;
    EXPECT_EQ(type, REG_SZ);
    out.emplace_back(name, std::string(reinterpret_cast<char*>(data), data_size));
  }
  reg.RegCloseKey(key);
  return out;
}

std::optional<std::string> Query(RegistryApi& reg, HKEY hive, const char* path, const char* name,
                                 LSTATUS* status = nullptr) {
  HKEY key = nullptr;
  LSTATUS s = reg.RegOpenKeyExA(hive, path, 0, KEY_READ, &key);
  if (s == ERROR_SUCCESS) {
    BYTE data[512];
    DWORD size = sizeof data, type = 0;
    s = reg.RegQueryValueExA(key, name, &type, data, &size);
    reg.RegCloseKey(key);
    if (status) *status = s;
    if (s == ERROR_SUCCESS) return std::string(reinterpret_cast<char*>(data), size);
  }
  if (status) *status = s;
  return std::nullopt;
}

LSTATUS Set(RegistryApi& reg, const char* path, const char* name, DWORD type,
            const std::string& data) {
  HKEY key = nullptr;
  LSTATUS s = reg.RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key, nullptr);
  if (s != ERROR_SUCCESS) return s;
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
  const UsbSpec ftdi = testing::Ftdi();
  tree_.Plug(ftdi);
  fs::create_directories(tree_.Map());
  fs::create_symlink(tree_.Root() / "gone", tree_.Link(7));
  PosixRegistry reg = Make();
  const std::string by_id = (tree_.Dev() / "serial" / "by-id" / ftdi.by_id).string();
  using Values = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(WalkSerialComm(reg), (Values{{(tree_.Dev() / "ttyS0").string(), std::string("COM1", 5)},
                                         {by_id, std::string("COM3", 5)}}));
  tree_.Unplug(ftdi);
  EXPECT_EQ(WalkSerialComm(reg).size(), 1u);
  tree_.Plug(ftdi);
  EXPECT_EQ(WalkSerialComm(reg).size(), 2u);

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
  ASSERT_EQ(Set(reg, kKey, "x", REG_SZ, std::string("1", 2)), ERROR_SUCCESS);
  const std::string text = ReadFile(File());
  EXPECT_EQ(text.find("SERIALCOMM"), std::string::npos) << text;
  EXPECT_EQ(text.find("HARDWARE"), std::string::npos) << text;
  EXPECT_EQ(reg.OpenKeys(), 0);
}

TEST_F(PosixRegistryTest, EveryValueSurvivesTheFileByteForByte) {
  const std::string settings("\x1c\0\0\0\x00\xe1\0\0\x11\x30\\\"\r\n,;[]", 18);
  const std::string binary = settings + std::string(31, '\x5a');  // 49 bytes: two hex lines
  {
    PosixRegistry reg = Make();
    ASSERT_EQ(Set(reg, kKey, "Settings", REG_BINARY, binary), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, kKey, "Path \"q\"", REG_SZ, std::string("C:\\dir\\\"x\" ; [a]", 17)),
              ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, kKey, "", REG_SZ, std::string("default\xb9\xea", 10)), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, kKey, "Baud", REG_DWORD, std::string("\x00\xe1\x00\x00", 4)), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, kKey, "NoNul", REG_SZ, "abc"), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, kKey, "Lines", REG_SZ, std::string("a\r\nb", 5)), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, kKey, "Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, kKey, "Empty", REG_BINARY, ""), ERROR_SUCCESS);
    ASSERT_EQ(Set(reg, "Software\\Veldoran\\Terminal\\Empty key", nullptr, REG_NONE, ""),
              ERROR_SUCCESS);
  }
  const std::string text = ReadFile(File());
  EXPECT_EQ(text.substr(0, 10), "REGEDIT4\r\n");
  EXPECT_NE(text.find("\"Baud\"=dword:0000e100\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Path \\\"q\\\"\"=\"C:\\\\dir\\\\\\\"x\\\" ; [a]\"\r\n"), std::string::npos)
      << text;

  PosixRegistry again = Make();  // another program, reading the same file
  EXPECT_EQ(Query(again, HKEY_CURRENT_USER, kKey, "Settings"), binary);
  EXPECT_EQ(Query(again, HKEY_CURRENT_USER, kKey, "path \"Q\""),
            std::string("C:\\dir\\\"x\" ; [a]", 17));
  EXPECT_EQ(Query(again, HKEY_CURRENT_USER, kKey, ""), std::string("default\xb9\xea", 10));
  EXPECT_EQ(Query(again, HKEY_CURRENT_USER, kKey, "NoNul"), "abc");
  EXPECT_EQ(Query(again, HKEY_CURRENT_USER, kKey, "Lines"), std::string("a\r\nb", 5));
  EXPECT_EQ(Query(again, HKEY_CURRENT_USER, kKey, "Multi"), std::string("a\0b\0\0", 5));
  EXPECT_EQ(Query(again, HKEY_CURRENT_USER, kKey, "Empty"), "");
  const auto baud = again.GetValue(HKEY_CURRENT_USER, kKey, "Baud");
  ASSERT_TRUE(baud);
  EXPECT_EQ(baud->type, REG_DWORD);
  EXPECT_EQ(again.GetValue(HKEY_CURRENT_USER, kKey, "Multi")->type, REG_MULTI_SZ);
  EXPECT_TRUE(again.KeyExists(HKEY_CURRENT_USER, "Software\\Veldoran\\Terminal\\Empty key"));
  // Names the format cannot carry are refused, and nothing of the change stays.
  EXPECT_EQ(Set(again, kKey, "two\nlines", REG_SZ, std::string("x", 2)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(again.GetValue(HKEY_CURRENT_USER, kKey, "two\nlines"), std::nullopt);
  EXPECT_EQ(ReadFile(File()), text);
}

TEST_F(PosixRegistryTest, ProgramsSeeEachOthersChangesAndLoseNone) {
  PosixRegistry a = Make();
  PosixRegistry b = Make();
  ASSERT_EQ(Set(a, kKey, "One", REG_SZ, std::string("1", 2)), ERROR_SUCCESS);
  EXPECT_EQ(Query(b, HKEY_CURRENT_USER, kKey, "One"), std::string("1", 2));
  // b changes the file after a loaded it: a's next change starts from b's.
  ASSERT_EQ(Set(b, kKey, "Two", REG_SZ, std::string("2", 2)), ERROR_SUCCESS);
  ASSERT_EQ(Set(a, kKey, "Three", REG_SZ, std::string("3", 2)), ERROR_SUCCESS);
  PosixRegistry c = Make();
  for (const char* name : {"One", "Two", "Three"})
    EXPECT_TRUE(Query(c, HKEY_CURRENT_USER, kKey, name)) << name;
  // An open handle reads the value as it is now.
  HKEY key = nullptr;
  ASSERT_EQ(c.RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  ASSERT_EQ(Set(a, kKey, "One", REG_SZ, std::string("changed", 8)), ERROR_SUCCESS);
  char data[16];
  DWORD size = sizeof data;
  ASSERT_EQ(c.RegQueryValueExA(key, "One", nullptr, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(data, "changed");
  c.RegCloseKey(key);
  // The file removed: the keys are gone too.
  fs::remove(File());
  EXPECT_EQ(Query(c, HKEY_CURRENT_USER, kKey, "One"), std::nullopt);
}

TEST_F(PosixRegistryTest, ADamagedFileIsReportedAndNeverOverwritten) {
  {
    PosixRegistry reg = Make();
    ASSERT_EQ(Set(reg, kKey, "Settings", REG_BINARY, std::string(49, '\x01')), ERROR_SUCCESS);
  }
  std::string text = ReadFile(File());
  const std::string damaged = text.substr(0, text.size() - 3);  // cut off inside a byte
  { std::ofstream(File(), std::ios::binary) << damaged; }
  PosixRegistry reg = Make();
  LSTATUS status = ERROR_SUCCESS;
  EXPECT_EQ(Query(reg, HKEY_CURRENT_USER, kKey, "Settings", &status), std::nullopt);
  EXPECT_EQ(status, ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(Set(reg, kKey, "Other", REG_SZ, std::string("x", 2)), ERROR_REGISTRY_CORRUPT);
  EXPECT_NE(reg.StoreError().find("registry.reg is damaged (line"), std::string::npos)
      << reg.StoreError();
  EXPECT_EQ(ReadFile(File()), damaged);
  // The serial-port map does not depend on the file.
  HKEY key = nullptr;
  EXPECT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                              KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  reg.RegCloseKey(key);
  // Repaired by hand (or by a backup put back): usable at once.
  { std::ofstream(File(), std::ios::binary) << text; }
  EXPECT_EQ(Query(reg, HKEY_CURRENT_USER, kKey, "Settings"), std::string(49, '\x01'));
  EXPECT_EQ(reg.StoreError(), "");
}

TEST_F(PosixRegistryTest, AChangeThatCannotBeWrittenFailsAndIsUndone) {
  PosixRegistry reg = Make();
  ASSERT_EQ(Set(reg, kKey, "Kept", REG_SZ, std::string("1", 2)), ERROR_SUCCESS);
  const std::string text = ReadFile(File());
  ASSERT_EQ(::chmod(File().c_str(), 0444), 0);  // not replaced, even by root
  EXPECT_EQ(Set(reg, kKey, "Lost", REG_SZ, std::string("2", 2)), ERROR_CANTWRITE);
  EXPECT_NE(reg.StoreError().find("cannot write"), std::string::npos) << reg.StoreError();
  EXPECT_EQ(reg.GetValue(HKEY_CURRENT_USER, kKey, "Lost"), std::nullopt);
  EXPECT_EQ(Query(reg, HKEY_CURRENT_USER, kKey, "Kept"), std::string("1", 2));
  EXPECT_EQ(ReadFile(File()), text);
  HKEY key = nullptr;
  EXPECT_EQ(
      reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, KEY_ALL_ACCESS, &key, nullptr),
      ERROR_CANTWRITE);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(reg.KeyExists(HKEY_CURRENT_USER, "Software\\New"));
  EXPECT_EQ(reg.OpenKeys(), 0);

  // A folder that cannot exist (a file in its place): nothing to read, nothing written.
  FakeSysfs::Write(tree_.Root() / "blocked", "");
  PosixRegistry nowhere(tree_.Roots(), tree_.Root() / "blocked" / "registry.reg");
  EXPECT_EQ(Query(nowhere, HKEY_CURRENT_USER, kKey, "Kept"), std::nullopt);
  EXPECT_EQ(Set(nowhere, kKey, "Kept", REG_SZ, std::string("1", 2)), ERROR_CANTWRITE);
}

TEST(RegFileTest, ReadsWhatPeopleWriteAndRefusesWhatIsDamaged) {
  const auto parsed = regfile::Parse(
      "\xEF\xBB\xBFREGEDIT4\n\n; a comment\n[HKEY_CURRENT_USER\\A]\n\"x\" = \"1\"\n"
      "\"b\"=hex:01, 02,\\\n   ff\r\n[hkey_current_user\\a]\n\"X\"=dword:1f\n@=hex(7):61,00,00\n"
      "[HKEY_LOCAL_MACHINE]\n");
  ASSERT_TRUE(parsed.ok) << parsed.error_line << ": " << parsed.error;
  ASSERT_EQ(parsed.keys.size(), 2u);
  ASSERT_EQ(parsed.keys[0].values.size(), 3u);
  EXPECT_EQ(parsed.keys[0].values[0].name, "X");
  EXPECT_EQ(parsed.keys[0].values[0].data, std::string("\x1f\0\0\0", 4));
  EXPECT_EQ(parsed.keys[0].values[1].data, "\x01\x02\xff");
  EXPECT_EQ(parsed.keys[0].values[2].type, REG_MULTI_SZ);
  EXPECT_EQ(parsed.keys[1].path, "");

  const std::pair<const char*, int> damaged[] = {
      {"", 0},
      {"REGEDIT5\n", 1},
      {"Windows Registry Editor Version 5.00\n", 1},
      {"REGEDIT4\n\"x\"=\"1\"\n", 2},                        // a value before any key
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", 2},                  // unknown root
      {"REGEDIT4\n[-HKEY_CURRENT_USER\\A]\n", 2},            // deletion
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A\n", 2},              // no closing bracket
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=-\n", 3},    // value deletion
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\n", 3},  // open quotation
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"a\\q\"\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=hex:01,zz\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=hex:01,0\n", 3},  // cut inside a byte
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=hex:01,02,\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=hex:01,\\\n", 3},  // cut off
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=hex(zz):01\n", 3},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\ngarbage\n", 3},
  };
  for (const auto& [text, line] : damaged) {
    const auto result = regfile::Parse(text);
    EXPECT_FALSE(result.ok) << text;
    EXPECT_EQ(result.error_line, line) << text;
    EXPECT_FALSE(result.error.empty()) << text;
    EXPECT_TRUE(result.keys.empty()) << text;
  }
}

}  // namespace
}  // namespace veldoran::win
