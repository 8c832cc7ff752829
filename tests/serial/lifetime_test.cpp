// Handlers that destroy their component, components destroyed before the port that refers to
// them, and one delivery per driver event; on the fake driver.
#include <gtest/gtest.h>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingEdit;
using testing::RecordingLog;

using Lifetime = FakePortTest;

TEST_F(Lifetime, AFatalErrorHandlerMayDestroyTheComponent) {
  RecordingLog log;
  comm->SetLog(&log);
  comm->SetComPortNo(7);  // not present
  comm->SetOnFatalError(
      [this](TObject*, std::uint32_t, std::uint32_t, const std::string&, bool&) { comm.reset(); });
  // The exception still reaches the caller; the log line, which belonged to the component, is
  // not written.
  EXPECT_THROW(comm->SetActive(true), ESerialError);
  EXPECT_EQ(comm, nullptr);
  EXPECT_TRUE(log.Lines().empty());

  comm = std::make_unique<TspComm>(nullptr, main, driver);
  comm->SetComPortNo(7);
  comm->SetOnFatalError(
      [this](TObject*, std::uint32_t, std::uint32_t, const std::string&, bool& raise) {
        raise = false;
        comm.reset();
      });
  EXPECT_NO_THROW(comm->SetActive(true));
  EXPECT_EQ(comm, nullptr);
}

// In RS485 mode with software RTS every send raises RTS first, which reports the line change
// to OnTraceState; a handler that destroys the component there ends the send.
TEST_F(Lifetime, ATraceHandlerReachedThroughRtsWhileSendingMayDestroyTheComponent) {
  const std::function<void(TspComm&)> sends[] = {
      [](TspComm& c) { c.SendString("0\r"); },
      [](TspComm& c) { c.SendChar('x'); },
      [](TspComm& c) { c.SendData("abc", 3); },
  };
  for (const auto& send : sends) {
    comm = std::make_unique<TspComm>(nullptr, main, driver);
    comm->SetComPortNo(3);
    comm->SetRS485Mode(true);
    Open();
    comm->SetOnTraceState([this](TObject*, TTraceStates event) {
      if (event == TTraceStates{tsCTS}) comm.reset();
    });
    send(*comm);
    EXPECT_EQ(comm, nullptr);
    EXPECT_EQ(driver->TakeOutput("COM3"), "");
    EXPECT_FALSE(driver->Info("COM3").open);
  }

  // And when a failed write drops RTS again on its way to OnCommError.
  comm = std::make_unique<TspComm>(nullptr, main, driver);
  comm->SetComPortNo(3);
  comm->SetRS485Mode(true);
  Open();
  int traced = 0;
  comm->SetOnTraceState([&](TObject*, TTraceStates) {
    if (++traced == 2) comm.reset();
  });
  bool error_reported = false;
  comm->SetOnCommError([&](TObject*, std::uint32_t, std::uint32_t, TComStateFlags, bool&) {
    error_reported = true;
  });
  driver->FailCalls(win::FakeCall::kWriteFile, win::ERROR_GEN_FAILURE);
  comm->SendString("0\r");
  EXPECT_EQ(comm, nullptr);
  EXPECT_FALSE(error_reported);
}

TEST_F(Lifetime, AClosingHandlerMayDestroyTheComponent) {
  RecordingLog log;
  comm->SetLog(&log);
  Open();
  comm->SetOnClose([this](TObject*) { comm.reset(); });
  comm->SetActive(false);
  EXPECT_EQ(comm, nullptr);
  for (const auto& line : log.Lines())
    EXPECT_EQ(line.find("closed succesfully"), std::string::npos);

  // Output still queued is purged at the close, which in RS485 mode drops RTS.
  comm = std::make_unique<TspComm>(nullptr, main, driver);
  comm->SetComPortNo(3);
  comm->SetRS485Mode(true);
  Open();
  driver->StallWrites("COM3", true);
  comm->SendData("queued", 6);
  comm->SetOnTraceState([this](TObject*, TTraceStates) { comm.reset(); });
  comm->SetActive(false);
  EXPECT_EQ(comm, nullptr);
  EXPECT_FALSE(driver->Info("COM3").open);
  driver->StallWrites("COM3", false);
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

// Each drain of the output queue is its own event and its own OnAfterSend, also when the main
// thread was busy while they happened.
TEST_F(Lifetime, EveryDriverEventIsDeliveredOnItsOwn) {
  int sent = 0;
  comm->SetOnAfterSend([&](TObject*) { ++sent; });
  comm->SetTraceStates({tsTxEmpty});
  Open();
  const auto send_and_wait_for_the_next_wait = [&](const char* text) {
    comm->SendString(text);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!driver->Info("COM3").wait_pending && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
  };
  // The first event is taken by the message thread, which then waits for the main thread; the
  // others queue behind it.
  send_and_wait_for_the_next_wait("1");
  ASSERT_TRUE(WaitForDelivery());
  send_and_wait_for_the_next_wait("2");
  send_and_wait_for_the_next_wait("3");
  ASSERT_TRUE(main.ProcessUntil([&] { return sent == 3; }));
}

// Character events are still gathered: bytes that arrived while the main thread was busy come
// as one block, whatever the number of events.
TEST_F(Lifetime, CharacterEventsWaitingTogetherAreDeliveredAsOneBlock) {
  std::vector<std::string> blocks;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    blocks.emplace_back(static_cast<const char*>(buffer), count);
  });
  Open();
  driver->InjectInput("COM3", "a");
  ASSERT_TRUE(WaitForDelivery());
  for (const char* bytes : {"b", "c", "d"}) {
    while (!driver->Info("COM3").wait_pending) std::this_thread::yield();
    driver->InjectInput("COM3", bytes);
  }
  ASSERT_TRUE(main.ProcessUntil([&] {
    std::string all;
    for (const auto& b : blocks) all += b;
    return all == "abcd";
  }));
  EXPECT_LE(blocks.size(), 2u);
}

}  // namespace
}  // namespace veldoran::serial
