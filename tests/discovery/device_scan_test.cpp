// The device information scan against the in-memory registry and the recording device-setup
// fake: which entry points are loaded and when, the calls of a scan with their arguments in
// order, what lands in the records, and the registry and text routines.
#include "discovery/device_scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/fake/fake_device_setup.h"
#include "platform/memory_registry.h"

namespace veldoran::discovery {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using win::FakeDevice;
using win::FakeDeviceSetup;
using win::HKEY_LOCAL_MACHINE;

constexpr char kFtdiKey[] =
    "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A1\\0000\\Device Parameters";

class DeviceScanTest : public ::testing::Test {
 protected:
  DeviceScanTest() { setup->InstallModules(); }

  // A USB adapter of the Ports class on COM4, with everything the scan reads.
  FakeDevice Adapter() {
    FakeDevice device;
    device.setup_class = kPortsClass;
    device.properties = {
        {win::SPDRP_DRIVER, win::SzBytes("{4d36e978-e325-11ce-bfc1-08002be10318}\\0003")},
        {win::SPDRP_SERVICE, win::SzBytes("FTSER2K")},
        {win::SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, win::SzBytes("\\Device\\VCP0")},
        {win::SPDRP_DEVICEDESC, win::SzBytes("USB Serial Port")},
        {win::SPDRP_MFG, win::SzBytes("FTDI")},
    };
    device.hardware_key = kFtdiKey;
    registry->PutString(HKEY_LOCAL_MACHINE, kFtdiKey, "PortName", "COM4");
    registry->PutString(HKEY_LOCAL_MACHINE, kFtdiKey, "SymbolicName", "\\??\\FTDIBUS#A1");
    device.instance_id = "FTDIBUS\\VID_0403+PID_6001+A1\\0000";
    device.bus_relations = win::MultiSzBytes({"CHILD\\A", "CHILD\\B"});
    return device;
  }

  // The calls after the entry points were loaded.
  std::vector<std::string> ScanCalls() {
    std::vector<std::string> out;
    for (const std::string& call : setup->Calls()) {
      if (call.rfind("GetProcAddress SetupAPI", 0) != 0 &&
          call.rfind("LoadLibraryA SetupAPI", 0) != 0) {
        out.push_back(call);
      }
    }
    return out;
  }

  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  const std::shared_ptr<FakeDeviceSetup> setup = std::make_shared<FakeDeviceSetup>(registry);
  DeviceScan scan{setup, registry};
};

// ---- loading ----

std::vector<std::string> Lookups(const std::string& module, const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names) out.push_back("GetProcAddress " + module + " " + name);
  return out;
}

TEST_F(DeviceScanTest, EntryPointsAreLookedUpInTableOrderOncePerInterface) {
  ASSERT_TRUE(scan.LoadSetupApi());
  std::vector<std::string> expected = {"LoadLibraryA SetupAPI.dll"};
  for (const std::string& call : Lookups("SetupAPI.dll", FakeDeviceSetup::SetupApiExports())) {
    expected.push_back(call);
  }
  for (const std::string& call : Lookups("SetupAPI.dll", FakeDeviceSetup::ConfigManagerExports())) {
    expected.push_back(call);
  }
  EXPECT_THAT(setup->Calls(), ElementsAreArray(expected));

  // Another scan on the same interface (as the next enumeration makes) loads nothing again.
  setup->ClearCalls();
  DeviceScan again{setup, registry};
  TspScanList list;
  again.ScanDevices(kPortsClass, false, false, list);
  EXPECT_THAT(setup->CallsOf("LoadLibraryA SetupAPI"), IsEmpty());
  EXPECT_THAT(setup->CallsOf("GetProcAddress SetupAPI"), IsEmpty());
  EXPECT_EQ(setup->LoadCount("SetupAPI.dll"), 1);

  // A new interface has its own state: it loads for itself.
  const auto other = std::make_shared<FakeDeviceSetup>(registry);
  other->InstallModules();
  EXPECT_TRUE(DeviceScan(other, registry).LoadSetupApi());
  EXPECT_EQ(other->LoadCount("SetupAPI.dll"), 1);
}

