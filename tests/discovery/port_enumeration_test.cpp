// Port enumeration against the in-memory registry's serial-port map and the recording
// device-setup fake: the order of the ports, which map values are listed, and the merge with
// the device scan in the three modes.
#include "discovery/port_enumeration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/fake/fake_device_setup.h"
#include "platform/memory_registry.h"

namespace veldoran::discovery {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using win::HKEY_LOCAL_MACHINE;

class PortEnumerationTest : public ::testing::Test {
 protected:
  PortEnumerationTest() { setup->InstallModules(); }

  // The serial-port map: (kernel device name, data), data stored with its NUL.
  void Map(const std::vector<std::pair<std::string, std::string>>& values) {
    std::vector<win::MemoryRegistry::Value> stored;
    for (const auto& [name, data] : values) {
      stored.push_back({name, win::REG_SZ, win::SzBytes(data)});
    }
    registry->ReplaceValues(HKEY_LOCAL_MACHINE, kSerialCommKey, std::move(stored));
  }

  // A device whose hardware key names `port`.
  void AddPortDevice(const std::string& port, const std::string& description, bool present = true,
                     const win::GUID& setup_class = kPortsClass) {
    const std::string key =
        "SYSTEM\\Enum\\Dev" + std::to_string(++devices_) + "\\Device Parameters";
    registry->PutString(HKEY_LOCAL_MACHINE, key, "PortName", port);
    win::FakeDevice device;
    device.setup_class = setup_class;
    device.present = present;
    device.hardware_key = key;
    device.properties = {{win::SPDRP_DEVICEDESC, win::SzBytes(description)},
                         {win::SPDRP_SERVICE, win::SzBytes("Serial" + std::to_string(devices_))},
                         {win::SPDRP_DRIVER, win::SzBytes("drv" + std::to_string(devices_))},
                         {win::SPDRP_MFG, win::SzBytes("Maker")},
                         {win::SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, win::SzBytes("\\Device\\PDO")}};
    device.instance_id = "ROOT\\PORTS\\" + std::to_string(devices_);
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

  std::vector<std::unique_ptr<TspDevice>> Enumerate(TspEnumPorts mode) {
    DeviceScan scan{setup, registry};
    return EnumeratePorts(mode, *registry, scan);
  }

  static std::vector<std::string> Captions(const std::vector<std::unique_ptr<TspDevice>>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r->Caption);
    return out;
  }

  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  const std::shared_ptr<win::FakeDeviceSetup> setup =
      std::make_shared<win::FakeDeviceSetup>(registry);
  int devices_ = 0;
};

// ---- the serial-port map ----

TEST_F(PortEnumerationTest, MapIsListedInNumberOrderUpperCasedFirstValueWinning) {
  Map({{"\\Device\\Serial9", "COM10"},
       {"\\Device\\Serial1", "COM2"},
       {"\\Device\\Serial0", "COM1"},
       {"\\Device\\VCP0", "com5"},
       {"\\Device\\First", "COM3"},
       {"\\Device\\Second", "COM3"},
       {"\\Device\\com0com10", "CNCA0"}});
  EXPECT_THAT(Ports(), ElementsAre("COM1 \\Device\\Serial0 1", "COM2 \\Device\\Serial1 2",
                                   "COM3 \\Device\\First 3", "COM5 \\Device\\VCP0 5",
                                   "COM10 \\Device\\Serial9 10"));
  // Each value read with fresh 260-character buffers, up to the first call that fails.
  const std::string key = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
  const std::vector<std::string> calls = registry->Calls();
  ASSERT_EQ(calls.size(), 10u);
  EXPECT_EQ(calls.front(), "RegOpenKeyExA " + key + " sam=0x1");
  for (int i = 0; i <= 7; ++i) {
    EXPECT_EQ(calls[static_cast<std::size_t>(i + 1)],
              "RegEnumValueA " + key + " index=" + std::to_string(i) + " name=260 data=260");
  }
  EXPECT_EQ(calls.back(), "RegCloseKey " + key);
}

TEST_F(PortEnumerationTest, ValuesThatNameNoUsablePortArePassedOverAndTheRestListed) {
  // A COM name whose number is not a number (or no port number) used to end the whole walk,
  // leaving the window without any port; so did a value too long for the buffers.
  Map({{"\\Device\\Serial0", "COM1"},
       {"\\Device\\Bad", "COMX"},
       {"\\Device\\Blank", "COM"},
       {"\\Device\\Zero", "COM0"},
       {"\\Device\\Negative", "COM-4"},
       {"\\Device\\Huge", "COM70000"},
       {"\\Device\\Tail", "COM3 "},
       {std::string(300, 'n'), "COM8"},
       {"\\Device\\Long", std::string("COM9") + std::string(300, '0')},
       {"\\Device\\VCP1", "COM6"}});
  registry->PutValue(HKEY_LOCAL_MACHINE, kSerialCommKey, "\\Device\\NoNul", win::REG_SZ, "COM4");
  EXPECT_THAT(Ports(), ElementsAre("COM1 \\Device\\Serial0 1", "COM4 \\Device\\NoNul 4",
                                   "COM6 \\Device\\VCP1 6"));
  EXPECT_EQ(PortNumberOf("COM65535"), 65535);
  EXPECT_EQ(PortNumberOf("COM+7"), 7);
}

TEST_F(PortEnumerationTest, WithoutTheMapOrWhenItCannotBeReadTheListIsEmpty) {
  EXPECT_THAT(Ports(), IsEmpty());
  EXPECT_EQ(registry->OpenKeys(), 0);
  Map({{"\\Device\\Serial0", "COM1"}});
  registry->FailCalls("RegEnumValueA", win::ERROR_ACCESS_DENIED, -1);
  EXPECT_THAT(Ports(), IsEmpty());
  EXPECT_EQ(registry->OpenKeys(), 0);
  EXPECT_THAT(Enumerate(epFullInfo), IsEmpty());
}

TEST(AddPortSorted, InsertsBeforeTheFirstGreaterNumberAndSkipsAnEqualEntry) {
  TspPortList list;
  AddPortSorted(list, {"COM5", "\\Device\\A", 5});
  AddPortSorted(list, {"COM2", "\\Device\\B", 2});
  AddPortSorted(list, {"COM5", "\\Device\\C", 5});  // after the COM5 already listed
  AddPortSorted(list, {"COM9", "\\Device\\D", 9});
  AddPortSorted(list, {"com2", "\\DEVICE\\b", 2});  // equal, without regard to case
  AddPortSorted(list, {"COM1", "\\Device\\E", 1});
  std::vector<std::string> listed;
  for (const TspPortEntry& e : list) listed.push_back(e.PortName + e.DeviceName);
  EXPECT_THAT(listed, ElementsAre("COM1\\Device\\E", "COM2\\Device\\B", "COM5\\Device\\A",
                                  "COM5\\Device\\C", "COM9\\Device\\D"));
}

// ---- the three modes ----

TEST_F(PortEnumerationTest, QuickModeListsTheBarePortNamesWithoutAnyScan) {
  Map({{"\\Device\\Serial2", "COM3"}, {"\\Device\\Serial0", "COM1"}});
  AddPortDevice("COM3", "USB Serial Port");
  const auto records = Enumerate(epQuickAll);
  EXPECT_THAT(Captions(records), ElementsAre("COM1", "COM3"));
  EXPECT_EQ(records[1]->PortName, "COM3");
  EXPECT_EQ(records[1]->DeviceName, "\\Device\\Serial2");
  EXPECT_EQ(records[1]->PortNo, 3);
  EXPECT_EQ(records[1]->Description, "");
  EXPECT_THAT(setup->Calls(), IsEmpty());
}

TEST_F(PortEnumerationTest, FullInfoScansTwelveClassesAndDescribesTheMatchedPorts) {
  Map({{"\\Device\\Serial0", "COM1"}, {"\\Device\\Serial1", "COM2"}, {"\\Device\\VCP0", "COM3"}});
  AddPortDevice("COM1", "");                        // matched, no description
  AddPortDevice("com3", "USB Serial Port", false);  // matched without regard to case
  AddPortDevice("COM3", "Second device of COM3", true, kModemClass);  // COM3 is matched once
  AddPortDevice("COM7", "Not in the map");

  const auto records = Enumerate(epFullInfo);
  EXPECT_THAT(Captions(records), ElementsAre("COM1", "COM2", "COM3 (USB Serial Port)"));
  const TspDevice& com3 = *records[2];
  EXPECT_EQ(com3.Description, "USB Serial Port");
  EXPECT_EQ(com3.Service, "Serial2");
  EXPECT_EQ(com3.Driver, "drv2");
  EXPECT_EQ(com3.Manufacturer, "Maker");
  EXPECT_EQ(com3.PnPPortName, "com3");
  EXPECT_EQ(com3.RegistryKey, "SYSTEM\\Enum\\Dev2\\Device Parameters");
  // What the map says stays; what only a scan record has is not copied.
  EXPECT_EQ(com3.DeviceName, "\\Device\\VCP0");
  EXPECT_EQ(com3.InstanceId, "");
  EXPECT_EQ(com3.SymbolicName, "");
  EXPECT_EQ(com3.DevInst, 0u);
  EXPECT_EQ(records[0]->Service, "Serial1");
  EXPECT_EQ(records[1]->Service, "");  // no device found: the bare name

  EXPECT_THAT(
      setup->CallsOf("SetupDiGetClassDevsA"),
      ElementsAre(
          "SetupDiGetClassDevsA {2C7089AA-2E0E-11D1-B114-00C04FC2AAE4} enumerator=- parent=- "
          "flags=0x10",
          "SetupDiGetClassDevsA {86E0D1E0-8089-11D0-9CE4-08003E301F73} enumerator=- parent=- "
          "flags=0x10",
          "SetupDiGetClassDevsA {4D36E978-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
          "flags=0x10",
          "SetupDiGetClassDevsA {4D36E978-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {6BDD1FC5-810F-11D0-BEC7-08002BE2092F} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {4D36E964-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {E0CBF06C-CD8B-4647-BB8A-263B43F0F974} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {4D36E96D-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {4D36E971-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {50906CB8-BA12-11D1-BF5D-0000F805F530} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {8ECC055D-047F-11D1-A537-0000F8753ED1} enumerator=- parent=- "
          "flags=0x0",
          "SetupDiGetClassDevsA {4D36E976-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- "
          "flags=0x0"));
  // The scan (of the registry) comes before the walk of the map.
  const std::vector<std::string> calls = registry->Calls();
  EXPECT_EQ(calls[calls.size() - 6],
            "RegOpenKeyExA HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM sam=0x1");
  EXPECT_EQ(setup->OpenSets(), 0);
}

TEST_F(PortEnumerationTest, FullPresentLeavesOutPortsWithoutAPresentDevice) {
  Map({{"\\Device\\Serial0", "COM1"}, {"\\Device\\Serial1", "COM2"}, {"\\Device\\VCP0", "COM3"}});
  AddPortDevice("COM1", "Communications Port");
  AddPortDevice("COM2", "Unplugged adapter", /*present=*/false);
  AddPortDevice("COM3", "USB Serial Port");
  EXPECT_THAT(Captions(Enumerate(epFullPresent)),
              ElementsAre("COM1 (Communications Port)", "COM3 (USB Serial Port)"));
  for (const std::string& call : setup->CallsOf("SetupDiGetClassDevsA")) {
    EXPECT_THAT(call, ::testing::AnyOf(::testing::EndsWith("flags=0x2"),
                                       ::testing::EndsWith("flags=0x12")));
  }
  // Every port is listed in the full modes when the scan cannot run at all.
  const auto fresh = std::make_shared<win::FakeDeviceSetup>(registry);
  DeviceScan none{fresh, registry};
  EXPECT_THAT(Captions(EnumeratePorts(epFullPresent, *registry, none)),
              ElementsAre("COM1", "COM2", "COM3"));
}

}  // namespace
}  // namespace veldoran::discovery
