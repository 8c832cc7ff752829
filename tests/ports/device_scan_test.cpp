// The device information scan against the in-memory registry and the recording device-setup
// fake: which entry points are loaded and when, the calls of a scan in order with their
// arguments, what lands in the records, and the registry and text routines.
#include "ports/device_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fake/fake_device_setup.h"
#include "platform/memory_registry.h"

namespace veldoran::ports {
namespace {

using Strings = std::vector<std::string>;

using win::FakeDeviceSetup;
using win::HKEY_LOCAL_MACHINE;

constexpr char kKey[] = "SYSTEM\\Enum\\FTDIBUS\\A1\\Device Parameters";

// Each call's function name, and for the property reads the property, in order.
std::vector<std::string> Names(const std::vector<std::string>& calls) {
  std::vector<std::string> out;
  for (const std::string& call : calls) {
    const std::string name = call.substr(0, call.find(' '));
    const auto property = call.find("property=");
    out.push_back(property == std::string::npos
                      ? name
                      : "property " +
                            call.substr(property + 9, call.find(' ', property) - property - 9));
  }
  return out;
}

class DeviceScanTest : public ::testing::Test {
 protected:
  DeviceScanTest() { setup->InstallModules(); }

  // A USB adapter of the Ports class on COM4, with everything the scan reads.
  win::DWORD AddAdapter(bool present = true) {
    win::FakeDevice device;
    device.setup_class = kPortsClass;
    device.present = present;
    device.properties = {{win::SPDRP_DRIVER, win::SzBytes("{4d36e978}\\0003")},
                         {win::SPDRP_SERVICE, win::SzBytes("FTSER2K")},
                         {win::SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, win::SzBytes("\\Device\\VCP0")},
                         {win::SPDRP_DEVICEDESC, win::SzBytes("USB Serial Port")},
                         {win::SPDRP_MFG, win::SzBytes("FTDI")}};
    device.hardware_key = kKey;
    registry->PutString(HKEY_LOCAL_MACHINE, kKey, "PortName", "COM4");
    registry->PutString(HKEY_LOCAL_MACHINE, kKey, "SymbolicName", "\\??\\FTDIBUS#A1");
    device.instance_id = "FTDIBUS\\A1";
    device.bus_relations = win::MultiSzBytes({"CHILD\\A", "CHILD\\B"});
    device.interfaces = {{kComPortInterfaceClass, "\\\\?\\gone", /*detail_fails=*/true},
                         {kComPortInterfaceClass, "\\\\?\\ftdibus#a1"}};
    return setup->AddDevice(device);
  }

  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  const std::shared_ptr<FakeDeviceSetup> setup = std::make_shared<FakeDeviceSetup>(registry);
  DeviceScan scan{setup, registry};
};

TEST_F(DeviceScanTest, EntryPointsAreLookedUpInOrderOncePerInterface) {
  ASSERT_TRUE(scan.LoadSetupApi());
  std::vector<std::string> expected = {"LoadLibraryA SetupAPI.dll"};
  for (const auto* names :
       {&FakeDeviceSetup::SetupApiExports(), &FakeDeviceSetup::ConfigManagerExports()}) {
    for (const std::string& name : *names)
      expected.push_back("GetProcAddress SetupAPI.dll " + name);
  }
  EXPECT_EQ(setup->Calls(), expected);
  // The next scan on this interface loads nothing; a new interface loads for itself.
  setup->ClearCalls();
  EXPECT_TRUE(DeviceScan(setup, registry).LoadSetupApi());
  EXPECT_TRUE(setup->Calls().empty());
  const auto other = std::make_shared<FakeDeviceSetup>(registry);
  other->InstallModules(/*cm_in_setupapi=*/false);
  EXPECT_TRUE(DeviceScan(other, registry).LoadSetupApi());
  // There the configuration manager comes from cfgmgr32.dll.
  const std::vector<std::string> calls = other->Calls();
  EXPECT_EQ(calls[17], "GetProcAddress SetupAPI.dll CM_Locate_DevNodeA");
  EXPECT_EQ(calls[18], "LoadLibraryA cfgmgr32.dll");
  EXPECT_EQ(calls[19], "GetProcAddress cfgmgr32.dll CM_Locate_DevNodeA");
  EXPECT_EQ(calls.back(), "GetProcAddress cfgmgr32.dll CM_Request_Device_EjectA");
}

TEST_F(DeviceScanTest, AMissingRequiredEntryPointFailsTheLoadAndFreesBothModules) {
  std::vector<std::string> all = FakeDeviceSetup::SetupApiExports();
  const std::vector<std::string>& cm = FakeDeviceSetup::ConfigManagerExports();
  all.insert(all.end(), cm.begin(), cm.end());
  const std::vector<std::string> optional = {"SetupDiRemoveDevice", "SetupDiUnremoveDevice",
                                             "SetupDiOpenDeviceInfoA", "CM_Request_Device_EjectA"};
  for (const std::string& name : all) {
    SCOPED_TRACE(name);
    const auto fake = std::make_shared<FakeDeviceSetup>(registry);
    fake->InstallModules(/*cm_in_setupapi=*/false);
    fake->RemoveExport(name.rfind("CM_", 0) == 0 ? "cfgmgr32.dll" : "SetupAPI.dll", name);
    DeviceScan loader{fake, registry};
    const bool required = std::count(optional.begin(), optional.end(), name) == 0;
    EXPECT_EQ(loader.LoadSetupApi(), !required);
    if (!required) continue;
    EXPECT_EQ(fake->LoadCount("SetupAPI.dll") + fake->LoadCount("cfgmgr32.dll"), 0);
    fake->ClearCalls();  // the next attempt starts from the beginning
    EXPECT_FALSE(loader.LoadSetupApi());
    EXPECT_EQ(fake->Calls().front(), "LoadLibraryA SetupAPI.dll");
  }
  // Without SetupAPI.dll (or any device-setup interface) a scan adds nothing.
  setup->RemoveModule("SetupAPI.dll");
  AddAdapter();
  TspScanList list;
  scan.ScanDevices(kPortsClass, true, false, list);
  DeviceScan(nullptr, registry).ScanDevices(kPortsClass, true, false, list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(setup->Calls(), (Strings{"LoadLibraryA SetupAPI.dll"}));
}

TEST_F(DeviceScanTest, DeviceModeReadsEachDeviceWithTheCallsInOrder) {
  const win::DWORD dev = AddAdapter();
  ASSERT_TRUE(scan.LoadSetupApi());
  setup->ClearCalls();
  TspScanList list;
  scan.ScanDevices(kPortsClass, true, false, list);

  ASSERT_EQ(list.size(), 1u);
  const TspDevice& r = *list[0].record;
  EXPECT_EQ(list[0].text, "{4d36e978}\\0003");
  EXPECT_EQ(r.Driver, list[0].text);
  EXPECT_EQ(r.Service + "|" + r.DeviceName + "|" + r.Description + "|" + r.Manufacturer,
            "FTSER2K|\\Device\\VCP0|USB Serial Port|FTDI");
  EXPECT_EQ(r.RegistryKey, kKey);
  EXPECT_EQ(r.PnPPortName, "COM4");  // four characters: the stored NUL is dropped
  EXPECT_EQ(r.SymbolicName, "\\??\\FTDIBUS#A1");
  EXPECT_EQ(r.InstanceId, "FTDIBUS\\A1");
  EXPECT_EQ(r.DevInst, dev);
  EXPECT_EQ(r.Children, "CHILD\\A;CHILD\\B");

  const std::vector<std::string> calls = setup->Calls();
  EXPECT_EQ(
      Names(calls),
      (Strings{"SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo", "property 9", "property 4",
               "property 14", "property 0", "property 11", "SetupDiOpenDevRegKey", "LoadLibraryA",
               "GetProcAddress", "ZwQueryKey", "ZwQueryKey", "FreeLibrary",
               "SetupDiGetDeviceInstanceIdA", "CM_Get_Device_ID_List_SizeA",
               "CM_Get_Device_ID_ListA", "SetupDiEnumDeviceInfo", "SetupDiDestroyDeviceInfoList"}));
  EXPECT_EQ(calls[0], "SetupDiGetClassDevsA " + win::GuidText(kPortsClass) +
                          " enumerator=- parent=- flags=0x2");
  EXPECT_EQ(calls[1], "SetupDiEnumDeviceInfo set=1 index=0 cbSize=" +
                          std::to_string(sizeof(win::SP_DEVINFO_DATA)));
  EXPECT_EQ(calls[2], "SetupDiGetDeviceRegistryPropertyA set=1 dev=1 property=9 buffer=512");
  EXPECT_EQ(calls[7], "SetupDiOpenDevRegKey set=1 dev=1 scope=1 profile=0 type=1 sam=0x1");
  EXPECT_EQ(calls[13], "SetupDiGetDeviceInstanceIdA set=1 dev=1 buffer=256");
  EXPECT_EQ(calls[14], "CM_Get_Device_ID_List_SizeA filter=FTDIBUS\\A1 flags=0x20");
  // The hardware key is closed before its values are read, under HKEY_LOCAL_MACHINE.
  const std::string hklm = std::string("HKEY_LOCAL_MACHINE\\") + kKey;
  const std::vector<std::string> reg = registry->Calls();
  ASSERT_EQ(reg.size(), 10u);
  EXPECT_EQ(reg[1], "RegCloseKey " + hklm);
  EXPECT_EQ(reg[2], "RegOpenKeyExA " + hklm + " sam=0x20019");
  EXPECT_EQ(registry->OpenKeys(), 0);
}

TEST_F(DeviceScanTest, WhatCannotBeReadStaysEmptyAndTheRecordIsStillAdded) {
  win::FakeDevice bare;
  bare.setup_class = kPortsClass;
  bare.properties[win::SPDRP_DEVICEDESC] = win::SzBytes(std::string(511, 'd'));  // fits
  bare.properties[win::SPDRP_MFG] = win::SzBytes(std::string(512, 'm'));         // does not
  setup->AddDevice(bare);
  AddAdapter(/*present=*/false);
  TspScanList list;
  scan.ScanDevices(kPortsClass, true, false, list);
  ASSERT_EQ(list.size(), 1u);  // the absent adapter is left out
  const TspDevice& r = *list[0].record;
  EXPECT_EQ(r.Description, std::string(511, 'd'));
  EXPECT_EQ(r.Manufacturer + r.Driver + r.RegistryKey + r.SymbolicName + r.PnPPortName +
                r.InstanceId + r.Children,
            "");

  // All installed devices; ZwQueryKey missing and the ID list failing.
  setup->RemoveModule("ntdll.dll");
  setup->FailCalls("CM_Get_Device_ID_ListA", win::CR_FAILURE);
  list.clear();
  scan.ScanDevices(kPortsClass, false, false, list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].record->RegistryKey + list[1].record->PnPPortName, "");  // can never match
  EXPECT_EQ(list[1].record->Children, "");
  EXPECT_EQ(list[1].record->InstanceId, "FTDIBUS\\A1");
  EXPECT_EQ(registry->OpenKeys(), 0);  // the key was still closed
  // A class whose device set cannot be made adds nothing and destroys nothing.
  setup->FailCalls("SetupDiGetClassDevsA", win::ERROR_INVALID_PARAMETER);
  setup->ClearCalls();
  scan.ScanDevices(kPortsClass, false, false, list);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_TRUE(setup->CallsOf("SetupDiDestroyDeviceInfoList").empty());
  EXPECT_EQ(setup->OpenSets(), 0);
}

TEST_F(DeviceScanTest, InterfaceModeAsksTheDetailSizeThenReadsThePath) {
  const std::string dev = std::to_string(AddAdapter());
  ASSERT_TRUE(scan.LoadSetupApi());
  setup->ClearCalls();
  TspScanList list;
  scan.ScanDevices(kComPortInterfaceClass, true, true, list);
  // The interface whose detail cannot be had is passed over; the next one is read.
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].record->SymbolicName, "\\\\?\\ftdibus#a1");
  EXPECT_EQ(list[0].record->Description, "USB Serial Port");
  EXPECT_EQ(list[0].record->RegistryKey + list[0].record->PnPPortName, "");  // not read here

