// Receive delivery through the worker threads, on the fake driver.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingControl;
using win::DWORD;

class Delivery : public FakePortTest {
 protected:
  // Collects the received blocks, checking each arrives on the main thread.
  void CollectBlocks() {
    comm->SetOnAfterReceive([this](TObject* com, void* buffer, std::uint32_t count) {
      EXPECT_EQ(com, comm.get());
      EXPECT_TRUE(main.IsMainThread());
      std::lock_guard lock(mutex);
      blocks.emplace_back(static_cast<const char*>(buffer), count);
    });
  }
  std::string Received() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const auto& b : blocks) all += b;
    return all;
  }
  std::size_t BlockCount() {
    std::lock_guard lock(mutex);
    return blocks.size();
  }
  bool ReceiveUntil(const std::string& expected) {
    return main.ProcessUntil([&] { return Received().size() >= expected.size(); }) &&
           Received() == expected;
  }

  std::mutex mutex;
  std::vector<std::string> blocks;
};

TEST_F(Delivery, BlocksArriveInOrderOnTheMainThread) {
  CollectBlocks();
  Open();
  driver->InjectInput("COM3", "S01");
  ASSERT_TRUE(ReceiveUntil("S01"));
  driver->InjectInput("COM3", std::string("\0\xA5\r", 3));
  driver->InjectInput("COM3", "tail");
  ASSERT_TRUE(ReceiveUntil(std::string("S01\0\xA5\rtail", 10)));
}

TEST_F(Delivery, WithoutReceiversInputStaysQueued) {
  Open();
  driver->InjectInput("COM3", "abc");
  ASSERT_TRUE(WaitForDelivery());
  main.ProcessMessages();  // the event is handled: nothing to hand the bytes to
  EXPECT_EQ(driver->Info("COM3").reads, 0);
  EXPECT_EQ(driver->InputQueued("COM3"), 3u);

  CollectBlocks();
  driver->InjectInput("COM3", "de");
  ASSERT_TRUE(ReceiveUntil("abcde"));
  EXPECT_EQ(BlockCount(), 1u);
}

TEST_F(Delivery, TracingRxCharReadsWithoutReceivers) {
  comm->SetTraceStates({tsRxChar});
  Open();
  driver->InjectInput("COM3", "abc");
  ASSERT_TRUE(main.ProcessUntil([&] { return driver->InputQueued("COM3") == 0; }));
  EXPECT_EQ(driver->Info("COM3").reads, 1);
}

TEST_F(Delivery, LineErrorIsReportedAloneAndTheDataFollowsWithTheNextEvent) {
  CollectBlocks();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> errors;
  comm->SetOnCommError(
      [&](TObject*, std::uint32_t code, std::uint32_t sys, TComStateFlags state, bool&) {
        EXPECT_TRUE(state.Empty());
        errors.emplace_back(code, sys);
      });
  Open();
  driver->RaiseLineError("COM3", win::CE_FRAME);  // EV_ERR is not watched: no event of its own
  driver->InjectInput("COM3", "xy");
  ASSERT_TRUE(main.ProcessUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{win::CE_FRAME, 0}}));
  EXPECT_EQ(BlockCount(), 0u);
  driver->InjectInput("COM3", "z");
  ASSERT_TRUE(ReceiveUntil("xyz"));
}

// Input that arrives while a block is handled is fetched with the same event; a line error met
// then is reported and ends the reading, but the rest of the event (output drained, the trace
// notification) is still handled.
TEST_F(Delivery, LineErrorMetWhileFetchingMoreLeavesTheRestOfTheEventHandled) {
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    blocks.emplace_back(static_cast<const char*>(buffer), count);
    if (blocks.size() == 1) {
      driver->InjectInput("COM3", "more");
      driver->RaiseLineError("COM3", win::CE_FRAME);
    }
  });
  std::vector<std::uint32_t> errors;
  comm->SetOnCommError([&](TObject*, std::uint32_t code, std::uint32_t, TComStateFlags, bool&) {
    errors.push_back(code);
  });
  int sent = 0;
  comm->SetOnAfterSend([&](TObject*) { ++sent; });
  std::vector<TTraceStates> traced;
  comm->SetOnTraceState([&](TObject*, TTraceStates event) { traced.push_back(event); });
  comm->SetTraceStates({tsTxEmpty, tsCTS});
  Open();
  traced.clear();
  driver->InjectInput("COM3", "a");
  // Handled here, at once, as one event word that carries all three.
  comm->ProcessCommEvent({spCommMsgComEvent, win::EV_RXCHAR | win::EV_TXEMPTY | win::EV_CTS, 0});
  EXPECT_EQ(blocks, std::vector<std::string>{"a"});
  EXPECT_EQ(errors, std::vector<std::uint32_t>{win::CE_FRAME});
  EXPECT_EQ(sent, 1);
  EXPECT_EQ(traced, std::vector<TTraceStates>{TTraceStates{tsCTS}});
  ASSERT_TRUE(main.ProcessUntil([&] { return blocks.size() == 2; }));  // with the next event
  EXPECT_EQ(blocks.back(), "more");
  comm->SetActive(false);
}

