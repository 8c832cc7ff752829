// The system registry on POSIX systems.
//
// Keys live in a small file beside the port map, $XDG_CONFIG_HOME/veldoran/registry.reg, in the
// REGEDIT4 text form of reg_file.h. The file is read when the registry is first used and read
// again whenever another program has replaced it (checked at each call), and every change is
// written at once, atomically (the whole file is replaced, never left half-written). While one
// program changes it, others wait for a lock file beside it (registry.reg.lock), so no change
// is lost between two programs.
//
// Two parts are synthesized, never stored:
// - HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, from the port map each time it is opened:
//   one REG_SZ value per present port, named by the device path, holding "COM<n>" with its NUL;
// - HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\<instance id>, the keys of the serial
//   devices (device_nodes.h): DeviceDesc, Mfg, Service, Driver, FriendlyName, HardwareID, and
//   below it "Device Parameters" with PortName and SymbolicName. They are made anew whenever the
//   device-setup backend lists devices, and when a key is opened there that does not exist.
// They are read-only: setting a value or creating a key there is ERROR_ACCESS_DENIED.
//
// Errors, as codes the caller reports: a file that cannot be read is ERROR_CANTREAD, a damaged
// one ERROR_REGISTRY_CORRUPT, for every key of the file (opening, creating, setting) until the
// file is repaired or removed; such a file is never overwritten. A change that cannot be written
// (a read-only folder, a full disk) is ERROR_CANTWRITE and is undone: the registry holds what the
// file holds. StoreError() tells a person why.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/memory_registry.h"
#include "platform/posix/device_nodes.h"
#include "platform/posix/port_map.h"

namespace veldoran::win {

class PosixRegistry : public MemoryRegistry {
 public:
  // Follows the environment: the default port map roots, and the file beside the map folder,
  // both looked up again at each call.
  PosixRegistry();
  // Fixed roots and file (for tests).
  PosixRegistry(portmap::PortMapRoots roots, std::filesystem::path file);
  ~PosixRegistry() override;

  LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                        HKEY* result) override;
  LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                          HKEY* result, DWORD* disposition) override;
  LSTATUS RegEnumValueA(HKEY key, DWORD index, char* value_name, DWORD* value_name_chars,
                        DWORD* type, BYTE* data, DWORD* data_bytes) override;
  LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD* type, BYTE* data,
                           DWORD* data_bytes) override;
  LSTATUS RegSetValueExA(HKEY key, const char* value_name, DWORD type, const BYTE* data,
                         DWORD data_bytes) override;
  LSTATUS RegCloseKey(HKEY key) override;

  portmap::PortMapRoots Roots() const;
  std::filesystem::path FilePath() const;
  // Why the file could not be read or written the last time, for a person; empty when it
  // could.
  std::string StoreError() const;

  // Makes the device keys anew from `nodes` (the device-setup backend's listing).
  void RefreshDeviceKeys(const std::vector<devnodes::DeviceNode>& nodes);

  static constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

 protected:
  LSTATUS BeforeOpen(HKEY hive, const std::string& path, bool create) override;
  LSTATUS BeforeChange(HKEY hive, const std::string& path) override;
  LSTATUS AfterChange() override;

 private:
  enum class Area { kStored, kSerialComm, kEnum };
  struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtime_ns = 0;
    bool operator==(const Stamp&) const = default;
  };
  class FileLock;

  static Area AreaOf(HKEY hive, const std::string& path);
  // Above SERIALCOMM or the Enum key (HKLM\HARDWARE, HKLM\SYSTEM\CurrentControlSet, ...).
  static bool AboveSynthesized(HKEY hive, const std::string& path);
  void SynthesizeSerialComm();
  void WriteDeviceKeys(const std::vector<devnodes::DeviceNode>& nodes);
  // The following run with store_mutex_ held.
  LSTATUS Sync();  // reads the file again if it changed; the store's state
  LSTATUS Save();
  void Fail(LSTATUS status, std::string why);

  std::optional<portmap::PortMapRoots> roots_;
  std::optional<std::filesystem::path> file_;
  mutable std::mutex store_mutex_;
  std::optional<std::filesystem::path> loaded_path_;
  Stamp loaded_;
  LSTATUS state_ = ERROR_SUCCESS;
  std::string error_;
};

// The registry SystemRegistryApi() hands out, as what it is.
std::shared_ptr<PosixRegistry> SystemPosixRegistry();

}  // namespace veldoran::win
