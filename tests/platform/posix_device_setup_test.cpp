#include "platform/posix/posix_device_setup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "fake_sysfs.h"

namespace veldoran::win {
namespace {

using testing::FakeSysfs;

const HKEY kNoKey = reinterpret_cast<HKEY>(InvalidHandle());

// What the device scan reads of one device.
struct Record {
  std::string driver, service, description, manufacturer;
  std::string registry_key, symbolic_name, pnp_port_name, instance_id;
};

class PosixDeviceSetupTest : public ::testing::Test {
 protected:
  // Every entry point of both modules, looked up as the scan does.
  bool Load() {
    HMODULE setupapi = setup_.LoadLibraryA("SetupAPI.dll");
    std::istringstream names(
        "SetupDiGetClassDevsA SetupDiDestroyDeviceInfoList SetupDiEnumDeviceInfo "
        "SetupDiGetDeviceRegistryPropertyA SetupDiOpenDevRegKey SetupDiEnumDeviceInterfaces "
        "SetupDiGetDeviceInterfaceDetailA SetupDiCreateDeviceInfoList SetupDiCreateDeviceInfoA "
        "SetupDiGetINFClassA SetupDiSetDeviceRegistryPropertyA SetupDiCallClassInstaller "
        "SetupDiGetDeviceInstanceIdA SetupDiRemoveDevice SetupDiUnremoveDevice "
        "SetupDiOpenDeviceInfoA CM_Locate_DevNodeA CM_Get_DevNode_Registry_PropertyA "
        "CM_Get_Parent CM_Get_Device_ID_List_SizeA CM_Get_Device_ID_ListA CM_Get_Child "
        "CM_Get_Sibling CM_Request_Device_EjectA");
    bool all = setupapi != nullptr;
    for (std::string name; names >> name;)
      all = all && setup_.GetProcAddress(setupapi, name.c_str());
    return all;
  }

  std::string Property(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD property) {
    BYTE buffer[512];
    DWORD size = 0;
    if (!setup_.SetupDiGetDeviceRegistryPropertyA(set, devinfo, property, nullptr, buffer, 512,
                                                  &size))
      return {};
    return std::string(reinterpret_cast<char*>(buffer), size - 1);
  }