TEST_F(Delivery, OnAfterSendFiresEachTimeTheOutputDrains) {
  int sent = 0;
  comm->SetOnAfterSend([&](TObject*) { ++sent; });
  comm->SetTraceStates({tsTxEmpty});
  Open();
  comm->SendString("0\r");
  ASSERT_TRUE(main.ProcessUntil([&] { return sent == 1; }));
  comm->SendString("3\r");
  ASSERT_TRUE(main.ProcessUntil([&] { return sent == 2; }));
}

TEST_F(Delivery, ClosingWhileABlockIsDeliveredDeliversNoOther) {
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    blocks.emplace_back(static_cast<const char*>(buffer), count);
    comm->SetActive(false);
    // The block stays readable until the handler returns.
    EXPECT_EQ(std::string(static_cast<const char*>(buffer), count), blocks.back());
  });
  Open();
  driver->InjectInput("COM3", "a");
  ASSERT_TRUE(WaitForDelivery());
  // A second event is posted while the first waits for the main thread.
  driver->InjectInput("COM3", "b");
  ASSERT_TRUE(main.ProcessUntil([&] { return !blocks.empty(); }));
  ASSERT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
  main.ProcessMessages();
  EXPECT_EQ(blocks.size(), 1u);
  EXPECT_FALSE(comm->Active());
}

TEST_F(Delivery, MoreThanTheBufferHoldsComesInSeveralBlocks) {
  CollectBlocks();
  Open();
  ASSERT_EQ(comm->ReceiveBufferSize(), 8192u);
  std::string big(20000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  driver->InjectInput("COM3", big);
  ASSERT_TRUE(ReceiveUntil(big));
  std::lock_guard lock(mutex);
  ASSERT_EQ(blocks.size(), 3u);
  for (const auto& block : blocks) EXPECT_LE(block.size(), 8192u);
}

TEST_F(Delivery, FailingErrorQueryDeliversNothing) {
  CollectBlocks();
  Open();
  driver->FailCalls(win::FakeCall::kClearCommError, win::ERROR_INVALID_HANDLE);
  driver->InjectInput("COM3", "lost?");
  ASSERT_TRUE(WaitForDelivery());
  main.ProcessMessages();
  EXPECT_EQ(BlockCount(), 0u);
  driver->InjectInput("COM3", "no");
  ASSERT_TRUE(ReceiveUntil("lost?no"));
}

TEST_F(Delivery, HandlerExceptionIsShownAndDeliveryGoesOn) {
  int calls = 0;
  comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t) {
    if (++calls == 1) throw std::runtime_error("handler failed");
  });
  Open();
  driver->InjectInput("COM3", "1");
  ASSERT_TRUE(main.ProcessUntil([&] { return calls == 1; }));
  driver->InjectInput("COM3", "2");
  ASSERT_TRUE(main.ProcessUntil([&] { return calls == 2; }));
  EXPECT_EQ(main.ShownExceptions(), std::vector<std::string>{"handler failed"});
  EXPECT_TRUE(comm->Active());
}

// An exception that event processing does not report itself stops where the message thread
// hands the event over: it neither ends the message thread (and with it the program) nor runs
// into the main thread's processing of messages. It is shown, and delivery goes on.
TEST_F(Delivery, AnyExceptionFromAHandlerStopsAtTheThreadBoundary) {
  std::atomic<int> calls{0};
  comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t) {
    if (++calls == 1) throw 42;  // of no std::exception type
  });
  comm->SetUseMainThread(false);
  Open();
  driver->InjectInput("COM3", "1");
  ASSERT_TRUE(main.ProcessUntil([&] { return calls == 1 && !main.ShownExceptions().empty(); }));
  driver->InjectInput("COM3", "2");
  ASSERT_TRUE(main.ProcessUntil([&] { return calls == 2; }));

  comm->SetUseMainThread(true);
  calls = 0;
  driver->InjectInput("COM3", "3");
  EXPECT_NO_THROW(EXPECT_TRUE(main.ProcessUntil([&] { return calls == 1; })));
  driver->InjectInput("COM3", "4");
  EXPECT_NO_THROW(EXPECT_TRUE(main.ProcessUntil([&] { return calls == 2; })));
  EXPECT_EQ(main.ShownExceptions(),
            (std::vector<std::string>{"Unknown exception", "Unknown exception"}));
  EXPECT_TRUE(comm->Active());
}

