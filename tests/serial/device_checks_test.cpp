// Waiting for input and modem lines, the connection test and the plug-and-play identification,
// on the fake driver with a scripted device on the line.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using namespace std::chrono_literals;
using testing::FakePortTest;
using testing::RecordingEdit;
using testing::RecordingLog;

const std::string kPnPId = "(\x01$ACM0042\\12345678\\MODEM\\PNP0C00\\Locker 10)";

class DeviceChecks : public FakePortTest {
 protected:
  DeviceChecks() {
    comm->SetLog(&log);
    comm->SetBaudRate(57600);
  }
  void AttachDevice(std::string id = kPnPId, int answer_on_rise = 1, bool raises_dsr = true) {
    driver->AttachPnPDevice("COM3", {std::move(id), raises_dsr, answer_on_rise});
  }
  // Something happening on the line after `delay`, from another thread.
  std::future<void> Later(std::function<void()> what) {
    return std::async(std::launch::async, [what] {
      std::this_thread::sleep_for(20ms);
      what();
    });
  }
  std::string ReadId() {
    std::string id = "stale";
    comm->ReadPnPId(id);
    return id;
  }
  RecordingLog log;
};

// The bytes are left for the waiting caller, even with a receiver attached and tsRxChar
// traced; what the caller does not take goes to the receiver afterwards.
TEST_F(DeviceChecks, WaitForInputLeavesTheBytesToTheCaller) {
  EXPECT_FALSE(comm->WaitForInput(1, 10));  // closed
  std::string received;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
  });
  comm->SetTraceStates({tsRxChar, tsCTS});
  Open();
  auto later = Later([&] { driver->InjectInput("COM3", "xy"); });
  ASSERT_TRUE(comm->WaitForInput(2, 5000));
  later.get();
  EXPECT_FALSE(comm->WaitForInput(3, 30));
  EXPECT_EQ(comm->TraceStates(), (TTraceStates{tsRxChar, tsCTS}));
  char first = 0;
  ASSERT_TRUE(comm->ReadBytes(&first, 1));
  EXPECT_EQ(first, 'x');
  EXPECT_TRUE(received.empty());
  ASSERT_TRUE(main.ProcessUntil([&] { return received == "y"; }));
}

TEST_F(DeviceChecks, WaitForSignalLooksAtOneModemLine) {
  EXPECT_FALSE(comm->WaitForSignal(1, 10));  // closed
  Open();
  driver->SetModemStatus("COM3", win::MS_DSR_ON | win::MS_RLSD_ON);
  EXPECT_TRUE(comm->WaitForSignal(1, 0));
  EXPECT_TRUE(comm->WaitForSignal(3, 0));
  EXPECT_FALSE(comm->WaitForSignal(0, 20));
  EXPECT_FALSE(comm->WaitForSignal(8, 20));
}

TEST_F(DeviceChecks, TestConnectionRaisesRtsOnlyWhenTheDeviceAnswersWithDsr) {
  comm->TestConnection();  // closed: nothing
  EXPECT_TRUE(driver->Info("COM3").escapes.empty());
  AttachDevice(kPnPId, 0);
  Open();
  comm->TestConnection();
  EXPECT_EQ(driver->Info("COM3").purges.back(), 0x0Fu);
  EXPECT_EQ(driver->Info("COM3").escapes,
            (std::vector<win::DWORD>{win::SETDTR, win::CLRRTS, win::SETRTS}));
  EXPECT_EQ(log.Lines().back(), "1 spComm: The device connection was succesful tested");

  AttachDevice(kPnPId, 0, false);  // one that never raises DSR
  driver->SetModemStatus("COM3", 0);
  try {
    comm->TestConnection();
    FAIL() << "no exception";
  } catch (const ESerialError& e) {
    EXPECT_STREQ(e.what(), "Device Connect Initialization Error");
  }
  EXPECT_EQ(driver->Info("COM3").escapes.back(), win::CLRRTS);
  EXPECT_TRUE(comm->Active());
}

TEST_F(DeviceChecks, ReadPnPIdReadsTheWholeIdentificationAt1200Baud7N1) {
  AttachDevice();
  RecordingEdit edit;  // receivers do not take the answer away
  comm->SetTerminal(&edit);
  comm->SetTerminalUsage(tuBoth);
  comm->SetTraceStates({tsCTS});
  Open();
  EXPECT_EQ(ReadId(), kPnPId);
  EXPECT_TRUE(edit.pieces.empty());
  const win::FakePortInfo info = driver->Info("COM3");
  ASSERT_EQ(info.pnp_answers.size(), 1u);
  EXPECT_EQ(info.pnp_answers[0].BaudRate, 1200u);
  EXPECT_EQ(info.pnp_answers[0].ByteSize, 7);
  EXPECT_EQ(info.pnp_answers[0].Parity, win::NOPARITY);
  EXPECT_EQ(info.pnp_answers[0].StopBits, win::ONESTOPBIT);
  // Back on its own settings, reopened.
  EXPECT_TRUE(info.open);
  EXPECT_EQ(info.opens, 2);
  EXPECT_EQ(info.dcb.BaudRate, 57600u);
  EXPECT_EQ(info.dcb.ByteSize, 8);
  EXPECT_EQ(comm->TraceStates(), TTraceStates{tsCTS});
}

TEST_F(DeviceChecks, ReadPnPIdTriesTwiceKnowsBothStartBytesAndLeavesAClosedPortClosed) {
  AttachDevice("\x08PNP0C00\x09trailing", 2);
  EXPECT_EQ(ReadId(), "\x08PNP0C00\x09");
  EXPECT_FALSE(comm->Active());
  AttachDevice("PNP0C00)");  // no start byte
  EXPECT_EQ(ReadId(), "");
  AttachDevice(kPnPId, 0);  // never answers
  EXPECT_EQ(ReadId(), "");
  EXPECT_FALSE(comm->Active());
}

TEST_F(DeviceChecks, AHandlerThatDestroysTheComponentEndsTheCheck) {
  AttachDevice();
  for (const int at : {1, 3, 5}) {
    SCOPED_TRACE(at);
    comm = std::make_unique<TspComm>(nullptr, main, driver);
    comm->SetComPortNo(3);
    int calls = 0;
    comm->SetOnTraceState([&](TObject*, TTraceStates) {
      if (++calls == at) comm.reset();
    });
    std::string id;
    EXPECT_NO_THROW(comm->ReadPnPId(id));
    EXPECT_EQ(comm, nullptr);
    EXPECT_FALSE(driver->Info("COM3").open);
  }
}

}  // namespace
}  // namespace veldoran::serial