  // The key's path below HKEY_LOCAL_MACHINE, from its kernel name.
  std::string KeyPath(HKEY key) {
    HMODULE ntdll = setup_.LoadLibraryA("ntdll.dll");
    setup_.GetProcAddress(ntdll, "ZwQueryKey");
    ULONG length = 0;
    EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, nullptr, 0, &length),
              STATUS_BUFFER_TOO_SMALL);
    std::vector<char> block(length + 2, '\0');
    EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, block.data(), length, &length),
              STATUS_SUCCESS);
    setup_.FreeLibrary(ntdll);
    std::string name;
    for (ULONG i = 4; i < length; i += 2) name += block[i];
    EXPECT_EQ(name.rfind("\\REGISTRY\\MACHINE\\", 0), 0u) << name;
    return name.substr(18);
  }

  std::string ReadRegString(const std::string& path, const char* value) {
    HKEY key = nullptr;
    if (registry_->RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != 0)
      return {};
    DWORD size = 0;
    std::string data;
    if (registry_->RegQueryValueExA(key, value, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      data.resize(size);
      registry_->RegQueryValueExA(key, value, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    }
    registry_->RegCloseKey(key);
    if (!data.empty() && data.back() == '\0') data.pop_back();
    return data;
  }

  // A device scan of one setup class, call for call as port discovery makes it.
  std::vector<Record> ScanClass(const GUID& guid, bool present_only) {
    std::vector<Record> out;
    HDEVINFO set =
        setup_.SetupDiGetClassDevsA(&guid, nullptr, nullptr, present_only ? DIGCF_PRESENT : 0);
    if (set == InvalidHandle()) return out;
    SP_DEVINFO_DATA devinfo{};
    devinfo.cbSize = sizeof devinfo;
    for (DWORD i = 0; setup_.SetupDiEnumDeviceInfo(set, i, &devinfo); ++i) {
      Record r;
      r.driver = Property(set, &devinfo, SPDRP_DRIVER);
      r.service = Property(set, &devinfo, SPDRP_SERVICE);
      r.description = Property(set, &devinfo, SPDRP_DEVICEDESC);
      r.manufacturer = Property(set, &devinfo, SPDRP_MFG);
      HKEY key = setup_.SetupDiOpenDevRegKey(set, &devinfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                             KEY_QUERY_VALUE);
      if (key != kNoKey) {
        r.registry_key = KeyPath(key);
        registry_->RegCloseKey(key);
        r.symbolic_name = ReadRegString(r.registry_key, "SymbolicName");
        r.pnp_port_name = ReadRegString(r.registry_key, "PortName");
      }
      char id[256];
      DWORD required = 0;
      if (setup_.SetupDiGetDeviceInstanceIdA(set, &devinfo, id, 256, &required) && required > 0)
        r.instance_id.assign(id, required - 1);
      out.push_back(std::move(r));
    }
    EXPECT_TRUE(setup_.SetupDiDestroyDeviceInfoList(set));
    return out;
  }

  FakeSysfs tree_;
  std::shared_ptr<PosixRegistry> registry_ =
      std::make_shared<PosixRegistry>(tree_.Roots(), tree_.Root() / "registry.reg");
  PosixDeviceSetup setup_{registry_};
};

TEST_F(PosixDeviceSetupTest, TheScanFindsThePortsWithTheirNamesAndDescriptions) {
  tree_.AddTtyS(0, 4);
  tree_.AddTtyS(1, 0);
  tree_.Plug(testing::Ftdi());
  portmap::PortMap(tree_.Roots()).List();  // seen first: COM3
  tree_.Plug(testing::Acm());
  EXPECT_TRUE(ScanClass(devnodes::kPortsClass, true).empty()) << "entry points not looked up";
  EXPECT_EQ(setup_.GetLastError(), ERROR_PROC_NOT_FOUND);
  ASSERT_TRUE(Load());
  const auto records = ScanClass(devnodes::kPortsClass, true);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].pnp_port_name, "COM1");
  EXPECT_EQ(records[0].description, "serial");  // no strings: the driver's name
  EXPECT_EQ(records[0].instance_id, "PNP\\PNP0501\\TTYS0");

  const Record& usb = records[1];  // the port list shows "COM3 (FT232R USB UART)"
  EXPECT_EQ(usb.pnp_port_name, "COM3");
  EXPECT_EQ(usb.description, "FT232R USB UART");
  EXPECT_EQ(usb.manufacturer, "FTDI");
  EXPECT_EQ(usb.service, "ftdi_sio");
  EXPECT_EQ(usb.driver, "{4d36e978-e325-11ce-bfc1-08002be10318}\\0001");
  EXPECT_EQ(usb.instance_id, "USB\\VID_0403&PID_6001\\A12345");
  EXPECT_EQ(usb.registry_key,
            "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_6001\\A12345\\Device Parameters");
  EXPECT_EQ(usb.symbolic_name,
            "\\??\\USB#VID_0403&PID_6001#A12345#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  // Device-ID lists: a port has no bus relations (a list of its closing NUL alone).
  ULONG length = 0;
  EXPECT_EQ(setup_.CM_Get_Device_ID_List_SizeA(&length, usb.instance_id.c_str(),
                                               CM_GETIDLIST_FILTER_BUSRELATIONS),
            CR_SUCCESS);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(records[2].pnp_port_name, "COM4");
  EXPECT_EQ(records[2].service, "cdc_acm");
  EXPECT_EQ(records[2].instance_id, "USB\\VID_2341&PID_0043\\1-2") << "no serial: bus place";

  // Interfaces: one per port, of the COM-port class only (not of the serial enumerator's).
  for (const GUID* guid : {&devnodes::kPortsClass, &devnodes::kComPortInterface}) {
    HDEVINFO set = setup_.SetupDiGetClassDevsA(guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA ifdata{};
    ifdata.cbSize = sizeof ifdata;
    const bool ports = guid == &devnodes::kComPortInterface;
    ASSERT_EQ(setup_.SetupDiEnumDeviceInterfaces(set, nullptr, guid, 1, &ifdata), ports);
    if (ports) {
      DWORD required = 0;
      EXPECT_FALSE(
          setup_.SetupDiGetDeviceInterfaceDetailA(set, &ifdata, nullptr, 0, &required, nullptr));
      EXPECT_EQ(setup_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      std::vector<char> block(required, '\0');
      std::memcpy(block.data(), &kInterfaceDetailDataSize, 4);
      ASSERT_TRUE(setup_.SetupDiGetDeviceInterfaceDetailA(set, &ifdata, block.data(), required,
                                                          nullptr, nullptr));
      EXPECT_STREQ(block.data() + kInterfaceDetailPathOffset,
                   "\\\\?\\usb#vid_0403&pid_6001#a12345#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    }
    setup_.SetupDiDestroyDeviceInfoList(set);
  }

  // Unplugged, the adapter is installed but not present: its old number, no strings.
  tree_.Unplug(testing::Ftdi());
  EXPECT_EQ(ScanClass(devnodes::kPortsClass, true).size(), 2u);
  const auto all = ScanClass(devnodes::kPortsClass, false);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].pnp_port_name, "COM3");
  EXPECT_EQ(all[1].description, "");
  EXPECT_EQ(registry_->OpenKeys(), 0);
  EXPECT_EQ(setup_.OpenSets(), 0);
}

TEST_F(PosixDeviceSetupTest, BuffersAndStructuresFollowTheWin32Contracts) {
  tree_.AddTtyS(0, 4);
  ASSERT_TRUE(Load());
  HDEVINFO set = setup_.SetupDiGetClassDevsA(&devnodes::kPortsClass, nullptr, nullptr, 0);
  SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = sizeof(void*) == 8 ? 28 : 32;  // the other platform's size
  EXPECT_FALSE(setup_.SetupDiEnumDeviceInfo(set, 0, &devinfo));
  EXPECT_EQ(setup_.GetLastError(), PosixDeviceSetup::kErrorInvalidUserBuffer);
  devinfo.cbSize = sizeof devinfo;
  EXPECT_FALSE(setup_.SetupDiEnumDeviceInfo(set, 1, &devinfo));
  EXPECT_EQ(setup_.GetLastError(), ERROR_NO_MORE_ITEMS);
  ASSERT_TRUE(setup_.SetupDiEnumDeviceInfo(set, 0, &devinfo));

  // The size first; a buffer one byte short is refused with the size needed.
  DWORD size = 0, type = 0;
  BYTE text[64];
  EXPECT_FALSE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_FRIENDLYNAME, &type,
                                                        nullptr, 0, &size));
  EXPECT_EQ(setup_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, sizeof "serial (COM1)");
  EXPECT_FALSE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_FRIENDLYNAME, &type,
                                                        text, size - 1, &size));
  ASSERT_TRUE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_FRIENDLYNAME, &type,
                                                       text, size, &size));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "serial (COM1)");
  EXPECT_FALSE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_MFG, &type, text,
                                                        sizeof text, &size));
  EXPECT_EQ(setup_.GetLastError(), ERROR_INVALID_DATA) << "a port without a maker";
  // ZwQueryKey flags a name cut short and refuses a closed key.
  HKEY key = setup_.SetupDiOpenDevRegKey(set, &devinfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ASSERT_NE(key, kNoKey);
  setup_.GetProcAddress(setup_.LoadLibraryA("ntdll.dll"), "ZwQueryKey");
  char small[10];
  ULONG length = 0;
  EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, small, sizeof small, &length),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, 4 + 2 * std::strlen("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\"
                                        "PNP\\PNP0501\\TTYS0\\Device Parameters"));
  EXPECT_EQ(std::string(small + 4, 6), std::string("\\\0R\0E\0", 6));
  registry_->RegCloseKey(key);
  EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, small, sizeof small, &length),
            STATUS_INVALID_HANDLE);
  EXPECT_TRUE(setup_.SetupDiDestroyDeviceInfoList(set));
}

}  // namespace
}  // namespace veldoran::win
