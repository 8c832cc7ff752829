#include "serial/stored_settings.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "serial/spcomm.h"

namespace veldoran::serial {

namespace {

// Field by field, least significant byte first, whatever the host's byte order.
class Writer {
 public:
  explicit Writer(StoredSettingsValue& out) : out_(out) {}
  void Put(std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out_[pos_++] = static_cast<win::BYTE>(value >> (8 * i));
  }
  std::size_t Position() const { return pos_; }

 private:
  StoredSettingsValue& out_;
  std::size_t pos_ = 0;
};

class Reader {
 public:
  explicit Reader(const StoredSettingsValue& in) : in_(in) {}
  std::uint32_t Get(int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint32_t{in_[pos_++]} << (8 * i);
    return value;
  }

 private:
  const StoredSettingsValue& in_;
  std::size_t pos_ = 0;
};

char AsChar(std::uint32_t byte) { return static_cast<char>(static_cast<unsigned char>(byte)); }

}  // namespace

StoredSettingsValue EncodeStoredSettings(const StoredSettings& settings) {
  StoredSettingsValue value{};
  Writer out(value);
  const win::DCB& dcb = settings.dcb;
  out.Put(settings.com_port, 1);
  out.Put(dcb.DCBlength, 4);
  out.Put(dcb.BaudRate, 4);
  out.Put(dcb.Flags, 4);
  out.Put(dcb.wReserved, 2);
  out.Put(dcb.XonLim, 2);
  out.Put(dcb.XoffLim, 2);
  out.Put(dcb.ByteSize, 1);
  out.Put(dcb.Parity, 1);
  out.Put(dcb.StopBits, 1);
  for (const char c : {dcb.XonChar, dcb.XoffChar, dcb.ErrorChar, dcb.EofChar, dcb.EvtChar}) {
    out.Put(static_cast<unsigned char>(c), 1);
  }
  out.Put(dcb.wReserved1, 2);
  const win::COMMTIMEOUTS& t = settings.timeouts;
  for (const win::DWORD v :
       {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
        t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}) {
    out.Put(v, 4);
  }
  return value;
}

StoredSettings DecodeStoredSettings(const StoredSettingsValue& value) {
  StoredSettings settings;
  Reader in(value);
  win::DCB& dcb = settings.dcb;
  settings.com_port = static_cast<std::uint8_t>(in.Get(1));
  dcb.DCBlength = in.Get(4);
  dcb.BaudRate = in.Get(4);
  dcb.Flags = in.Get(4);
  dcb.wReserved = static_cast<win::WORD>(in.Get(2));
  dcb.XonLim = static_cast<win::WORD>(in.Get(2));
  dcb.XoffLim = static_cast<win::WORD>(in.Get(2));
  dcb.ByteSize = static_cast<win::BYTE>(in.Get(1));
  dcb.Parity = static_cast<win::BYTE>(in.Get(1));
  dcb.StopBits = static_cast<win::BYTE>(in.Get(1));
  dcb.XonChar = AsChar(in.Get(1));
  dcb.XoffChar = AsChar(in.Get(1));
  dcb.ErrorChar = AsChar(in.Get(1));
  dcb.EofChar = AsChar(in.Get(1));
  dcb.EvtChar = AsChar(in.Get(1));
  dcb.wReserved1 = static_cast<win::WORD>(in.Get(2));
  win::COMMTIMEOUTS& t = settings.timeouts;
  t.ReadIntervalTimeout = in.Get(4);
  t.ReadTotalTimeoutMultiplier = in.Get(4);
  t.ReadTotalTimeoutConstant = in.Get(4);
  t.WriteTotalTimeoutMultiplier = in.Get(4);
  t.WriteTotalTimeoutConstant = in.Get(4);
  return settings;
}

bool PlausibleLineSettings(const win::DCB& dcb) {
  return dcb.BaudRate != 0 && dcb.ByteSize >= 4 && dcb.ByteSize <= 8 &&
         dcb.Parity <= win::SPACEPARITY && dcb.StopBits <= win::TWOSTOPBITS;
}

// --- the port component's use of it ---

namespace {

// A registry failure inside a save or load; reported as the operation's fatal error.
struct RegistryFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void Check(win::LSTATUS status, const char* call) {
  if (status != win::ERROR_SUCCESS) {
    throw RegistryFailure(std::string(call) + " failed with " + std::to_string(status));
  }
}

// An open key, closed when it goes.
class OpenKey {
 public:
  OpenKey(win::RegistryApi& registry, win::HKEY root, const std::string& path)
      : registry_(registry) {
    win::DWORD disposition = 0;
    Check(registry_.RegCreateKeyExA(root, path.c_str(), win::REG_OPTION_NON_VOLATILE,
                                    win::KEY_READ | win::KEY_WRITE, &key_, &disposition),
          "RegCreateKeyExA");
  }
  ~OpenKey() { registry_.RegCloseKey(key_); }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  win::HKEY Get() const { return key_; }

 private:
  win::RegistryApi& registry_;
  win::HKEY key_ = nullptr;
};

}  // namespace

void TspCustomSerialComm::SaveToRegistry(win::HKEY root_key, const std::string& key,
                                         const std::string& value_name) {
  try {
    const std::shared_ptr<win::RegistryApi> registry = Registry();
    OpenKey open(*registry, root_key, key);
    StoredSettings settings;
    settings.com_port = static_cast<std::uint8_t>(ComPortNo() & 0xFF);
    settings.dcb = Dcb();
    TimeoutRead();  // read back from the driver while open
    settings.timeouts = Timeouts();
    const StoredSettingsValue value = EncodeStoredSettings(settings);
    Check(registry->RegSetValueExA(open.Get(), value_name.c_str(), win::REG_BINARY, value.data(),
                                   static_cast<win::DWORD>(value.size())),
          "RegSetValueExA");
  } catch (...) {
    FatalError(1, 0, "Error on save config information from registry", false);
    return;
  }
  LogMessage(1, "Configuration was saved");
}

void TspCustomSerialComm::LoadFromRegistry(win::HKEY root_key, const std::string& key,
                                           const std::string& value_name) {
  const std::weak_ptr<char> alive = lifetime_;
  try {
    const std::shared_ptr<win::RegistryApi> registry = Registry();
    OpenKey open(*registry, root_key, key);
    win::DWORD type = 0;
    win::DWORD size = 0;
    const win::LSTATUS found =
        registry->RegQueryValueExA(open.Get(), value_name.c_str(), &type, nullptr, &size);
    if (found == win::ERROR_SUCCESS && size == kStoredSettingsSize) {
      StoredSettingsValue value{};
      Check(registry->RegQueryValueExA(open.Get(), value_name.c_str(), &type, value.data(), &size),
            "RegQueryValueExA");
      if (size != kStoredSettingsSize) throw RegistryFailure("the value changed size");
      const StoredSettings settings = DecodeStoredSettings(value);
      // A damaged value is refused before anything changes.
      if (!PlausibleLineSettings(settings.dcb)) throw RegistryFailure("damaged value");
      SetComPortNo(settings.com_port);
      if (alive.expired()) return;  // a listener destroyed the component
      config_.dcb = settings.dcb;
      ApplyDCB();
      SetTimeouts(settings.timeouts);
    } else if (found != win::ERROR_SUCCESS && found != win::ERROR_FILE_NOT_FOUND) {
      Check(found, "RegQueryValueExA");
    }
  } catch (...) {
    if (alive.expired()) throw;
    FatalError(1, 0, "Error on load config information from registry", false);
    return;
  }
  LogMessage(1, "Configuration was loaded");
}

}  // namespace veldoran::serial
