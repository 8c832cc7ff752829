#include "platform/posix/posix_device_setup.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fake_sysfs.h"

namespace veldoran::win {
namespace {

namespace fs = std::filesystem;
using testing::FakeSysfs;
using testing::UsbSpec;

constexpr GUID kModemInterface = {
    0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}};
constexpr GUID kModemClass = {
    0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

const UsbSpec kFtdi = testing::Ftdi();
const UsbSpec kAcm = testing::Acm();

// One scan record, read as the device scan reads it.
struct Record {
  std::string driver, service, device_name, description, manufacturer;
  std::string registry_key, symbolic_name, pnp_port_name, instance_id, children;
};

class PosixDeviceSetupTest : public ::testing::Test {
 protected:
  PosixDeviceSetupTest()
      : registry_(std::make_shared<PosixRegistry>(tree_.Roots(), tree_.Root() / "registry.reg")),
        setup_(registry_) {}

  bool Load() {
    HMODULE setupapi = setup_.LoadLibraryA("SetupAPI.dll");
    if (!setupapi) return false;
    for (const char* name : {"SetupDiGetClassDevsA",
                             "SetupDiDestroyDeviceInfoList",
                             "SetupDiEnumDeviceInfo",
                             "SetupDiGetDeviceRegistryPropertyA",
                             "SetupDiOpenDevRegKey",
                             "SetupDiEnumDeviceInterfaces",
                             "SetupDiGetDeviceInterfaceDetailA",
                             "SetupDiCreateDeviceInfoList",
                             "SetupDiCreateDeviceInfoA",
                             "SetupDiGetINFClassA",
                             "SetupDiSetDeviceRegistryPropertyA",
                             "SetupDiCallClassInstaller",
                             "SetupDiGetDeviceInstanceIdA",
                             "SetupDiRemoveDevice",
                             "SetupDiUnremoveDevice",
                             "SetupDiOpenDeviceInfoA",
                             "CM_Locate_DevNodeA",
                             "CM_Get_DevNode_Registry_PropertyA",
                             "CM_Get_Parent",
                             "CM_Get_Device_ID_List_SizeA",
                             "CM_Get_Device_ID_ListA",
                             "CM_Get_Child",
                             "CM_Get_Sibling",
                             "CM_Request_Device_EjectA"}) {
      if (!setup_.GetProcAddress(setupapi, name)) return false;
    }
    return true;
  }

  std::string Property(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD property) {
    BYTE buffer[512];
    DWORD size = 0;
    if (!setup_.SetupDiGetDeviceRegistryPropertyA(set, devinfo, property, nullptr, buffer, 512,
                                                  &size))
      return {};
    return std::string(reinterpret_cast<char*>(buffer), size - 1);
  }

  // The registry path of a key by its kernel name, through ntdll as the scan asks for it.
  std::string KeyPath(HKEY key) {
    HMODULE ntdll = setup_.LoadLibraryA("ntdll.dll");
    EXPECT_NE(setup_.GetProcAddress(ntdll, "ZwQueryKey"), nullptr);
    ULONG length = 0;
    EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, nullptr, 0, &length),
              STATUS_BUFFER_TOO_SMALL);
    std::vector<char> block(length + 2, '\0');
    EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, block.data(), length, &length),
              STATUS_SUCCESS);
    setup_.FreeLibrary(ntdll);
    ULONG bytes = 0;
    std::memcpy(&bytes, block.data(), 4);
    std::string name;
    for (ULONG i = 0; i < bytes / 2; ++i) name += block[4 + 2 * i];
    EXPECT_EQ(name.find("\\MACHINE\\"), 9u) << name;
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

  // A device scan of one setup class.
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
      r.device_name = Property(set, &devinfo, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
      r.description = Property(set, &devinfo, SPDRP_DEVICEDESC);
      r.manufacturer = Property(set, &devinfo, SPDRP_MFG);
      HKEY key = setup_.SetupDiOpenDevRegKey(set, &devinfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                             KEY_QUERY_VALUE);
      if (key != reinterpret_cast<HKEY>(InvalidHandle())) {
        r.registry_key = KeyPath(key);
        registry_->RegCloseKey(key);
        r.symbolic_name = ReadRegString(r.registry_key, "SymbolicName");
        r.pnp_port_name = ReadRegString(r.registry_key, "PortName");
      }
      char id[256];
      DWORD required = 0;
      if (setup_.SetupDiGetDeviceInstanceIdA(set, &devinfo, id, 256, &required) && required > 0) {
        r.instance_id.assign(id, required - 1);
        ULONG length = 0;
        if (setup_.CM_Get_Device_ID_List_SizeA(&length, r.instance_id.c_str(),
                                               CM_GETIDLIST_FILTER_BUSRELATIONS) == CR_SUCCESS &&
            length > 0) {
          std::vector<char> list(length);
          EXPECT_EQ(setup_.CM_Get_Device_ID_ListA(r.instance_id.c_str(), list.data(), length,
                                                  CM_GETIDLIST_FILTER_BUSRELATIONS),
                    CR_SUCCESS);
          for (ULONG k = 0; k + 1 < length; ++k) r.children += list[k] ? list[k] : ';';
        }
      }
      out.push_back(std::move(r));
    }
    EXPECT_TRUE(setup_.SetupDiDestroyDeviceInfoList(set));
    return out;
  }

  // The device paths of an interface scan.
  std::vector<std::string> ScanInterfaces(const GUID& guid) {
    std::vector<std::string> out;
    HDEVINFO set =
        setup_.SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == InvalidHandle()) return out;
    SP_DEVICE_INTERFACE_DATA ifdata{};
    ifdata.cbSize = sizeof ifdata;
    for (DWORD i = 0; setup_.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &ifdata); ++i) {
      SP_DEVINFO_DATA devinfo{};
      devinfo.cbSize = sizeof devinfo;
      DWORD required = 0;
      if (setup_.SetupDiGetDeviceInterfaceDetailA(set, &ifdata, nullptr, 0, &required, &devinfo) ||
          required == 0 || setup_.GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        continue;
      std::vector<char> block(required, '\0');
      const DWORD wrong = 5;  // the 32-bit structure size, which a 64-bit system refuses
      std::memcpy(block.data(), &wrong, 4);
      if (sizeof(void*) == 8) {
        EXPECT_FALSE(setup_.SetupDiGetDeviceInterfaceDetailA(set, &ifdata, block.data(), required,
                                                             &required, &devinfo));
      }
      std::memcpy(block.data(), &kInterfaceDetailDataSize, 4);
      if (setup_.SetupDiGetDeviceInterfaceDetailA(set, &ifdata, block.data(), required, &required,
                                                  &devinfo)) {
        out.emplace_back(block.data() + kInterfaceDetailPathOffset);
        EXPECT_EQ(Property(set, &devinfo, SPDRP_SERVICE).empty(), false);
      }
    }
    setup_.SetupDiDestroyDeviceInfoList(set);
    return out;
  }

  FakeSysfs tree_;
  std::shared_ptr<PosixRegistry> registry_;
  PosixDeviceSetup setup_;
};

