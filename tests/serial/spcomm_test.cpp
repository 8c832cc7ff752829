// The port component's properties, line settings, open and close, on the fake driver.
#include <gtest/gtest.h>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingControl;
using testing::RecordingLog;
using win::DWORD;

class ListenerProbe {
 public:
  void OnNotify(TObject*, std::int32_t code) { codes.push_back(code); }
  TspNotifyEvent Event() {
    return TspNotifyEvent::Of<ListenerProbe, &ListenerProbe::OnNotify>(this);
  }
  std::vector<std::int32_t> codes;
};

using PortComponent = FakePortTest;

TEST_F(PortComponent, DefaultsAfterConstruction) {
  TspComm fresh(nullptr, main, driver);
  EXPECT_EQ(fresh.BaudRate(), 19200u);
  EXPECT_EQ(fresh.Parity(), pNone);
  EXPECT_EQ(fresh.StopBits(), sbOne);
  EXPECT_EQ(fresh.ByteSize(), 8);
  EXPECT_EQ(fresh.ComPortNo(), 1);
  EXPECT_EQ(fresh.ComPort(), cpCOM1);
  EXPECT_TRUE(fresh.TraceStates().Empty());
  EXPECT_EQ(fresh.EventChar(), '\0');
  EXPECT_EQ(fresh.StreamProtocol(), spHardware);
  EXPECT_EQ(fresh.BufferInSize(), 8192);
  EXPECT_EQ(fresh.BufferOutSize(), 8192);
  EXPECT_EQ(fresh.TimeoutRead(), 0u);
  EXPECT_EQ(fresh.TimeoutWrite(), 100u);
  EXPECT_FALSE(fresh.RS485Mode());
  EXPECT_TRUE(fresh.UseMainThread());
  EXPECT_FALSE(fresh.Active());
  EXPECT_EQ(fresh.GetDeviceName(), "COM1");
  const win::DCB& dcb = fresh.Dcb();
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.Flags, 0x2015u);  // binary, CTS flow, DTR on, RTS handshake
  EXPECT_EQ(dcb.XonLim, 2048);
  EXPECT_EQ(dcb.XoffLim, 2048);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
}

TEST_F(PortComponent, ByteSizeAndComPortRules) {
  comm->SetByteSize(3);
  EXPECT_EQ(comm->ByteSize(), 8);
  comm->SetByteSize(4);
  EXPECT_EQ(comm->ByteSize(), 4);
  comm->SetByteSize(9);
  EXPECT_EQ(comm->ByteSize(), 8);

  comm->SetComPort(cpCOM5);
  EXPECT_EQ(comm->ComPortNo(), 5);
  comm->SetComPort(cpCOMxx);
  EXPECT_EQ(comm->ComPortNo(), 5);
  comm->SetComPortNo(12);
  EXPECT_EQ(comm->ComPort(), cpCOMxx);
  EXPECT_EQ(comm->GetDeviceName(), "COM12");
}

TEST_F(PortComponent, FlowControlFlagWords) {
  comm->SetParity(pOdd);  // fParity is one of the bits the flow control leaves alone
  EXPECT_EQ(comm->Dcb().Parity, 1);
  EXPECT_EQ(comm->Dcb().Flags, 0x2017u);
  comm->SetStreamProtocol(spNone);
  EXPECT_EQ(comm->Dcb().Flags, 0x1013u);
  comm->SetStreamProtocol(spXonXoff);
  EXPECT_EQ(comm->Dcb().Flags, 0x1313u);
  comm->SetRS485Mode(true);  // overrides the protocol entirely
  EXPECT_EQ(comm->Dcb().Flags, 0x3013u);
  comm->SetRS485Mode(false);
  comm->SetParity(pNone);
  EXPECT_EQ(comm->Dcb().Flags, 0x1311u);
}