TEST_F(DeviceScanTest, ConfigurationManagerComesFromCfgmgr32WhenSetupApiLacksIt) {
  setup->InstallModules(/*cm_in_setupapi=*/false);
  ASSERT_TRUE(scan.LoadSetupApi());
  const std::vector<std::string> calls = setup->Calls();
  const std::vector<std::string> tail(calls.end() - 10, calls.end());
  std::vector<std::string> expected = {"GetProcAddress SetupAPI.dll CM_Locate_DevNodeA",
                                       "LoadLibraryA cfgmgr32.dll"};
  for (const std::string& call : Lookups("cfgmgr32.dll", FakeDeviceSetup::ConfigManagerExports())) {
    expected.push_back(call);
  }
  EXPECT_THAT(tail, ElementsAreArray(expected));
  EXPECT_EQ(setup->LoadCount("cfgmgr32.dll"), 1);
}

TEST_F(DeviceScanTest, ARequiredEntryPointMissingFailsTheLoadAndFreesBothModules) {
  std::vector<std::string> all = FakeDeviceSetup::SetupApiExports();
  const std::vector<std::string>& cm = FakeDeviceSetup::ConfigManagerExports();
  all.insert(all.end(), cm.begin(), cm.end());
  const std::vector<std::string> optional = {"SetupDiRemoveDevice", "SetupDiUnremoveDevice",
                                             "SetupDiOpenDeviceInfoA", "CM_Request_Device_EjectA"};
  for (const std::string& name : all) {
    SCOPED_TRACE(name);
    const auto fake = std::make_shared<FakeDeviceSetup>(registry);
    fake->InstallModules(/*cm_in_setupapi=*/false);
    const bool in_setupapi = name.rfind("SetupDi", 0) == 0;
    fake->RemoveExport(in_setupapi ? "SetupAPI.dll" : "cfgmgr32.dll", name);
    DeviceScan loader{fake, registry};
    const bool required = std::find(optional.begin(), optional.end(), name) == optional.end();
    EXPECT_EQ(loader.LoadSetupApi(), !required);
    if (!required) continue;
    EXPECT_EQ(fake->LoadCount("SetupAPI.dll"), 0);
    EXPECT_EQ(fake->LoadCount("cfgmgr32.dll"), 0);
    // The next attempt starts again from loading SetupAPI.dll.
    fake->ClearCalls();
    EXPECT_FALSE(loader.LoadSetupApi());
    EXPECT_EQ(fake->Calls().front(), "LoadLibraryA SetupAPI.dll");
  }
}

TEST_F(DeviceScanTest, WithoutSetupApiAScanAddsNothingAndCallsNothing) {
  setup->RemoveModule("SetupAPI.dll");
  setup->AddDevice(Adapter());
  TspScanList list;
  scan.ScanDevices(kPortsClass, true, false, list);
  scan.ScanDevices(kComPortInterfaceClass, true, true, list);
  EXPECT_THAT(list, IsEmpty());
  EXPECT_THAT(setup->Calls(),
              ElementsAre("LoadLibraryA SetupAPI.dll", "LoadLibraryA SetupAPI.dll"));
  // No interface at all (a platform without device setup): the same.
  DeviceScan none{nullptr, registry};
  none.ScanDevices(kPortsClass, true, false, list);
  EXPECT_THAT(list, IsEmpty());
}

// ---- device mode ----

