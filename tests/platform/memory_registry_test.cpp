#include "platform/memory_registry.h"

#include <gtest/gtest.h>

namespace veldoran::win {
namespace {

const char kMap[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

TEST(MemoryRegistryTest, KeysAndValuesMatchWithoutCaseAndEnumerateInOrder) {
  MemoryRegistry reg;
  reg.PutString(HKEY_LOCAL_MACHINE, kMap, "\\Device\\Serial0", "COM1");
  reg.PutString(HKEY_LOCAL_MACHINE, kMap, "\\Device\\VCP0", "COM10");
  HKEY key = nullptr;
  ASSERT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0,
                              KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  char name[260];
  BYTE data[260];
  DWORD name_size = sizeof name, data_size = sizeof data, type = 0;
  ASSERT_EQ(reg.RegEnumValueA(key, 1, name, &name_size, &type, data, &data_size), ERROR_SUCCESS);
  EXPECT_STREQ(name, "\\Device\\VCP0");
  EXPECT_EQ(name_size, 12u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), data_size), std::string("COM10", 6));
  name_size = 5;
  data_size = sizeof data;
  EXPECT_EQ(reg.RegEnumValueA(key, 0, name, &name_size, &type, data, &data_size), ERROR_MORE_DATA);
  name_size = sizeof name;
  EXPECT_EQ(reg.RegEnumValueA(key, 2, name, &name_size, &type, data, &data_size),
            ERROR_NO_MORE_ITEMS);
  // Read-only handle.
  EXPECT_EQ(reg.RegSetValueExA(key, "x", REG_SZ, data, 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(reg.RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg.OpenKeys(), 0);
}

TEST(MemoryRegistryTest, CreateQuerySizesKernelNamesAndFaults) {
  MemoryRegistry reg;
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(reg.RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Veldoran\\Term", 0, KEY_ALL_ACCESS,
                                &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_TRUE(reg.KeyExists(HKEY_CURRENT_USER, "software\\veldoran"));
  const BYTE bytes[3] = {1, 0, 2};
  ASSERT_EQ(reg.RegSetValueExA(key, "Settings", REG_BINARY, bytes, 3), ERROR_SUCCESS);
  DWORD size = 0, type = 0;
  ASSERT_EQ(reg.RegQueryValueExA(key, "SETTINGS", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  BYTE small[2];
  size = 2;
  EXPECT_EQ(reg.RegQueryValueExA(key, "Settings", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(reg.KernelName(key), "\\REGISTRY\\USER\\" + std::string(MemoryRegistry::kUserSid) +
                                     "\\Software\\Veldoran\\Term");
  reg.FailCalls("RegQueryValueExA", ERROR_CANTREAD);
  EXPECT_EQ(reg.RegQueryValueExA(key, "Settings", &type, nullptr, &size), ERROR_CANTREAD);
  EXPECT_EQ(reg.RegQueryValueExA(key, "Settings", &type, nullptr, &size), ERROR_SUCCESS);
  reg.RegCloseKey(key);
  const auto calls = reg.Calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0], "RegCreateKeyExA HKEY_CURRENT_USER\\Software\\Veldoran\\Term sam=0xf003f");
  EXPECT_EQ(calls[1],
            "RegSetValueExA HKEY_CURRENT_USER\\Software\\Veldoran\\Term value=Settings type=3 "
            "data=3");
  EXPECT_EQ(reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Missing", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace veldoran::win