TEST_F(PortComponent, SettingsWaitForTheOpenAndThenApplyAtOnce) {
  comm->SetBaudRate(57600);
  comm->SetBufferInSize(20000);
  comm->SetStreamProtocol(spNone);
  EXPECT_EQ(driver->Info("COM3").set_state_calls, 0);

  Open();
  win::FakePortInfo info = driver->Info("COM3");
  EXPECT_EQ(info.dcb.BaudRate, 57600u);
  EXPECT_EQ(info.dcb.Flags, 0x1011u);
  EXPECT_EQ(info.in_queue_size, 20000u);
  EXPECT_EQ(info.out_queue_size, 8192u);
  EXPECT_EQ(info.timeouts.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(info.timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(info.mask, win::EV_RXCHAR);
  EXPECT_EQ(comm->ReceiveBufferSize(), 20000u);

  const int calls = info.set_state_calls;
  comm->SetBaudRate(9600);
  info = driver->Info("COM3");
  EXPECT_EQ(info.set_state_calls, calls + 1);
  EXPECT_EQ(info.dcb.BaudRate, 9600u);
  comm->SetTimeoutWrite(7);
  EXPECT_EQ(driver->Info("COM3").timeouts.WriteTotalTimeoutMultiplier, 7u);
  comm->SetTraceStates({tsTxEmpty, tsCTS, tsRxChar});
  EXPECT_EQ(driver->Info("COM3").mask, win::EV_RXCHAR | win::EV_TXEMPTY | win::EV_CTS);
}

TEST_F(PortComponent, OpenAndCloseTellListenersLogAndHandlers) {
  RecordingLog log;
  comm->SetLog(&log);
  ListenerProbe probe;
  comm->AddListener(probe.Event());
  int closed = 0;
  comm->SetOnClose([&](TObject* sender) {
    EXPECT_EQ(sender, comm.get());
    ++closed;
  });
  std::vector<TTraceStates> traced;
  comm->SetOnTraceState([&](TObject*, TTraceStates event) { traced.push_back(event); });

  Open();
  comm->SetActive(true);  // already open: nothing happens
  EXPECT_EQ(driver->Info("COM3").opens, 1);
  comm->SetActive(false);
  EXPECT_FALSE(comm->Active());
  EXPECT_FALSE(driver->Info("COM3").open);
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(probe.codes, (std::vector<std::int32_t>{kNotifyOpened, kNotifyClosed}));
  // Close ends with a transmit-empty trace; so does the one Open runs first.
  EXPECT_EQ(traced, (std::vector<TTraceStates>{TTraceStates{tsTxEmpty}, TTraceStates{tsTxEmpty}}));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"0 spComm: The port COM3 is opened succesfully",
                                                   "0 spComm: The port is closed succesfully"}));
}

