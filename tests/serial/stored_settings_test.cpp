// Port settings stored as one registry value, on the fake driver and the in-memory registry.
#include <gtest/gtest.h>

#include "platform/memory_registry.h"
#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingLog;

constexpr char kKey[] = "Software\\Veldoran\\Test";
constexpr char kValue[] = "Port";

// Bytes written as hexadecimal pairs, blanks between them ignored.
std::string Hex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += hex[i] == ' ' ? 1 : 2) {
    if (hex[i] != ' ') bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), 0, 16));
  }
  return bytes;
}

// COM300 (stored as 44), 57600 baud, 7 data bits, even parity, two stop bits, no flow control,
// event character CR, 5 ms read multiplier, 100 ms write multiplier; fields in order: port,
// DCBlength, BaudRate, flags, wReserved, XonLim, XoffLim, ByteSize, Parity, StopBits, the five
// characters, wReserved1, then the five time-outs.
const std::string kFixedValue =
    Hex("2C 1C000000 00E10000 13100000 0000 0008 0008 07 02 02 11 13 00 00 0D 0000"
        " 00000000 05000000 00000000 64000000 00000000");

class StoredSettingsTest : public FakePortTest {
 protected:
  StoredSettingsTest() {
    comm = std::make_unique<TspComm>(nullptr, main, driver, registry);
    comm->SetComPortNo(3);
    comm->SetLog(&log);
  }
  void Store(std::string_view bytes) {
    registry->PutValue(win::HKEY_CURRENT_USER, kKey, kValue, win::REG_BINARY, bytes);
  }
  void Load() { comm->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, kValue); }
  std::string Last() const { return log.Lines().back(); }

  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  RecordingLog log;
};

// The layout is the same on every platform: what one build stores, another loads unchanged.
TEST_F(StoredSettingsTest, TheValueHasItsFixedLayoutBothWays) {
  ASSERT_EQ(kFixedValue.size(), 49u);
  comm->SetComPortNo(300);
  comm->SetBaudRate(57600);
  comm->SetByteSize(7);
  comm->SetParity(pEven);
  comm->SetStopBits(sbTwo);
  comm->SetStreamProtocol(spNone);
  comm->SetEventChar('\r');
  comm->SetTimeoutRead(5);
  comm->SaveToRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
  const auto value = registry->GetValue(win::HKEY_CURRENT_USER, kKey, kValue);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, win::REG_BINARY);
  EXPECT_EQ(value->data, kFixedValue);
  EXPECT_EQ(Last(), "1 spComm: Configuration was saved");

  comm = std::make_unique<TspComm>(nullptr, main, driver, registry);
  comm->SetLog(&log);
  Load();
  EXPECT_EQ(Last(), "1 spComm: Configuration was loaded");
  EXPECT_EQ(comm->ComPortNo(), 44);
  EXPECT_EQ(comm->BaudRate(), 57600u);
  EXPECT_EQ(comm->ByteSize(), 7);
  EXPECT_EQ(comm->Parity(), pEven);
  EXPECT_EQ(comm->StopBits(), sbTwo);
  EXPECT_EQ(comm->EventChar(), '\r');
  EXPECT_EQ(comm->TimeoutRead(), 5u);
  EXPECT_EQ(comm->TimeoutWrite(), 100u);
  EXPECT_EQ(comm->Dcb().Flags, 0x2017u);  // flow control from its own StreamProtocol
  EXPECT_EQ(registry->OpenKeys(), 0);
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
}

TEST_F(StoredSettingsTest, AnOpenPortMovesToTheStoredNumberAndSavesWhatItsDriverHas) {
  std::string value = kFixedValue;
  value[0] = 4;
  Store(value);
  Open();
  Load();
  EXPECT_FALSE(driver->Info("COM3").open);
  const win::FakePortInfo info = driver->Info("COM4");
  EXPECT_TRUE(info.open);
  EXPECT_EQ(info.dcb.BaudRate, 57600u);
  EXPECT_EQ(info.timeouts.ReadTotalTimeoutMultiplier, 5u);
  win::COMMTIMEOUTS changed{};
  changed.WriteTotalTimeoutConstant = 250;  // behind the component's back: saved all the same
  driver->SetCommTimeouts(comm->Handle(), &changed);
  comm->SaveToRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
  EXPECT_EQ(registry->GetValue(win::HKEY_CURRENT_USER, kKey, kValue)->data.substr(45),
            Hex("FA000000"));
}

TEST_F(StoredSettingsTest, FailuresAndDamagedValuesRaiseTheirErrorAndChangeNothing) {
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
  EXPECT_THROW(Load(), ESerialError);
  EXPECT_EQ(Last(), "0 Fatal Error: 1, 0, Error on load config information from registry");
  std::string damaged = kFixedValue;
  damaged[19] = 0;  // ByteSize
  Store(damaged);
  EXPECT_THROW(Load(), ESerialError);
  EXPECT_EQ(comm->ComPortNo(), 3);
  EXPECT_EQ(comm->ByteSize(), 8);
  EXPECT_EQ(registry->OpenKeys(), 0);

  comm->SetOnFatalError([](TObject*, std::uint32_t, std::uint32_t, const std::string&,
                           bool& raise) { raise = false; });
  registry->FailCalls("RegCreateKeyExA", win::ERROR_ACCESS_DENIED);
  EXPECT_NO_THROW(Load());
}

}  // namespace
}  // namespace veldoran::serial
