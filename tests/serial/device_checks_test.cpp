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
    comm->SetStreamProtocol(spNone);
  }
  void AttachDevice(std::string id = kPnPId, int answer_on_rise = 1, bool raises_dsr = true) {
    driver->AttachPnPDevice("COM3", {std::move(id), raises_dsr, answer_on_rise});
  }
  // Bytes from the line after `delay`, from another thread.
  std::future<void> InjectLater(std::string bytes, std::chrono::milliseconds delay) {
    return std::async(std::launch::async, [this, bytes, delay] {
      std::this_thread::sleep_for(delay);
      driver->InjectInput("COM3", bytes);
    });
  }
  std::string ReadId() {
    std::string id = "stale";
    comm->ReadPnPId(id);
    return id;
  }
  RecordingLog log;
};

TEST_F(DeviceChecks, WaitForInputCountsQueuedBytesAndRestoresTheTraceStates) {
  EXPECT_FALSE(comm->WaitForInput(1, 10));  // closed
  comm->SetTraceStates({tsRxChar, tsCTS});
  Open();
  auto later = InjectLater("abc", 20ms);
  EXPECT_TRUE(comm->WaitForInput(3, 5000));
  later.get();
  EXPECT_FALSE(comm->WaitForInput(4, 30));
  EXPECT_EQ(comm->TraceStates(), (TTraceStates{tsRxChar, tsCTS}));
  EXPECT_EQ(driver->InputQueued("COM3"), 3u);  // left for the caller, though tsRxChar is traced
}

// With a receiver attached the bytes are still left for the waiting caller; what the caller
// does not take goes to the receiver afterwards.
TEST_F(DeviceChecks, WaitForInputKeepsTheBytesFromTheReceivers) {
  std::string received;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
  });
  Open();
  auto later = InjectLater("xy", 20ms);
  ASSERT_TRUE(comm->WaitForInput(2, 5000));
  later.get();
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
  auto raise = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(20ms);
    driver->SetModemStatus("COM3", win::MS_CTS_ON);
  });
  EXPECT_TRUE(comm->WaitForSignal(0, 5000));
  raise.get();
}

TEST_F(DeviceChecks, TestConnectionRaisesRtsWhenTheDeviceAnswersWithDsr) {
  comm->TestConnection();  // closed: nothing
  EXPECT_TRUE(driver->Info("COM3").escapes.empty());
  AttachDevice();
  Open();
  comm->TestConnection();
  const win::FakePortInfo info = driver->Info("COM3");
  EXPECT_EQ(info.purges.back(), 0x0Fu);
  EXPECT_EQ(info.escapes, (std::vector<win::DWORD>{win::SETDTR, win::CLRRTS, win::SETRTS}));
  EXPECT_EQ(log.Lines().back(), "1 spComm: The device connection was succesful tested");
}

TEST_F(DeviceChecks, TestConnectionWithoutDsrRaisesTheInitializationError) {
  AttachDevice(kPnPId, 1, false);
  Open();
  try {
    comm->TestConnection();
    FAIL() << "no exception";
  } catch (const ESerialError& e) {
    EXPECT_STREQ(e.what(), "Device Connect Initialization Error");
  }
  EXPECT_EQ(driver->Info("COM3").escapes, (std::vector<win::DWORD>{win::SETDTR, win::CLRRTS}));
  EXPECT_TRUE(comm->Active());
}

TEST_F(DeviceChecks, ReadPnPIdReadsTheWholeIdentificationAt1200Baud7N1) {
  AttachDevice();
  comm->SetTraceStates({tsCTS});
  Open();
  EXPECT_EQ(ReadId(), kPnPId);
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
  EXPECT_EQ(comm->BaudRate(), 57600u);
  EXPECT_EQ(comm->TraceStates(), TTraceStates{tsCTS});
}

TEST_F(DeviceChecks, ReadPnPIdTriesTwiceAndKnowsBothStartBytes) {
  AttachDevice("\x08PNP0C00\x09trailing", 2);
  EXPECT_EQ(ReadId(), "\x08PNP0C00\x09");  // stops at the end byte
  EXPECT_FALSE(comm->Active());            // closed before, closed after
  EXPECT_EQ(driver->Info("COM3").pnp_answers.size(), 1u);
}

TEST_F(DeviceChecks, ReadPnPIdWithoutAStartByteOrAnswerIsEmpty) {
  AttachDevice("PNP0C00)");
  EXPECT_EQ(ReadId(), "");
  AttachDevice(kPnPId, 0);  // never answers
  EXPECT_EQ(ReadId(), "");
  EXPECT_FALSE(comm->Active());
}

TEST_F(DeviceChecks, ReadPnPIdIsNotRobbedByTheReceivers) {
  AttachDevice();
  RecordingEdit edit;
  comm->SetTerminal(&edit);
  comm->SetTerminalUsage(tuBoth);
  comm->SetOnAfterReceive([](TObject*, void*, std::uint32_t) {});
  Open();
  EXPECT_EQ(ReadId(), kPnPId);
  EXPECT_TRUE(edit.pieces.empty());
}

TEST_F(DeviceChecks, ReadPnPIdWithoutDsrFailsAndLeavesThePortOpen) {
  try {
    ReadId();
    FAIL() << "no exception";
  } catch (const ESerialError& e) {
    EXPECT_STREQ(e.what(), "Device Connect Initialization Error");
  }
  EXPECT_TRUE(comm->Active());
  EXPECT_EQ(driver->Info("COM3").dcb.BaudRate, 57600u);
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