TEST_F(DeviceScanTest, DeviceModeReadsEachDeviceWithTheCallsInOrder) {
  const win::DWORD dev = setup->AddDevice(Adapter());
  TspScanList list;
  scan.ScanDevices(kPortsClass, true, false, list);

  ASSERT_EQ(list.size(), 1u);
  const TspDevice& r = *list[0].record;
  EXPECT_EQ(list[0].text, r.Driver);
  EXPECT_EQ(r.Driver, "{4d36e978-e325-11ce-bfc1-08002be10318}\\0003");
  EXPECT_EQ(r.Service, "FTSER2K");
  EXPECT_EQ(r.DeviceName, "\\Device\\VCP0");
  EXPECT_EQ(r.Description, "USB Serial Port");
  EXPECT_EQ(r.Manufacturer, "FTDI");
  EXPECT_EQ(r.RegistryKey, kFtdiKey);
  EXPECT_EQ(r.PnPPortName, "COM4");  // the stored NUL is not part of it
  EXPECT_EQ(r.PnPPortName.size(), 4u);
  EXPECT_EQ(r.SymbolicName, "\\??\\FTDIBUS#A1");
  EXPECT_EQ(r.InstanceId, "FTDIBUS\\VID_0403+PID_6001+A1\\0000");
  EXPECT_EQ(r.DevInst, dev);
  EXPECT_EQ(r.Children, "CHILD\\A;CHILD\\B");
  EXPECT_EQ(r.PortNo, 0);
  EXPECT_EQ(r.Caption, "");

  const std::string devinfo = std::to_string(sizeof(win::SP_DEVINFO_DATA));
  const std::string key_name = std::string("\\REGISTRY\\MACHINE\\") + kFtdiKey;
  const std::string name_length = std::to_string(4 + 2 * key_name.size());
  const std::string id = "FTDIBUS\\VID_0403+PID_6001+A1\\0000";
  const std::string list_length = std::to_string(std::string("CHILD\\A CHILD\\B  ").size());
  EXPECT_THAT(
      ScanCalls(),
      ElementsAre(
          "SetupDiGetClassDevsA {4D36E978-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
          "flags=0x2",
          "SetupDiEnumDeviceInfo set=1 index=0 cbSize=" + devinfo,
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=1 property=9 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=1 property=4 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=1 property=14 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=1 property=0 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=1 property=11 buffer=512",
          "SetupDiOpenDevRegKey set=1 dev=1 scope=1 profile=0 type=1 sam=0x1",
          "LoadLibraryA ntdll.dll", "GetProcAddress ntdll.dll ZwQueryKey",
          "ZwQueryKey key=" + key_name + " class=3 length=0",
          "ZwQueryKey key=" + key_name + " class=3 length=" + name_length, "FreeLibrary ntdll.dll",
          "SetupDiGetDeviceInstanceIdA set=1 dev=1 buffer=256",
          "CM_Get_Device_ID_List_SizeA filter=" + id + " flags=0x20",
          "CM_Get_Device_ID_ListA filter=" + id + " length=" + list_length + " flags=0x20",
          "SetupDiEnumDeviceInfo set=1 index=1 cbSize=" + devinfo,
          "SetupDiDestroyDeviceInfoList set=1"));

  // The hardware key is closed before its values are read, under HKEY_LOCAL_MACHINE.
  const std::string hklm = std::string("HKEY_LOCAL_MACHINE\\") + kFtdiKey;
  EXPECT_THAT(
      registry->Calls(),
      ElementsAre("RegOpenKeyExA " + hklm + " sam=0x1", "RegCloseKey " + hklm,
                  "RegOpenKeyExA " + hklm + " sam=0x20019",
                  "RegQueryValueExA " + hklm + " value=SymbolicName data=-",
                  "RegQueryValueExA " + hklm + " value=SymbolicName data=15", "RegCloseKey " + hklm,
                  "RegOpenKeyExA " + hklm + " sam=0x20019",
                  "RegQueryValueExA " + hklm + " value=PortName data=-",
                  "RegQueryValueExA " + hklm + " value=PortName data=5", "RegCloseKey " + hklm));
  EXPECT_EQ(registry->OpenKeys(), 0);
}

TEST_F(DeviceScanTest, WhatCannotBeReadStaysEmptyAndTheRecordIsStillAdded) {
  FakeDevice bare;
  bare.setup_class = kPortsClass;
  bare.properties[win::SPDRP_DEVICEDESC] = win::SzBytes(std::string(511, 'd'));  // fits
  bare.properties[win::SPDRP_MFG] = win::SzBytes(std::string(512, 'm'));         // does not
  setup->AddDevice(bare);
  FakeDevice absent = Adapter();
  absent.present = false;
  setup->AddDevice(absent);

  TspScanList present;
  scan.ScanDevices(kPortsClass, true, false, present);
  ASSERT_EQ(present.size(), 1u);
  const TspDevice& r = *present[0].record;
  EXPECT_EQ(r.Description, std::string(511, 'd'));
  EXPECT_EQ(r.Manufacturer, "");
  EXPECT_EQ(r.Driver, "");
  EXPECT_EQ(r.RegistryKey, "");
  EXPECT_EQ(r.SymbolicName, "");
  EXPECT_EQ(r.PnPPortName, "");
  EXPECT_EQ(r.InstanceId, "");  // an empty identifier is no identifier
  EXPECT_EQ(r.Children, "");

  // Installed but not present: listed only when all devices are asked for.
  TspScanList all;
  scan.ScanDevices(kPortsClass, false, false, all);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].record->PnPPortName, "COM4");
  EXPECT_EQ(setup->CallsOf("SetupDiGetClassDevsA").back(),
            "SetupDiGetClassDevsA {4D36E978-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
            "flags=0x0");
  EXPECT_EQ(setup->OpenSets(), 0);
}