TEST_F(PosixDeviceSetupTest, LoadsLikeTheLibrariesItStandsFor) {
  EXPECT_EQ(setup_.SetupDiGetClassDevsA(&devnodes::kPortsClass, nullptr, nullptr, 0),
            InvalidHandle());
  EXPECT_EQ(setup_.GetLastError(), ERROR_PROC_NOT_FOUND) << "not looked up yet";
  EXPECT_EQ(setup_.LoadLibraryA("foo.dll"), nullptr);
  EXPECT_EQ(setup_.GetLastError(), PosixDeviceSetup::kErrorModNotFound);
  ASSERT_TRUE(Load());
  EXPECT_NE(setup_.LoadLibraryA("cfgmgr32.dll"), nullptr);
  HMODULE setupapi = setup_.LoadLibraryA("setupapi");
  EXPECT_EQ(setup_.GetProcAddress(setupapi, "ZwQueryKey"), nullptr);
  EXPECT_EQ(setup_.GetLastError(), ERROR_PROC_NOT_FOUND);
  // Loaded twice, freed twice: the entry points are forgotten.
  EXPECT_TRUE(setup_.FreeLibrary(setupapi));
  EXPECT_NE(setup_.SetupDiGetClassDevsA(&devnodes::kPortsClass, nullptr, nullptr, 0),
            InvalidHandle());
  EXPECT_TRUE(setup_.FreeLibrary(setupapi));
  EXPECT_FALSE(setup_.FreeLibrary(setupapi));
  EXPECT_EQ(setup_.SetupDiGetClassDevsA(&devnodes::kPortsClass, nullptr, nullptr, 0),
            InvalidHandle());
}

