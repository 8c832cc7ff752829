// Port settings stored as one registry value, on the fake driver and the in-memory registry.
#include "serial/stored_settings.h"

#include <gtest/gtest.h>

#include "platform/memory_registry.h"
#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingLog;

constexpr char kKey[] = "Software\\Veldoran\\Test";
constexpr char kValue[] = "Port";

// The value of a port on COM300 (stored as 44) at 57600 baud, 7 data bits, even parity, two
// stop bits, no flow control, event character CR, 5 ms read multiplier, 100 ms write
// multiplier: byte for byte, as every build writes and reads it.
const std::string kFixedValue(
    // The port number's low 8 bits; DCBlength 28; BaudRate 57600; flags; wReserved.
    "\x2C"
    "\x1C\x00\x00\x00"
    "\x00\xE1\x00\x00"
    "\x13\x10\x00\x00"
    "\x00\x00"
    // XonLim and XoffLim 2048; ByteSize, Parity, StopBits; the five characters; wReserved1.
    "\x00\x08"
    "\x00\x08"
    "\x07\x02\x02"
    "\x11\x13\x00\x00\x0D"
    "\x00\x00"
    // ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant,
    // WriteTotalTimeoutMultiplier, WriteTotalTimeoutConstant.
    "\x00\x00\x00\x00"
    "\x05\x00\x00\x00"
    "\x00\x00\x00\x00"
    "\x64\x00\x00\x00"
    "\x00\x00\x00\x00",
    49);

class StoredSettingsTest : public FakePortTest {
 protected:
  StoredSettingsTest() {
    comm = std::make_unique<TspComm>(nullptr, main, driver, registry);
    comm->SetComPortNo(3);
    comm->SetLog(&log);
  }
  void ConfigureAsTheFixedValue() {
    comm->SetComPortNo(300);
    comm->SetBaudRate(57600);
    comm->SetByteSize(7);
    comm->SetParity(pEven);
    comm->SetStopBits(sbTwo);
    comm->SetStreamProtocol(spNone);
    comm->SetEventChar('\r');
    comm->SetTimeoutRead(5);
  }
  void Store(std::string_view bytes) {
    registry->PutValue(win::HKEY_CURRENT_USER, kKey, kValue, win::REG_BINARY, bytes);
  }
  std::string Last() const { return log.Lines().empty() ? "" : log.Lines().back(); }

  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  RecordingLog log;
};

TEST_F(StoredSettingsTest, TheValueHasItsFixedLittleEndianLayout) {
  ConfigureAsTheFixedValue();
  comm->SaveToRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
  const auto value = registry->GetValue(win::HKEY_CURRENT_USER, kKey, kValue);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, win::REG_BINARY);
  EXPECT_EQ(value->data, kFixedValue);
  EXPECT_EQ(Last(), "1 spComm: Configuration was saved");
  EXPECT_EQ(registry->OpenKeys(), 0);

  StoredSettingsValue raw{};
  std::copy(kFixedValue.begin(), kFixedValue.end(), raw.begin());
  EXPECT_EQ(EncodeStoredSettings(DecodeStoredSettings(raw)), raw);
}

TEST_F(StoredSettingsTest, AStoredValueLoadsUnchanged) {
  Store(kFixedValue);
  comm->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
  EXPECT_EQ(Last(), "1 spComm: Configuration was loaded");
  EXPECT_EQ(comm->ComPortNo(), 44);
  EXPECT_EQ(comm->BaudRate(), 57600u);
  EXPECT_EQ(comm->ByteSize(), 7);
  EXPECT_EQ(comm->Parity(), pEven);
  EXPECT_EQ(comm->StopBits(), sbTwo);
  EXPECT_EQ(comm->EventChar(), '\r');
  EXPECT_EQ(comm->TimeoutRead(), 5u);
  EXPECT_EQ(comm->TimeoutWrite(), 100u);
  // The flow-control bits come from the component's own StreamProtocol (spHardware here).
  EXPECT_EQ(comm->Dcb().Flags, 0x2017u);
}

