// The COM port of the port component: its number and device, and the device list it keeps of
// the ports present (through the port enumeration).
#include <memory>
#include <string>

#include "ports/port_enumeration.h"
#include "serial/spcomm.h"

namespace veldoran::serial {

TspCustomSerialComm::TspCustomSerialComm(TComponent* owner, MainThread& main,
                                         std::shared_ptr<win::SerialApi> api,
                                         std::shared_ptr<win::RegistryApi> registry,
                                         std::shared_ptr<win::DeviceSetupApi> setup)
    : TspCustomComm(owner, main, std::move(api)),
      registry_(std::move(registry)),
      setup_(std::move(setup)) {
  log_prefix_ = "spComm: ";
  // The size argument is the config's own dwSize field, as the system expects it.
  api_->GetDefaultCommConfigA("COM1", &config_, &config_.dwSize);
  SetComPort(cpCOM1);
  SetBaudRate(19200);
  SetByteSize(8);
  SetParity(pNone);
  SetStopBits(sbOne);
  SetStreamProtocol(spHardware);
  SetEventChar('\0');
}

std::string TspCustomSerialComm::GetDeviceName() const {
  return "COM" + std::to_string(com_port_no_);
}

const std::shared_ptr<win::RegistryApi>& TspCustomSerialComm::Registry() {
  if (!registry_) registry_ = win::SystemRegistryApi();
  return registry_;
}

const std::shared_ptr<win::DeviceSetupApi>& TspCustomSerialComm::DeviceSetup() {
  if (!setup_) setup_ = win::SystemDeviceSetupApi();
  return setup_;
}

void TspCustomSerialComm::OpenHandle() {
  const std::string path = "\\\\?\\" + GetDeviceName();
  handle_ = api_->CreateFileA(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0,
                              win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED);
}

void TspCustomSerialComm::EnumDevices() {
  // The device-setup interface is only needed (and taken) for the full modes.
  ports::DeviceScan scan(enum_ports_ == epQuickAll ? nullptr : DeviceSetup(), Registry());
  for (auto& record : ports::EnumeratePorts(enum_ports_, *Registry(), scan)) {
    AddDevice(std::move(record));
  }
}

void TspCustomSerialComm::RefreshDevices() {
  ClearDevices();
  FillDeviceList(nullptr);
  NotifyListeners(kNotifyPortChanged);
}

void TspCustomSerialComm::SelectDevice(int index) {
  const TspDevice* device = GetDevice(index);
  if (!device) return;
  SetComPortNo(static_cast<std::uint16_t>(device->PortNo));
}

int TspCustomSerialComm::SelectedDeviceIndex() { return IndexOfPortNo(com_port_no_); }

void TspCustomSerialComm::SetComPortNo(std::uint16_t value) {
  const std::weak_ptr<char> alive = lifetime_;  // the close's handlers may destroy the component
  const bool was_open = IsOpen();
  if (was_open) Close();
  if (alive.expired()) return;
  com_port_no_ = value;
  if (was_open) Open();
  if (alive.expired()) return;
  NotifyListeners(kNotifyPortChanged);
}

TComPort TspCustomSerialComm::ComPort() const {
  return (com_port_no_ >= 1 && com_port_no_ <= 8) ? static_cast<TComPort>(com_port_no_ - 1)
                                                  : cpCOMxx;
}

void TspCustomSerialComm::SetComPort(TComPort value) {
  if (value == cpCOMxx) return;
  SetComPortNo(static_cast<std::uint16_t>(value + 1));
}

}  // namespace veldoran::serial