TEST_F(PosixDeviceSetupTest, TheScanFindsThePortsWithTheirNamesAndDescriptions) {
  tree_.AddTtyS(0, 4);
  tree_.AddTtyS(1, 0);
  tree_.Plug(kFtdi);
  portmap::PortMap(tree_.Roots()).List();  // seen first: COM3
  tree_.Plug(kAcm);
  ASSERT_TRUE(Load());
  const auto records = ScanClass(devnodes::kPortsClass, true);
  ASSERT_EQ(records.size(), 3u);
  const Record& s0 = records[0];
  EXPECT_EQ(s0.pnp_port_name, "COM1");
  EXPECT_EQ(s0.service, "serial");
  EXPECT_EQ(s0.description, "serial");
  EXPECT_EQ(s0.instance_id, "PNP\\PNP0501\\TTYS0");

  const Record& usb = records[1];
  EXPECT_EQ(usb.pnp_port_name, "COM3");
  EXPECT_EQ(usb.description, "FT232R USB UART");  // the port list shows "COM3 (FT232R USB UART)"
  EXPECT_EQ(usb.manufacturer, "FTDI");
  EXPECT_EQ(usb.service, "ftdi_sio");
  EXPECT_EQ(usb.driver, "{4d36e978-e325-11ce-bfc1-08002be10318}\\0001");
  EXPECT_EQ(usb.device_name, (tree_.Dev() / "ttyUSB0").string());
  EXPECT_EQ(usb.instance_id, "USB\\VID_0403&PID_6001\\A12345");
  EXPECT_EQ(usb.registry_key,
            "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_6001\\A12345\\Device Parameters");
  EXPECT_EQ(usb.symbolic_name,
            "\\??\\USB#VID_0403&PID_6001#A12345#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(usb.children, "");

  const Record& acm = records[2];  // no strings: the driver's name, the place on the bus
  EXPECT_EQ(acm.pnp_port_name, "COM4");
  EXPECT_EQ(acm.description, "cdc_acm");
  EXPECT_EQ(acm.manufacturer, "");
  EXPECT_EQ(acm.instance_id, "USB\\VID_2341&PID_0043\\1-2");

  // Other classes are empty; interfaces only of the COM-port class.
  EXPECT_TRUE(ScanClass(kModemClass, false).empty());
  EXPECT_TRUE(ScanInterfaces(kModemInterface).empty());
  EXPECT_TRUE(ScanInterfaces(devnodes::kPortsClass).empty());
  const auto paths = ScanInterfaces(devnodes::kComPortInterface);
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[1], "\\\\?\\usb#vid_0403&pid_6001#a12345#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");

  // An adapter that is unplugged stays installed: listed without DIGCF_PRESENT, by its old
  // number, without its strings.
  tree_.Unplug(kFtdi);
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
  devinfo.cbSize = 28;  // the 32-bit size
  if (sizeof(void*) == 8) {
    EXPECT_FALSE(setup_.SetupDiEnumDeviceInfo(set, 0, &devinfo));
    EXPECT_EQ(setup_.GetLastError(), PosixDeviceSetup::kErrorInvalidUserBuffer);
  }
  devinfo.cbSize = sizeof devinfo;
  ASSERT_TRUE(setup_.SetupDiEnumDeviceInfo(set, 0, &devinfo));
  EXPECT_FALSE(setup_.SetupDiEnumDeviceInfo(set, 1, &devinfo));
  EXPECT_EQ(setup_.GetLastError(), ERROR_NO_MORE_ITEMS);
  ASSERT_TRUE(setup_.SetupDiEnumDeviceInfo(set, 0, &devinfo));

  // The size first, then the text; a buffer one byte short is refused with the size needed.
  DWORD size = 0, type = 0;
  EXPECT_FALSE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_FRIENDLYNAME, &type,
                                                        nullptr, 0, &size));
  EXPECT_EQ(setup_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, sizeof "serial (COM1)");
  std::vector<BYTE> text(size);
  EXPECT_FALSE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_FRIENDLYNAME, &type,
                                                        text.data(), size - 1, &size));
  ASSERT_TRUE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_FRIENDLYNAME, &type,
                                                       text.data(), size, &size));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_STREQ(reinterpret_cast<char*>(text.data()), "serial (COM1)");
  EXPECT_FALSE(setup_.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_MFG, &type,
                                                        text.data(), size, &size));
  EXPECT_EQ(setup_.GetLastError(), ERROR_INVALID_DATA) << "a port without a maker";

  char id[8];
  DWORD required = 0;
  EXPECT_FALSE(setup_.SetupDiGetDeviceInstanceIdA(set, &devinfo, id, sizeof id, &required));
  EXPECT_EQ(setup_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, sizeof "PNP\\PNP0501\\TTYS0");

  // Only the hardware key exists.
  EXPECT_EQ(setup_.SetupDiOpenDevRegKey(set, &devinfo, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
            reinterpret_cast<HKEY>(InvalidHandle()));
  EXPECT_EQ(setup_.GetLastError(), PosixDeviceSetup::kErrorKeyDoesNotExist);

  // ZwQueryKey: a name cut short is flagged, an unknown handle is refused.
  HKEY key = setup_.SetupDiOpenDevRegKey(set, &devinfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ASSERT_NE(key, reinterpret_cast<HKEY>(InvalidHandle()));
  HMODULE ntdll = setup_.LoadLibraryA("ntdll.dll");
  setup_.GetProcAddress(ntdll, "ZwQueryKey");
  char small[10];
  ULONG length = 0;
  EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, small, sizeof small, &length),
            STATUS_BUFFER_OVERFLOW);
  const std::string expected =
      "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PNP\\PNP0501\\TTYS0\\Device "
      "Parameters";
  EXPECT_EQ(length, 4 + 2 * expected.size());
  EXPECT_EQ(small[4], '\\');
  EXPECT_EQ(small[6], 'R');
  registry_->RegCloseKey(key);
  EXPECT_EQ(setup_.ZwQueryKey(key, KeyNameInformation, small, sizeof small, &length),
            STATUS_INVALID_HANDLE);
  EXPECT_TRUE(setup_.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(setup_.SetupDiEnumDeviceInfo(set, 0, &devinfo));
  EXPECT_EQ(setup_.GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace veldoran::win
