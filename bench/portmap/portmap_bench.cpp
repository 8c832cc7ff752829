// Measures, on a fake sysfs with N USB adapters and on this machine's /sys and /dev (with a
// private map folder):
//   survey: one look at sysfs and the map (PortMap::List), once the numbers are given;
//   serialcomm: opening and walking HKLM\HARDWARE\DEVICEMAP\SERIALCOMM as port enumeration does;
//   scan: a device scan of the Ports class as the full enumeration modes run it (per device five
//         properties, the hardware key, its name through ZwQueryKey and two values).
// Each figure is the median of 21 runs. Usage: portmap_bench [adapters...] (default 1 8 32)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "platform/posix/posix_device_setup.h"

using namespace veldoran;
using Clock = std::chrono::steady_clock;

namespace {

double MedianMs(const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < 21; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

int WalkSerialComm(win::RegistryApi& reg) {
  win::HKEY key = nullptr;
  if (reg.RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                        win::KEY_QUERY_VALUE, &key) != 0)
    return 0;
  int count = 0;
  for (win::DWORD i = 0;; ++i, ++count) {
    char name[260];
    win::BYTE data[260];
    win::DWORD name_size = 260, data_size = 260;
    if (reg.RegEnumValueA(key, i, name, &name_size, nullptr, data, &data_size) != 0) break;
  }
  reg.RegCloseKey(key);
  return count;
}

int Scan(win::PosixDeviceSetup& setup, win::PosixRegistry& reg) {
  win::HDEVINFO set =
      setup.SetupDiGetClassDevsA(&win::devnodes::kPortsClass, nullptr, nullptr, win::DIGCF_PRESENT);
  win::SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = sizeof devinfo;
  int count = 0;
  for (win::DWORD i = 0; setup.SetupDiEnumDeviceInfo(set, i, &devinfo); ++i, ++count) {
    win::BYTE buffer[512];
    win::DWORD size = 0;
    for (win::DWORD p :
         {win::SPDRP_DRIVER, win::SPDRP_SERVICE, win::SPDRP_PHYSICAL_DEVICE_OBJECT_NAME,
          win::SPDRP_DEVICEDESC, win::SPDRP_MFG})
      setup.SetupDiGetDeviceRegistryPropertyA(set, &devinfo, p, nullptr, buffer, 512, &size);
    win::HKEY key = setup.SetupDiOpenDevRegKey(set, &devinfo, win::DICS_FLAG_GLOBAL, 0,
                                               win::DIREG_DEV, win::KEY_QUERY_VALUE);
    if (key == reinterpret_cast<win::HKEY>(win::InvalidHandle())) continue;
    win::ULONG length = 0;
    setup.ZwQueryKey(key, win::KeyNameInformation, nullptr, 0, &length);
    std::vector<char> name(length + 2);
    setup.ZwQueryKey(key, win::KeyNameInformation, name.data(), length, &length);
    const std::string path = *reg.KernelName(key);
    reg.RegCloseKey(key);
    for (const char* value : {"SymbolicName", "PortName"}) {
      win::HKEY k = nullptr;
      if (reg.RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, path.substr(18).c_str(), 0, win::KEY_READ,
                            &k) == 0) {
        size = sizeof buffer;
        reg.RegQueryValueExA(k, value, nullptr, buffer, &size);
        reg.RegCloseKey(k);
      }
    }
  }
  setup.SetupDiDestroyDeviceInfoList(set);
  return count;
}

void Measure(const char* label, const portmap::PortMapRoots& roots, const std::string& file) {
  const portmap::PortMap map(roots);
  const std::size_t ports = map.List().size();  // gives the numbers first
  auto reg = std::make_shared<win::PosixRegistry>(roots, file);
  win::PosixDeviceSetup setup(reg);
  win::HMODULE module = setup.LoadLibraryA("SetupAPI.dll");
  for (const char* name :
       {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo", "SetupDiGetDeviceRegistryPropertyA",
        "SetupDiOpenDevRegKey", "SetupDiDestroyDeviceInfoList"})
    setup.GetProcAddress(module, name);
  setup.GetProcAddress(setup.LoadLibraryA("ntdll.dll"), "ZwQueryKey");
  int listed = 0, scanned = 0;
  const double survey = MedianMs([&] { map.List(); });
  const double walk = MedianMs([&] { listed = WalkSerialComm(*reg); });
  const double scan = MedianMs([&] { scanned = Scan(setup, *reg); });
  std::printf(
      "%-22s ports %3zu (present %3d, scanned %3d)  survey %7.3f ms  serialcomm %7.3f ms  "
      "scan %8.3f ms\n",
      label, ports, listed, scanned, survey, walk, scan);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 8, 32};
  for (int n : counts) {
    testing::FakeSysfs tree;
    tree.AddTtyS(0, 4);
    for (int k = 1; k < 32; ++k) tree.AddTtyS(k, 0);  // the 8250 driver's phantoms
    for (int i = 0; i < n; ++i) {
      testing::UsbSpec s = testing::Ftdi();
      s.tty = "ttyUSB";
      s.tty += std::to_string(i);
      s.port = std::to_string(i + 1);
      s.serial = std::to_string(10000 + i);
      s.by_id = "usb-FTDI_FT232R_USB_UART_" + s.serial;
      tree.Plug(s);
    }
    const std::string label = "fake, " + std::to_string(n) + " adapters";
    Measure(label.c_str(), tree.Roots(), (tree.Root() / "registry.reg").string());
  }
  testing::FakeSysfs scratch;  // only for its private map folder
  Measure("this machine", {"/sys", "/dev", scratch.Map()},
          (scratch.Root() / "registry.reg").string());
  return 0;
}
