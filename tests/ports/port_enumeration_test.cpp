// Port enumeration against the in-memory registry's serial-port map and the recording
// device-setup fake: the order of the ports, which map values are listed, and the merge with
// the device scan in the three modes.
#include "ports/port_enumeration.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fake/fake_device_setup.h"
#include "platform/memory_registry.h"

namespace veldoran::ports {
namespace {

using Strings = std::vector<std::string>;

using win::HKEY_LOCAL_MACHINE;

class PortEnumerationTest : public ::testing::Test {
 protected:
  PortEnumerationTest() { setup->InstallModules(); }

  // The serial-port map: (kernel device name, data), data stored with its NUL.
  void Map(const std::vector<std::pair<std::string, std::string>>& values) {
    std::vector<win::MemoryRegistry::Value> stored;
    for (const auto& [name, data] : values)
      stored.push_back({name, win::REG_SZ, win::SzBytes(data)});
    registry->ReplaceValues(HKEY_LOCAL_MACHINE, kSerialCommKey, std::move(stored));
  }

  // A device whose hardware key names `port`.
  void AddPortDevice(const std::string& port, const std::string& description, bool present = true,
                     const win::GUID& setup_class = kPortsClass) {
    const std::string n = std::to_string(++devices_);
    const std::string key = "SYSTEM\\Enum\\Dev" + n;
    registry->PutString(HKEY_LOCAL_MACHINE, key, "PortName", port);
    win::FakeDevice device;
    device.setup_class = setup_class;
    device.present = present;
    device.hardware_key = key;
    device.properties = {{win::SPDRP_DEVICEDESC, win::SzBytes(description)},
                         {win::SPDRP_SERVICE, win::SzBytes("Serial" + n)},
                         {win::SPDRP_DRIVER, win::SzBytes("drv" + n)},
                         {win::SPDRP_MFG, win::SzBytes("Maker")}};
    device.instance_id = "ROOT\\PORTS\\" + n;
    setup->AddDevice(device);
  }

  std::vector<std::string> Ports() {
    TspPortList list;
    EnumComPorts(*registry, list);
    std::vector<std::string> out;
    for (const TspPortEntry& e : list) {
      out.push_back(e.PortName + " " + e.DeviceName + " " + std::to_string(e.PortNo));
    }
    return out;
  }

