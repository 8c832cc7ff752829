// The recording device-setup interface: its configuration manager and ntdll entry points.
#include <cstdio>
#include <cstring>

#include "platform/cp1250.h"
#include "platform/fake/fake_device_setup.h"

namespace veldoran::win {
namespace {

constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

// ---- configuration manager ----

CONFIGRET FakeDeviceSetup::CM_Get_Device_ID_List_SizeA(ULONG* length, const char* filter,
                                                       ULONG flags) {
  std::lock_guard lock(mutex_);
  calls_.push_back("CM_Get_Device_ID_List_SizeA filter=" + Text(filter) + " flags=" + Hex(flags));
  DWORD error = 0;
  if (!Callable("CM_Get_Device_ID_List_SizeA")) return CR_FAILURE;
  if (ShouldFail("CM_Get_Device_ID_List_SizeA", &error)) return error;
  if (!length) return CR_INVALID_POINTER;
  *length = 0;
  const FakeDevice* device = filter ? DeviceById(filter) : nullptr;
  if (!device) return CR_INVALID_DEVICE_ID;
  const std::string& list = (flags & CM_GETIDLIST_FILTER_BUSRELATIONS) ? device->bus_relations
                            : (flags & CM_GETIDLIST_FILTER_REMOVALRELATIONS)
                                ? device->removal_relations
                                : std::string();
  *length = static_cast<ULONG>(std::max<std::size_t>(list.size(), 1));
  return CR_SUCCESS;
}

CONFIGRET FakeDeviceSetup::CM_Get_Device_ID_ListA(const char* filter, char* buffer, ULONG length,
                                                  ULONG flags) {
  std::lock_guard lock(mutex_);
  calls_.push_back("CM_Get_Device_ID_ListA filter=" + Text(filter) +
                   " length=" + std::to_string(length) + " flags=" + Hex(flags));
  DWORD error = 0;
  if (!Callable("CM_Get_Device_ID_ListA")) return CR_FAILURE;
  if (ShouldFail("CM_Get_Device_ID_ListA", &error)) return error;
  if (!buffer) return CR_INVALID_POINTER;
  const FakeDevice* device = filter ? DeviceById(filter) : nullptr;
  if (!device) return CR_INVALID_DEVICE_ID;
  std::string list = (flags & CM_GETIDLIST_FILTER_BUSRELATIONS)       ? device->bus_relations
                     : (flags & CM_GETIDLIST_FILTER_REMOVALRELATIONS) ? device->removal_relations
                                                                      : std::string();
  if (list.empty()) list.assign(1, '\0');
  if (length < list.size()) return CR_BUFFER_SMALL;
  std::memset(buffer, 0, length);
  std::memcpy(buffer, list.data(), list.size());
  return CR_SUCCESS;
}

// ---- ntdll ----

NTSTATUS FakeDeviceSetup::ZwQueryKey(HKEY key, DWORD info_class, void* info, ULONG length,
                                     ULONG* result_length) {
  const std::optional<std::string> kernel_name = registry_->KernelName(key);
  std::lock_guard lock(mutex_);
  calls_.push_back("ZwQueryKey key=" + kernel_name.value_or("?") +
                   " class=" + std::to_string(info_class) + " length=" + std::to_string(length));
  DWORD error = 0;
  if (!Callable("ZwQueryKey")) return STATUS_PROCEDURE_NOT_FOUND;
  if (ShouldFail("ZwQueryKey", &error)) return static_cast<NTSTATUS>(error);
  if (info_class != KeyNameInformation || !result_length) return STATUS_INVALID_PARAMETER;
  if (!kernel_name) return STATUS_INVALID_HANDLE;
  const auto renamed = kernel_renames_.find(*kernel_name);
  const std::u16string name =
      renamed != kernel_renames_.end() ? renamed->second : cp1250::Decode(*kernel_name);
  // KEY_NAME_INFORMATION: the name's length in bytes, then the name (no NUL).
  const ULONG name_bytes = static_cast<ULONG>(name.size() * sizeof(char16_t));
  const ULONG needed = sizeof(ULONG) + name_bytes;
  *result_length = needed;
  if (!info || length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(info, &name_bytes, sizeof name_bytes);
  const ULONG room = std::min(name_bytes, length - static_cast<ULONG>(sizeof(ULONG)));
  std::memcpy(static_cast<char*>(info) + sizeof(ULONG), name.data(), room);
  return length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace veldoran::win