TEST_F(StoredSettingsTest, MissingOrWronglySizedValuesLoadNothingButAreLogged) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{48}, std::size_t{50}}) {
    SCOPED_TRACE(size);
    if (size) Store(std::string(size, '\x01'));
    comm->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, size ? kValue : "Absent");
    EXPECT_EQ(Last(), "1 spComm: Configuration was loaded");
    EXPECT_EQ(comm->ComPortNo(), 3);
    EXPECT_EQ(comm->BaudRate(), 19200u);
  }
  EXPECT_TRUE(registry->KeyExists(win::HKEY_CURRENT_USER, kKey));  // opened, creating it
}

TEST_F(StoredSettingsTest, LoadingOntoAnOpenPortMovesItToTheStoredNumber) {
  std::string value = kFixedValue;
  value[0] = 4;
  Store(value);
  std::vector<std::int32_t> codes;
  struct Listener {
    std::vector<std::int32_t>* codes;
    void OnNotify(TObject*, std::int32_t code) { codes->push_back(code); }
  } listener{&codes};
  comm->AddListener(TspNotifyEvent::Of<Listener, &Listener::OnNotify>(&listener));
  Open();
  comm->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
  EXPECT_FALSE(driver->Info("COM3").open);
  const win::FakePortInfo info = driver->Info("COM4");
  EXPECT_TRUE(info.open);
  EXPECT_EQ(info.dcb.BaudRate, 57600u);
  EXPECT_EQ(info.dcb.ByteSize, 7);
  EXPECT_EQ(info.timeouts.ReadTotalTimeoutMultiplier, 5u);
  EXPECT_EQ(codes, (std::vector<std::int32_t>{kNotifyOpened, kNotifyClosed, kNotifyOpened,
                                              kNotifyPortChanged}));
  comm->RemoveListener(TspNotifyEvent::Of<Listener, &Listener::OnNotify>(&listener));
}

TEST_F(StoredSettingsTest, SavingReadsTheTimeoutsBackFromAnOpenPort) {
  Open();
  win::COMMTIMEOUTS changed{};
  changed.WriteTotalTimeoutConstant = 250;  // set behind the component's back
  driver->SetCommTimeouts(comm->Handle(), &changed);
  comm->SaveToRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
  const std::string data = registry->GetValue(win::HKEY_CURRENT_USER, kKey, kValue)->data;
  EXPECT_EQ(data.substr(45, 4), std::string("\xFA\x00\x00\x00", 4));
  EXPECT_EQ(data.substr(41, 4), std::string(4, '\0'));
}

TEST_F(StoredSettingsTest, RegistryFailuresRaiseTheirErrorAndChangeNothing) {
  registry->FailCalls("RegSetValueExA", win::ERROR_ACCESS_DENIED);
  try {
    comm->SaveToRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
    FAIL() << "no exception";
  } catch (const ESerialError& e) {
    EXPECT_STREQ(e.what(), "Error on save config information from registry");
  }
  EXPECT_EQ(Last(), "0 Fatal Error: 1, 0, Error on save config information from registry");

  Store(kFixedValue);
  registry->FailCalls("RegQueryValueExA", win::ERROR_CANTREAD);
  EXPECT_THROW(comm->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, kValue), ESerialError);
  EXPECT_EQ(Last(), "0 Fatal Error: 1, 0, Error on load config information from registry");
  EXPECT_EQ(comm->ComPortNo(), 3);
  EXPECT_EQ(registry->OpenKeys(), 0);

  // A handler may keep the exception back.
  comm->SetOnFatalError([](TObject*, std::uint32_t, std::uint32_t, const std::string&,
                           bool& raise) { raise = false; });
  registry->FailCalls("RegCreateKeyExA", win::ERROR_ACCESS_DENIED);
  EXPECT_NO_THROW(comm->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, kValue));
  EXPECT_EQ(comm->ComPortNo(), 3);
}

TEST_F(StoredSettingsTest, ADamagedValueIsRefusedBeforeAnythingChanges) {
  std::string value = kFixedValue;
  value[19] = 0;  // ByteSize
  Store(value);
  EXPECT_THROW(comm->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, kValue), ESerialError);
  EXPECT_EQ(comm->ComPortNo(), 3);
  EXPECT_EQ(comm->ByteSize(), 8);
}

}  // namespace
}  // namespace veldoran::serial