TEST_F(DeviceScanTest, FailingCallsLeaveFieldsEmptyOrEndTheScanCleanly) {
  setup->AddDevice(Adapter());
  setup->RemoveModule("ntdll.dll");
  setup->FailCalls("CM_Get_Device_ID_ListA", win::CR_FAILURE);
  TspScanList list;
  scan.ScanDevices(kPortsClass, true, false, list);
  ASSERT_EQ(list.size(), 1u);
  // Without ZwQueryKey the key has no path, so nothing of it can be read: the record can
  // never match a port.
  EXPECT_EQ(list[0].record->RegistryKey, "");
  EXPECT_EQ(list[0].record->PnPPortName, "");
  EXPECT_EQ(list[0].record->Children, "");
  EXPECT_EQ(list[0].record->InstanceId, "FTDIBUS\\VID_0403+PID_6001+A1\\0000");
  EXPECT_EQ(registry->OpenKeys(), 0);  // the device key was still closed

  // A class whose device set cannot be made adds nothing and destroys nothing.
  setup->FailCalls("SetupDiGetClassDevsA", win::ERROR_INVALID_PARAMETER);
  setup->ClearCalls();
  scan.ScanDevices(kPortsClass, true, false, list);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_THAT(setup->CallsOf("SetupDiDestroyDeviceInfoList"), IsEmpty());
}

// ---- interface mode ----

TEST_F(DeviceScanTest, InterfaceModeAsksTheDetailSizeThenReadsThePath) {
  FakeDevice device = Adapter();
  device.interfaces = {{kComPortInterfaceClass, "\\\\?\\ftdibus#gone", /*detail_fails=*/true},
                       {kComPortInterfaceClass, "\\\\?\\ftdibus#a1#{86e0d1e0}"}};
  const win::DWORD dev = setup->AddDevice(device);
  TspScanList list;
  scan.ScanDevices(kComPortInterfaceClass, true, true, list);

  // The interface whose detail cannot be had is passed over; the next one is read.
  ASSERT_EQ(list.size(), 1u);
  const TspDevice& r = *list[0].record;
  EXPECT_EQ(r.SymbolicName, "\\\\?\\ftdibus#a1#{86e0d1e0}");
  EXPECT_EQ(r.Description, "USB Serial Port");
  EXPECT_EQ(r.Driver, list[0].text);
  EXPECT_EQ(r.RegistryKey, "");  // no key, identifier or port name in this mode
  EXPECT_EQ(r.PnPPortName, "");
  EXPECT_EQ(r.InstanceId, "");

  const std::string ifdata = std::to_string(sizeof(win::SP_DEVICE_INTERFACE_DATA));
  const std::string devinfo = std::to_string(sizeof(win::SP_DEVINFO_DATA));
  const std::string d = std::to_string(dev);
  const std::string required =
      std::to_string(4 + std::string("\\\\?\\ftdibus#a1#{86e0d1e0}").size() + 1);
  EXPECT_THAT(
      ScanCalls(),
      ElementsAre(
          "SetupDiGetClassDevsA {86E0D1E0-8089-11D0-9CE4-08003E301F73} enumerator=- "
          "parent=- flags=0x12",
          "SetupDiEnumDeviceInterfaces set=1 dev=- class={86E0D1E0-8089-11D0-9CE4-"
          "08003E301F73} index=0 cbSize=" +
              ifdata,
          "SetupDiGetDeviceInterfaceDetailA set=1 dev=" + d + " detail=- size=0 devinfo=" + devinfo,
          "SetupDiEnumDeviceInterfaces set=1 dev=- class={86E0D1E0-8089-11D0-9CE4-"
          "08003E301F73} index=1 cbSize=" +
              ifdata,
          "SetupDiGetDeviceInterfaceDetailA set=1 dev=" + d + " detail=- size=0 devinfo=" + devinfo,
          "SetupDiGetDeviceInterfaceDetailA set=1 dev=" + d +
              " detail=" + std::to_string(win::kInterfaceDetailDataSize) + " size=" + required +
              " devinfo=" + devinfo,
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=" + d + " property=9 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=" + d + " property=4 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=" + d + " property=14 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=" + d + " property=0 buffer=512",
          "SetupDiGetDeviceRegistryPropertyA set=1 dev=" + d + " property=11 buffer=512",
          "SetupDiEnumDeviceInterfaces set=1 dev=- class={86E0D1E0-8089-11D0-9CE4-"
          "08003E301F73} index=2 cbSize=" +
              ifdata,
          "SetupDiDestroyDeviceInfoList set=1"));
}

// ---- registry and text routines ----