TEST_F(PortComponent, OpeningAMissingPortRaisesTheOpenError) {
  RecordingLog log;
  comm->SetLog(&log);
  comm->SetComPortNo(7);
  std::vector<std::string> reported;
  comm->SetOnFatalError(
      [&](TObject*, std::uint32_t code, std::uint32_t detail, const std::string& msg, bool&) {
        reported.push_back(std::to_string(code) + "," + std::to_string(detail) + "," + msg);
      });
  const std::string expected =
      "Device \"COM7\" Open Error !!!\rThe system cannot find the file specified";
  try {
    comm->SetActive(true);
    FAIL() << "no exception";
  } catch (const ESerialError& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(comm->LastErrorText(), expected);
  EXPECT_EQ(reported, std::vector<std::string>{"1,0," + expected});
  EXPECT_EQ(log.Lines().back(), "0 Fatal Error: 1, 0, " + expected);

  // A handler that clears the flag suppresses the exception; the port stays closed.
  comm->SetOnFatalError([](TObject*, std::uint32_t, std::uint32_t, const std::string&,
                           bool& raise) { raise = false; });
  EXPECT_NO_THROW(comm->SetActive(true));
  EXPECT_FALSE(comm->Active());
}

TEST_F(PortComponent, BusyPortIsDenied) {
  Open();
  TspComm second(nullptr, main, driver);
  second.SetComPortNo(3);
  try {
    second.SetActive(true);
    FAIL() << "no exception";
  } catch (const ESerialError& e) {
    EXPECT_EQ(std::string(e.what()), "Device \"COM3\" Open Error !!!\rAccess is denied");
  }
  EXPECT_FALSE(second.Active());
  EXPECT_TRUE(comm->Active());
}

TEST_F(PortComponent, ChangingThePortNumber) {
  ListenerProbe probe;
  comm->AddListener(probe.Event());
  comm->SetComPortNo(4);  // closed: stays closed
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(probe.codes, std::vector<std::int32_t>{kNotifyPortChanged});

  probe.codes.clear();
  Open();
  comm->SetComPortNo(3);  // open: reopened on the new number
  EXPECT_TRUE(comm->Active());
  EXPECT_TRUE(driver->Info("COM3").open);
  EXPECT_FALSE(driver->Info("COM4").open);
  EXPECT_EQ(probe.codes, (std::vector<std::int32_t>{kNotifyOpened, kNotifyClosed, kNotifyOpened,
                                                    kNotifyPortChanged}));

  probe.codes.clear();
  EXPECT_THROW(comm->SetComPortNo(9), ESerialError);  // no such port
  EXPECT_EQ(comm->ComPortNo(), 9);
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(probe.codes, std::vector<std::int32_t>{kNotifyClosed});
}

TEST_F(PortComponent, LoadingStoresActiveUntilLoaded) {
  comm->BeginLoading();
  comm->SetActive(true);
  EXPECT_TRUE(comm->Active());  // the stored value
  EXPECT_FALSE(driver->Info("COM3").open);
  comm->EndLoading();
  EXPECT_TRUE(comm->Active());
  EXPECT_TRUE(driver->Info("COM3").open);

  // A failing open while loading is swallowed and shown as an error box.
  TspComm other(nullptr, main, driver);
  other.BeginLoading();
  other.SetComPortNo(8);
  other.SetActive(true);
  EXPECT_NO_THROW(other.EndLoading());
  EXPECT_FALSE(other.Active());
  EXPECT_EQ(main.ShownExceptions(), std::vector<std::string>{"error"});
}

TEST_F(PortComponent, ReferencedComponentsAreForgottenWhenDestroyed) {
  auto log = std::make_unique<RecordingLog>();
  auto cts = std::make_unique<RecordingControl>();
  auto ring = std::make_unique<RecordingControl>();
  comm->SetLog(log.get());
  comm->SetMonitorCTS(cts.get());
  comm->SetMonitorRing(ring.get());
  log.reset();
  cts.reset();
  EXPECT_EQ(comm->Log(), nullptr);
  EXPECT_EQ(comm->MonitorCTS(), nullptr);
  EXPECT_EQ(comm->MonitorRing(), ring.get());
  Open();
  comm->SetActive(false);  // logs and traces without touching the destroyed ones
}

TEST_F(PortComponent, OrderlyCloseDiscardsUnsentOutput) {
  Open();
  driver->StallWrites("COM3", true);
  static const char kData[] = "pending";
  comm->SendData(kData, 7);
  EXPECT_EQ(driver->Info("COM3").pending_writes, 1u);
  comm->SetActive(false);
  const std::vector<DWORD> purges = driver->Info("COM3").purges;
  ASSERT_FALSE(purges.empty());
  EXPECT_EQ(purges.back(), 0x0Fu);
  EXPECT_EQ(driver->Output("COM3"), "");
}

// A close that fails part-way (here a trace handler throws while unsent output is discarded)
// still releases the handle and fires OnClose; nothing comes out of it.
TEST_F(PortComponent, CloseThatFailsPartWayStillReleasesAndFiresOnClose) {
  int closed = 0;
  comm->SetOnClose([&](TObject*) { ++closed; });
  comm->SetRS485Mode(true);  // with software RTS, discarding output drops RTS and traces it
  Open();
  driver->StallWrites("COM3", true);
  static const char kData[] = "unsent";
  comm->SendData(kData, 6);
  comm->SetOnTraceState([](TObject*, TTraceStates event) {
    if (event == TTraceStates{tsCTS}) throw std::runtime_error("trace failed");
  });
  EXPECT_NO_THROW(comm->SetActive(false));
  EXPECT_FALSE(comm->Active());
  EXPECT_FALSE(driver->Info("COM3").open);
  EXPECT_EQ(closed, 1);
}

TEST_F(PortComponent, ModemSignalsFollowTheDriver) {
  EXPECT_TRUE(comm->ModemSignals().Empty());  // closed
  driver->SetModemStatus("COM3", win::MS_CTS_ON | win::MS_RLSD_ON);
  Open();
  EXPECT_EQ(comm->ModemSignals(), (TModemSignals{msCTS, msRLSD}));
  driver->FailCalls(win::FakeCall::kGetCommModemStatus, win::ERROR_GEN_FAILURE);
  EXPECT_TRUE(comm->ModemSignals().Empty());
}

TEST_F(PortComponent, DestroyingAnOpenComponentClosesThePort) {
  Open();
  comm.reset();
  EXPECT_FALSE(driver->Info("COM3").open);
}

}  // namespace
}  // namespace veldoran::serial