TEST_F(Delivery, ListenerExceptionWhileABrokenPortClosesIsShown) {
  struct Listener {
    void OnNotify(TObject*, std::int32_t code) {
      if (code == kNotifyClosed) throw std::runtime_error("listener failed");
    }
  } listener;
  const auto event = TspNotifyEvent::Of<Listener, &Listener::OnNotify>(&listener);
  comm->AddListener(event);
  Open();
  driver->Unplug("COM3");
  EXPECT_NO_THROW(EXPECT_TRUE(main.ProcessUntil([&] { return !comm->Active(); })));
  EXPECT_EQ(main.ShownExceptions(), std::vector<std::string>{"listener failed"});
  comm->RemoveListener(event);
}

TEST_F(Delivery, WithoutTheMainThreadHandlersRunOnTheMessageThread) {
  std::atomic<bool> on_main{true};
  std::atomic<int> received{0};
  comm->SetUseMainThread(false);
  comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t count) {
    on_main = main.IsMainThread();
    received += static_cast<int>(count);
  });
  Open();
  driver->InjectInput("COM3", "abc");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (received < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(received, 3);
  EXPECT_FALSE(on_main);
  EXPECT_EQ(main.PendingSynchronizeCount(), 0);
}

TEST_F(Delivery, DestroyingTheComponentWhileADeliveryWaits) {
  bool called = false;
  comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t) { called = true; });
  Open();
  driver->InjectInput("COM3", "late");
  ASSERT_TRUE(WaitForDelivery());
  comm.reset();
  main.ProcessMessages();  // the queued delivery finds the component gone
  EXPECT_FALSE(called);
  EXPECT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
}

// A handler may destroy its own component (the window closing from inside a delivery): the
// processing of that event ends with the handler and touches the component no more.
TEST_F(Delivery, HandlerThatDestroysTheComponentEndsTheEvent) {
  // The receive handler.
  comm->SetOnAfterReceive([this](TObject*, void*, std::uint32_t) { comm.reset(); });
  Open();
  driver->InjectInput("COM3", "x");
  ASSERT_TRUE(main.ProcessUntil([&] { return comm == nullptr; }));
  EXPECT_FALSE(driver->Info("COM3").open);

  // The error handler, asking for both queues to be discarded.
  comm = std::make_unique<TspComm>(nullptr, main, driver);
  comm->SetComPortNo(3);
  comm->SetOnCommError([this](TObject*, std::uint32_t, std::uint32_t, TComStateFlags, bool& flush) {
    flush = true;
    comm.reset();
  });
  Open();
  driver->RaiseLineError("COM3", win::CE_OVERRUN);
  driver->InjectInput("COM3", "y");
  ASSERT_TRUE(main.ProcessUntil([&] { return comm == nullptr; }));
  EXPECT_FALSE(driver->Info("COM3").open);

  // OnClose, when the adapter was unplugged.
  comm = std::make_unique<TspComm>(nullptr, main, driver);
  comm->SetComPortNo(3);
  comm->SetOnClose([this](TObject*) { comm.reset(); });
  Open();
  driver->Unplug("COM3");
  ASSERT_TRUE(main.ProcessUntil([&] { return comm == nullptr; }));
  EXPECT_FALSE(driver->Info("COM3").open);
  EXPECT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
}

TEST_F(Delivery, MainThreadGoingAwayReleasesTheMessageThread) {
  auto own_main = std::make_unique<LoopMainThread>();
  auto own = std::make_unique<TspComm>(nullptr, *own_main, driver);
  own->SetComPortNo(4);
  own->SetOnAfterReceive([](TObject*, void*, std::uint32_t) {});
  own->SetActive(true);
  driver->InjectInput("COM4", "x");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (own_main->PendingSynchronizeCount() == 0 && std::chrono::steady_clock::now() < deadline) {
    own_main->Queue()->WaitForRequest(deadline);
  }
  ASSERT_EQ(own_main->PendingSynchronizeCount(), 1);
  own_main->Close();                           // the main thread shuts down while a delivery waits
  EXPECT_FALSE(own_main->Synchronize([] {}));  // refused from now on
  own.reset();
  own_main.reset();
  EXPECT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
}

