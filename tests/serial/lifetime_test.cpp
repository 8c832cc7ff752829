// Handlers that destroy their component, a log destroyed before its port, and one delivery per
// driver event; on the fake driver.
#include <gtest/gtest.h>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingLog;

class Lifetime : public FakePortTest {
 protected:
  void Fresh(bool rs485) {
    comm = std::make_unique<TspComm>(nullptr, main, driver);
    comm->SetComPortNo(3);
    comm->SetRS485Mode(rs485);
    Open();
  }
  void DestroyOnTrace(int at) {
    comm->SetOnTraceState([this, at, calls = 0](TObject*, TTraceStates) mutable {
      if (++calls == at) comm.reset();
    });
  }
};

TEST_F(Lifetime, AFatalErrorHandlerMayDestroyTheComponent) {
  RecordingLog log;
  comm->SetLog(&log);
  comm->SetComPortNo(7);  // not present
  comm->SetOnFatalError(
      [this](TObject*, std::uint32_t, std::uint32_t, const std::string&, bool&) { comm.reset(); });
  // The exception still reaches the caller; the log line went with the component.
  EXPECT_THROW(comm->SetActive(true), ESerialError);
  EXPECT_EQ(comm, nullptr);
  EXPECT_TRUE(log.Lines().empty());
}

// In RS485 mode with software RTS a send raises RTS first and a failed write drops it again,
// each reported to OnTraceState; a handler that destroys the component there ends the send.
TEST_F(Lifetime, ATraceHandlerReachedThroughRtsWhileSendingMayDestroyTheComponent) {
  for (const char* how : {"string", "char", "data", "failed write"}) {
    SCOPED_TRACE(how);
    Fresh(true);
    bool error_reported = false;
    comm->SetOnCommError([&](TObject*, std::uint32_t, std::uint32_t, TComStateFlags, bool&) {
      error_reported = true;
    });
    const std::string_view kind = how;
    DestroyOnTrace(kind == "failed write" ? 2 : 1);
    if (kind == "failed write")
      driver->FailCalls(win::FakeCall::kWriteFile, win::ERROR_GEN_FAILURE);
    if (kind == "char") {
      comm->SendChar('x');
    } else if (kind == "data") {
      comm->SendData("abc", 3);
    } else {
      comm->SendString("0\r");
    }
    EXPECT_EQ(comm, nullptr);
    EXPECT_FALSE(error_reported);
    EXPECT_EQ(driver->TakeOutput("COM3"), "");
    EXPECT_FALSE(driver->Info("COM3").open);
  }
}

TEST_F(Lifetime, AClosingHandlerMayDestroyTheComponent) {
  RecordingLog log;
  comm->SetLog(&log);
  Open();
  comm->SetOnClose([this](TObject*) { comm.reset(); });
  comm->SetActive(false);
  EXPECT_EQ(comm, nullptr);
  EXPECT_EQ(log.Lines().back().find("closed succesfully"), std::string::npos);

  // Output still queued is purged at the close, which in RS485 mode drops RTS.
  Fresh(true);
  driver->StallWrites("COM3", true);
  comm->SendData("queued", 6);
  DestroyOnTrace(1);
  comm->SetActive(false);
  EXPECT_EQ(comm, nullptr);
  EXPECT_FALSE(driver->Info("COM3").open);
}

TEST_F(Lifetime, ALogDestroyedFirstIsNeverWrittenAgain) {
  auto log = std::make_unique<RecordingLog>();
  comm->SetLog(log.get());
  Open();
  log.reset();
  EXPECT_EQ(comm->Log(), nullptr);
  comm->SendString("0\r");
  comm->SetActive(false);
  EXPECT_EQ(driver->Output("COM3"), "0\r");
}

// Each drain of the output queue is its own event and its own OnAfterSend, also when they
// happen while the main thread is busy; character events waiting then are still gathered.
TEST_F(Lifetime, EveryDriverEventIsDeliveredOnItsOwnButWaitingInputIsGathered) {
  int sent = 0;
  std::string received;
  int blocks = 0;
  comm->SetOnAfterSend([&](TObject*) { ++sent; });
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
    ++blocks;
  });
  comm->SetTraceStates({tsTxEmpty});
  Open();
  const auto next_wait = [&] {
    while (!driver->Info("COM3").wait_pending) std::this_thread::yield();
  };
  // The first event is taken by the message thread, which then waits for the main thread; the
  // others queue behind it.
  comm->SendString("1");
  next_wait();
  ASSERT_TRUE(WaitForDelivery());
  for (const char* text : {"2", "3"}) {
    comm->SendString(text);
    next_wait();
  }
  for (const char* bytes : {"a", "b", "c"}) {
    driver->InjectInput("COM3", bytes);
    next_wait();
  }
  ASSERT_TRUE(main.ProcessUntil([&] { return sent == 3 && received == "abc"; }));
  EXPECT_EQ(blocks, 1);
}

// A listener that destroys the component: the notification ends at once, a later listener is
// not called, and a port switch that closed the port does not reopen it on another number.
struct Destroyer {
  std::unique_ptr<TspComm>* comm;
  std::int32_t on_code;
  std::vector<std::int32_t> heard;
  void Heard(TObject*, std::int32_t code) {
    heard.push_back(code);
    if (code == on_code) comm->reset();
  }
  TspNotifyEvent Event() { return TspNotifyEvent::Of<Destroyer, &Destroyer::Heard>(this); }
};

TEST_F(Lifetime, AListenerMayDestroyTheComponentDuringANotificationOrAPortSwitch) {
  struct Case {
    const char* name;
    std::int32_t destroy_on;
    std::vector<std::int32_t> first, second;  // what each listener hears
  };
  // Destroying an open component tells every listener that the port closed; nothing follows.
  const Case cases[] = {
      {"notification", kNotifyPortChanged, {kNotifyPortChanged, kNotifyClosed}, {kNotifyClosed}},
      {"switch", kNotifyClosed, {kNotifyClosed}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(false);
    Destroyer first{&comm, c.destroy_on, {}}, second{&comm, 0, {}};
    comm->AddListener(first.Event());
    comm->AddListener(second.Event());
    if (c.destroy_on == kNotifyPortChanged) {
      comm->NotifyListeners(kNotifyPortChanged);
    } else {
      comm->SetComPortNo(4);
    }
    EXPECT_EQ(comm, nullptr);
    EXPECT_EQ(first.heard, c.first);
    EXPECT_EQ(second.heard, c.second);
    EXPECT_FALSE(driver->Info("COM3").open);
    EXPECT_EQ(driver->Info("COM4").opens, 0);
  }
}

}  // namespace
}  // namespace veldoran::serial