  const std::vector<std::string> calls = setup->Calls();
  EXPECT_EQ(Names(calls),
            (Strings{"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetDeviceInterfaceDetailA", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetDeviceInterfaceDetailA", "SetupDiGetDeviceInterfaceDetailA",
                     "property 9", "property 4", "property 14", "property 0", "property 11",
                     "SetupDiEnumDeviceInterfaces", "SetupDiDestroyDeviceInfoList"}));
  EXPECT_TRUE(std::string_view(calls[0]).ends_with("flags=0x12")) << calls[0];
  const std::string devinfo = " devinfo=" + std::to_string(sizeof(win::SP_DEVINFO_DATA));
  EXPECT_EQ(calls[4],
            "SetupDiGetDeviceInterfaceDetailA set=1 dev=" + dev + " detail=- size=0" + devinfo);
  EXPECT_EQ(calls[5], "SetupDiGetDeviceInterfaceDetailA set=1 dev=" + dev +
                          " detail=" + std::to_string(win::kInterfaceDetailDataSize) + " size=19" +
                          devinfo);  // 4 + path + NUL
}

TEST_F(DeviceScanTest, KeyPathDropsTheHiveAsTheKernelNamesIt) {
  const auto open = [&](win::HKEY hive, const char* path) {
    registry->CreateKey(hive, path);
    win::HKEY key = nullptr;
    registry->RegOpenKeyExA(hive, path, 0, win::KEY_READ, &key);
    return key;
  };
  win::HKEY hive = nullptr;
  const win::HKEY machine = open(HKEY_LOCAL_MACHINE, "SYSTEM\\X");
  EXPECT_EQ(scan.GetKeyPath(machine, &hive), "SYSTEM\\X");
  EXPECT_EQ(hive, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(scan.GetKeyPath(machine), "\\REGISTRY\\MACHINE\\SYSTEM\\X");  // no hive asked for
  // The current user's key: the security identifier goes with the root.
  EXPECT_EQ(scan.GetKeyPath(open(win::HKEY_CURRENT_USER, "Software\\V"), &hive), "Software\\V");
  EXPECT_EQ(hive, win::HKEY_CURRENT_USER);
  // Any other name whole, with no hive; the ANSI code page holds Ł, not 中.
  const win::HKEY other = open(HKEY_LOCAL_MACHINE, "SYSTEM\\Y");
  setup->RenameKernelKey("\\REGISTRY\\MACHINE\\SYSTEM\\Y", u"\\Device\\Ł\u4E2D");
  EXPECT_EQ(scan.GetKeyPath(other, &hive), "\\Device\\\xA3?");
  EXPECT_EQ(hive, nullptr);
  // Without ZwQueryKey: empty, and the hive untouched.
  setup->RemoveExport("ntdll.dll", "ZwQueryKey");
  hive = win::HKEY_USERS;
  EXPECT_EQ(scan.GetKeyPath(machine, &hive), "");
  EXPECT_EQ(hive, win::HKEY_USERS);
  EXPECT_EQ(setup->LoadCount("ntdll.dll"), 0);  // loaded and freed each time
}

TEST(MultiSzToText, JoinsTheStringsAndNeverLooksAtTheLastCharacter) {
  const std::pair<std::string, const char*> cases[] = {
      {std::string("A\0B\0\0", 5), "A;B"},
      {std::string("\0", 1), ""},
      {"", ""},
      {std::string("AB", 2), "A"},  // the last character is not looked at
      {std::string("A\0\0B\0\0", 6), "A;;B"},
  };
  for (const auto& [buffer, expected] : cases) {
    EXPECT_EQ(MultiSzToText(buffer.data(), buffer.size(), ";"), expected) << buffer.size();
  }
}

}  // namespace
}  // namespace veldoran::ports