TEST_F(Delivery, UnpluggedAdapterClosesThePortOnTheMainThread) {
  std::vector<std::int32_t> codes;
  struct Listener {
    std::vector<std::int32_t>* codes;
    LoopMainThread* main;
    void OnNotify(TObject*, std::int32_t code) {
      EXPECT_TRUE(main->IsMainThread());
      codes->push_back(code);
    }
  } listener{&codes, &main};
  comm->AddListener(TspNotifyEvent::Of<Listener, &Listener::OnNotify>(&listener));
  int closed = 0;
  comm->SetOnClose([&](TObject*) {
    EXPECT_TRUE(main.IsMainThread());
    ++closed;
  });
  // Drivers report it either way: every call fails, or waits are still taken and end aborted.
  for (const bool waits_still_pend : {false, true}) {
    SCOPED_TRACE(waits_still_pend ? "waits still pend" : "calls fail");
    codes.clear();
    closed = 0;
    Open();
    driver->Unplug("COM3", waits_still_pend);
    ASSERT_TRUE(main.ProcessUntil([&] { return !comm->Active(); }));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(codes, (std::vector<std::int32_t>{kNotifyOpened, kNotifyClosed}));
    EXPECT_FALSE(driver->Info("COM3").open);
  }
  // The port can be opened again. (Closed here: the handlers count into this test's locals.)
  Open();
  comm->SetActive(false);
  EXPECT_EQ(closed, 2);
  comm->RemoveListener(TspNotifyEvent::Of<Listener, &Listener::OnNotify>(&listener));
}

// The operator closes the port while the shutdown of the unplugged adapter is on its way (to
// the main thread, or running on the message thread): the port closes once.
TEST_F(Delivery, CloseRacingTheShutdownOfAnUnpluggedAdapterClosesOnce) {
  struct Listener {
    std::atomic<int> closed{0};
    void OnNotify(TObject*, std::int32_t code) {
      if (code == kNotifyClosed) ++closed;
    }
  } listener;
  const auto event = TspNotifyEvent::Of<Listener, &Listener::OnNotify>(&listener);
  comm->AddListener(event);
  std::atomic<int> closed{0};
  comm->SetOnClose([&](TObject*) { ++closed; });
  for (const bool use_main_thread : {true, false}) {
    SCOPED_TRACE(use_main_thread ? "on the main thread" : "on the message thread");
    closed = 0;
    listener.closed = 0;
    comm->SetUseMainThread(use_main_thread);
    Open();
    driver->Unplug("COM3");
    if (use_main_thread) {
      ASSERT_TRUE(WaitForDelivery());
    }
    comm->SetActive(false);
    ASSERT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
    main.ProcessMessages();
    EXPECT_FALSE(comm->Active());
    EXPECT_FALSE(driver->Info("COM3").open);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(listener.closed, 1);
  }
  comm->RemoveListener(event);
  comm->SetOnClose(nullptr);
}

TEST_F(Delivery, TraceEventsDriveTheMonitorControls) {
  RecordingControl cts, dsr, ring;
  RecordingControl no_checked_state(false);
  comm->SetMonitorCTS(&cts);
  comm->SetMonitorDSR(&dsr);
  comm->SetMonitorRing(&ring);
  comm->SetMonitorRLSD(&no_checked_state);
  std::vector<TTraceStates> traced;
  comm->SetOnTraceState([&](TObject*, TTraceStates event) { traced.push_back(event); });
  comm->SetTraceStates({tsCTS, tsRing});
  Open();
  traced.clear();
  driver->SetModemStatus("COM3", win::MS_CTS_ON | win::MS_RING_ON);
  ASSERT_TRUE(main.ProcessUntil([&] { return !traced.empty(); }));
  EXPECT_EQ(traced.back(), (TTraceStates{tsCTS, tsRing}));
  EXPECT_TRUE(cts.checked());
  EXPECT_FALSE(dsr.checked());
  EXPECT_TRUE(ring.checked());

  // An event without the ring leaves the ring monitor as it was.
  driver->SetModemStatus("COM3", 0);
  ASSERT_TRUE(main.ProcessUntil([&] { return traced.size() == 2; }));
  EXPECT_EQ(traced.back(), TTraceStates{tsCTS});
  EXPECT_FALSE(cts.checked());
  EXPECT_TRUE(ring.checked());
}

}  // namespace
}  // namespace veldoran::serial