TEST_F(DeviceScanTest, KeyPathDropsTheHiveAsTheKernelNamesIt) {
  const auto open = [&](win::HKEY hive, const char* path) {
    registry->CreateKey(hive, path);
    win::HKEY key = nullptr;
    EXPECT_EQ(registry->RegOpenKeyExA(hive, path, 0, win::KEY_READ, &key), 0);
    return key;
  };
  win::HKEY hive = nullptr;
  const win::HKEY machine = open(HKEY_LOCAL_MACHINE, "SYSTEM\\X");
  EXPECT_EQ(scan.GetKeyPath(machine, &hive), "SYSTEM\\X");
  EXPECT_EQ(hive, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(scan.GetKeyPath(machine), "\\REGISTRY\\MACHINE\\SYSTEM\\X");  // no hive asked for

  // The current user's key: the user's security identifier goes with the root.
  const win::HKEY user = open(win::HKEY_CURRENT_USER, "Software\\Veldoran");
  EXPECT_EQ(scan.GetKeyPath(user, &hive), "Software\\Veldoran");
  EXPECT_EQ(hive, win::HKEY_CURRENT_USER);

  // Any other name is given whole, with no hive; characters the ANSI code page lacks are "?",
  // Polish letters are its own.
  const win::HKEY other = open(HKEY_LOCAL_MACHINE, "SYSTEM\\Y");
  setup->RenameKernelKey("\\REGISTRY\\MACHINE\\SYSTEM\\Y", u"\\Device\\Ł\u4E2D");
  hive = HKEY_LOCAL_MACHINE;
  EXPECT_EQ(scan.GetKeyPath(other, &hive), "\\Device\\\xA3?");
  EXPECT_EQ(hive, nullptr);

  // Without ZwQueryKey: empty, and the hive is not touched.
  setup->RemoveExport("ntdll.dll", "ZwQueryKey");
  hive = win::HKEY_USERS;
  EXPECT_EQ(scan.GetKeyPath(machine, &hive), "");
  EXPECT_EQ(hive, win::HKEY_USERS);
  EXPECT_EQ(setup->LoadCount("ntdll.dll"), 0);  // loaded and freed each time
  EXPECT_EQ(scan.GetKeyPath(reinterpret_cast<win::HKEY>(win::InvalidHandle()), &hive), "");
  for (win::HKEY key : {machine, user, other}) registry->RegCloseKey(key);
}

TEST_F(DeviceScanTest, RegStringDropsOneTerminatingNulAndClosesTheKey) {
  registry->PutValue(HKEY_LOCAL_MACHINE, "K", "Sz", win::REG_SZ, std::string("COM7\0", 5));
  registry->PutValue(HKEY_LOCAL_MACHINE, "K", "Raw", win::REG_BINARY, "COM8");
  registry->PutValue(HKEY_LOCAL_MACHINE, "K", "Empty", win::REG_SZ, "");
  EXPECT_EQ(scan.ReadRegString(HKEY_LOCAL_MACHINE, "K", "Sz"), "COM7");
  EXPECT_EQ(scan.ReadRegString(HKEY_LOCAL_MACHINE, "K", "Raw"), "COM8");  // type ignored
  EXPECT_EQ(scan.ReadRegString(HKEY_LOCAL_MACHINE, "K", "Empty"), "");
  EXPECT_EQ(scan.ReadRegString(HKEY_LOCAL_MACHINE, "K", "Missing"), "");
  EXPECT_EQ(scan.ReadRegString(HKEY_LOCAL_MACHINE, "Nowhere", "Sz"), "");
  EXPECT_EQ(registry->OpenKeys(), 0);
}

TEST(MultiSzToText, JoinsTheStringsAndNeverLooksAtTheLastCharacter) {
  struct Case {
    std::string buffer;
    const char* expected;
  };
  const Case cases[] = {
      {std::string("A\0B\0\0", 5), "A;B"},
      {std::string("\0", 1), ""},
      {"", ""},
      {std::string("ROOT\\1\0\0", 8), "ROOT\\1"},
      {std::string("AB", 2), "A"},  // the last
                                    // character is not
                                    // looked at
      {std::string("A\0\0B\0\0", 6), "A;;B"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MultiSzToText(c.buffer.data(), c.buffer.size(), ";"), c.expected)
        << "buffer of " << c.buffer.size();
  }
  EXPECT_EQ(MultiSzToText("A\0B\0", 5, ", "), "A, B");
}

}  // namespace
}  // namespace veldoran::discovery