  std::vector<std::string> Captions(TspEnumPorts mode) {
    DeviceScan scan{setup, registry};
    records_ = EnumeratePorts(mode, *registry, scan);
    std::vector<std::string> out;
    for (const auto& r : records_) out.push_back(r->Caption);
    return out;
  }

  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  const std::shared_ptr<win::FakeDeviceSetup> setup =
      std::make_shared<win::FakeDeviceSetup>(registry);
  std::vector<std::unique_ptr<TspDevice>> records_;
  int devices_ = 0;
};

TEST_F(PortEnumerationTest, MapIsListedInNumberOrderUpperCasedFirstValueWinning) {
  Map({{"\\Device\\Serial9", "COM10"},
       {"\\Device\\Serial1", "COM2"},
       {"\\Device\\Serial0", "COM1"},
       {"\\Device\\VCP0", "com5"},
       {"\\Device\\First", "COM3"},
       {"\\Device\\Second", "COM3"},
       {"\\Device\\com0com10", "CNCA0"}});
  EXPECT_EQ(Ports(), (Strings{"COM1 \\Device\\Serial0 1", "COM2 \\Device\\Serial1 2",
                              "COM3 \\Device\\First 3", "COM5 \\Device\\VCP0 5",
                              "COM10 \\Device\\Serial9 10"}));
  // Each value read with fresh 260-character buffers, up to the first call that fails.
  const std::string key = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
  const std::vector<std::string> calls = registry->Calls();
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_EQ(calls[0], "RegOpenKeyExA " + key + " sam=0x1");
  EXPECT_EQ(calls[8], "RegEnumValueA " + key + " index=7 name=260 data=260");
  EXPECT_EQ(calls[9], "RegCloseKey " + key);
}

TEST_F(PortEnumerationTest, ValuesThatNameNoUsablePortArePassedOverAndTheRestListed) {
  // Such a value used to end the whole walk, leaving the window without any port.
  Map({{"\\Device\\Serial0", "COM1"},
       {"\\Device\\Bad", "COMX"},
       {"\\Device\\Blank", "COM"},
       {"\\Device\\Zero", "COM0"},
       {"\\Device\\Negative", "COM-4"},
       {"\\Device\\Huge", "COM70000"},
       {"\\Device\\Tail", "COM3 "},
       {std::string(300, 'n'), "COM8"},                     // name too long
       {"\\Device\\Long", "COM9" + std::string(300, '0')},  // data too long
       {"\\Device\\VCP1", "COM6"}});
  registry->PutValue(HKEY_LOCAL_MACHINE, kSerialCommKey, "\\Device\\NoNul", win::REG_SZ, "COM4");
  EXPECT_EQ(Ports(), (Strings{"COM1 \\Device\\Serial0 1", "COM4 \\Device\\NoNul 4",
                              "COM6 \\Device\\VCP1 6"}));
  // Without the map, or when it cannot be read, nothing is listed.
  registry->FailCalls("RegEnumValueA", win::ERROR_ACCESS_DENIED, -1);
  EXPECT_TRUE(Ports().empty());
  registry->RemoveKey(HKEY_LOCAL_MACHINE, kSerialCommKey);
  EXPECT_TRUE(Ports().empty());
  EXPECT_EQ(registry->OpenKeys(), 0);
}

TEST(AddPortSorted, InsertsBeforeTheFirstGreaterNumberAndSkipsAnEqualEntry) {
  TspPortList list;
  AddPortSorted(list, {"COM5", "\\Device\\A", 5});
  AddPortSorted(list, {"COM2", "\\Device\\B", 2});
  AddPortSorted(list, {"COM5", "\\Device\\C", 5});  // after the COM5 already listed
  AddPortSorted(list, {"com2", "\\DEVICE\\b", 2});  // equal, without regard to case
  AddPortSorted(list, {"COM1", "\\Device\\E", 1});
  std::vector<std::string> listed;
  for (const TspPortEntry& e : list) listed.push_back(e.PortName + e.DeviceName);
  EXPECT_EQ(listed,
            (Strings{"COM1\\Device\\E", "COM2\\Device\\B", "COM5\\Device\\A", "COM5\\Device\\C"}));
}

TEST_F(PortEnumerationTest, QuickModeListsBareNamesAndFullInfoDescribesMatchedPorts) {
  Map({{"\\Device\\Serial0", "COM1"}, {"\\Device\\Serial1", "COM2"}, {"\\Device\\VCP0", "COM3"}});
  AddPortDevice("COM1", "");                                  // matched, no description
  AddPortDevice("com3", "USB Serial Port", false);            // matched without regard to case
  AddPortDevice("COM3", "Second device", true, kModemClass);  // COM3 is matched once only
  AddPortDevice("COM7", "Not in the map");

  EXPECT_EQ(Captions(epQuickAll), (Strings{"COM1", "COM2", "COM3"}));
  EXPECT_TRUE(setup->Calls().empty());

  EXPECT_EQ(Captions(epFullInfo), (Strings{"COM1", "COM2", "COM3 (USB Serial Port)"}));
  const TspDevice& com3 = *records_[2];
  EXPECT_EQ(com3.Service + "|" + com3.Driver + "|" + com3.Manufacturer + "|" + com3.PnPPortName +
                "|" + com3.RegistryKey,
            "Serial2|drv2|Maker|com3|SYSTEM\\Enum\\Dev2");
  // What the map says stays; what only a scan record has is not copied.
  EXPECT_EQ(com3.DeviceName, "\\Device\\VCP0");
  EXPECT_EQ(com3.InstanceId + com3.SymbolicName, "");
  EXPECT_EQ(records_[0]->Service, "Serial1");
  EXPECT_EQ(records_[1]->Service, "");  // no device found: the bare name

  // Twelve scans in order: three interface classes, then nine setup classes.
  const win::GUID* order[] = {&kModemInterfaceClass,
                              &kComPortInterfaceClass,
                              &kSerialEnumeratorInterfaceClass,
                              &kPortsClass,
                              &kInfraredClass,
                              &kAdapterClass,
                              &kBluetoothClass,
                              &kModemClass,
                              &kMultifunctionClass,
                              &kMultiportSerialClass,
                              &kLegacyDriverClass,
                              &kNoDriverClass};
  const std::vector<std::string> scans = setup->CallsOf("SetupDiGetClassDevsA");
  ASSERT_EQ(scans.size(), 12u);
  for (std::size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(scans[i], "SetupDiGetClassDevsA " + win::GuidText(*order[i]) +
                            " enumerator=- parent=- flags=" + (i < 3 ? "0x10" : "0x0"));
  }
  EXPECT_EQ(win::GuidText(kBluetoothClass), "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}");
  EXPECT_EQ(setup->OpenSets(), 0);
}

TEST_F(PortEnumerationTest, FullPresentLeavesOutPortsWithoutAPresentDevice) {
  Map({{"\\Device\\Serial0", "COM1"}, {"\\Device\\Serial1", "COM2"}, {"\\Device\\VCP0", "COM3"}});
  AddPortDevice("COM1", "Communications Port");
  AddPortDevice("COM2", "Unplugged adapter", /*present=*/false);
  AddPortDevice("COM3", "USB Serial Port");
  EXPECT_EQ(Captions(epFullPresent),
            (Strings{"COM1 (Communications Port)", "COM3 (USB Serial Port)"}));
  EXPECT_TRUE(
      std::string_view(setup->CallsOf("SetupDiGetClassDevsA").front()).ends_with("flags=0x12"))
      << setup->CallsOf("SetupDiGetClassDevsA").front();
  EXPECT_TRUE(
      std::string_view(setup->CallsOf("SetupDiGetClassDevsA").back()).ends_with("flags=0x2"))
      << setup->CallsOf("SetupDiGetClassDevsA").back();
  // When the scan cannot run at all, every port is listed.
  setup->RemoveModule("SetupAPI.dll");
  EXPECT_EQ(Captions(epFullPresent), (Strings{"COM1", "COM2", "COM3"}));
}

}  // namespace
}  // namespace veldoran::ports
