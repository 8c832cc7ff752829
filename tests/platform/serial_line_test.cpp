// The serial backend against a real terminal line, the same test bodies for both backends:
// termios on a pseudo-terminal on POSIX, the real Win32 communications API on a pseudo-terminal
// given to Wine as a COM port (tests/line). Calls are made as Windows wants them on a port
// opened for overlapped I/O: with an OVERLAPPED block, waiting for the pending ones.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "line.h"
#include "platform/kernel_objects.h"

namespace veldoran::win {
namespace {

using namespace std::chrono_literals;
using veldoran::testing::Line;
using veldoran::testing::OnWindows;
using veldoran::testing::OnWine;

// A control block with its own event, closed with the block.
struct Overlapped {
  explicit Overlapped(SerialApi& api) : api(api) { block.hEvent = api.CreateEventA(TRUE, FALSE); }
  ~Overlapped() { api.CloseHandle(block.hEvent); }
  SerialApi& api;
  OVERLAPPED block{};
};

// Runs an overlapped call to its end: (TRUE, bytes transferred) or (FALSE, error).
template <class Call>
std::pair<BOOL, DWORD> Finish(SerialApi& api, HANDLE handle, Overlapped& ov, Call call) {
  DWORD done = 0;
  BOOL ok = call(&done, &ov.block);
  if (!ok && api.GetLastError() == ERROR_IO_PENDING) {
    ok = api.GetOverlappedResult(handle, &ov.block, &done, TRUE);
  }
  return {ok, ok ? done : api.GetLastError()};
}

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = Open(line.PortName());
    ASSERT_NE(handle, InvalidHandle()) << api->SysErrorMessage(api->GetLastError());
    ASSERT_TRUE(api->SetCommMask(handle, EV_RXCHAR));
  }
  void TearDown() override {
    if (handle != InvalidHandle()) api->CloseHandle(handle);
  }

  HANDLE Open(const std::string& name) {
    const std::string path = "\\\\?\\" + name;
    return api->CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED);
  }

  // Waits for one event on a helper thread, so a wait that never ends fails the test instead
  // of hanging it: (TRUE, event word) or (FALSE, error).
  std::future<std::pair<BOOL, DWORD>> StartWait() {
    return std::async(std::launch::async, [this] {
      Overlapped ov(*api);
      DWORD word = 0;
      const auto [ok, error] = Finish(*api, handle, ov, [&](DWORD*, OVERLAPPED* block) {
        return api->WaitCommEvent(handle, &word, block);
      });
      return std::make_pair(ok, ok ? word : error);
    });
  }

  std::string ReadBytes(DWORD count) {
    std::string buffer(count, '\0');
    Overlapped ov(*api);
    const auto [ok, done] = Finish(*api, handle, ov, [&](DWORD* read, OVERLAPPED* block) {
      return api->ReadFile(handle, buffer.data(), count, read, block);
    });
    EXPECT_TRUE(ok) << api->SysErrorMessage(done);
    buffer.resize(ok ? done : 0);
    return buffer;
  }

  std::pair<BOOL, DWORD> WriteBytes(std::string_view bytes) {
    Overlapped ov(*api);
    return Finish(*api, handle, ov, [&](DWORD* written, OVERLAPPED* block) {
      return api->WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), written, block);
    });
  }

  // Waits until the port has `count` bytes queued (or 20 s passed); returns what it has.
  DWORD WaitForInput(DWORD count) {
    COMSTAT status{};
    DWORD errors = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (api->ClearCommError(handle, &errors, &status) && status.cbInQue >= count) break;
      std::this_thread::sleep_for(1ms);
    }
    return status.cbInQue;
  }

  // Ends a pending wait by setting the mask again. On Windows the wait ends with an empty event
  // word; Wine ends it "operation aborted" instead.
  void ReleaseWait(std::future<std::pair<BOOL, DWORD>>& wait) {
    while (wait.wait_for(10ms) != std::future_status::ready) api->SetCommMask(handle, EV_RXCHAR);
    const auto [ok, word] = wait.get();
    if (OnWine() && !ok) {
      EXPECT_EQ(word, ERROR_OPERATION_ABORTED);
    } else {
      EXPECT_EQ(std::make_pair(ok, word), std::make_pair(TRUE, DWORD{0}));
    }
  }

  Line line;
  std::shared_ptr<SerialApi> api = veldoran::testing::LineSerialApi();
  HANDLE handle = InvalidHandle();
};

TEST_F(SerialLineTest, MissingPortFailsWithTheSystemsText) {
  EXPECT_EQ(Open("COM251"), InvalidHandle());
  EXPECT_EQ(api->GetLastError(), ERROR_FILE_NOT_FOUND);
  const std::string text = api->SysErrorMessage(ERROR_FILE_NOT_FOUND);
  if (OnWine()) {
    EXPECT_EQ(text, "File not found");  // Wine's own wording of the Windows message
  } else if (OnWindows()) {
    EXPECT_EQ(text, "The system cannot find the file specified");
  } else {
    EXPECT_EQ(text, "No such file or directory");
  }
}

TEST_F(SerialLineTest, SecondOpenIsDeniedUntilTheFirstIsClosed) {
  const HANDLE second = Open(line.PortName());
  if (OnWine()) {
    // Wine opens a terminal any number of times; there is no exclusive open to check.
    if (second != InvalidHandle()) api->CloseHandle(second);
    return;
  }
  EXPECT_EQ(second, InvalidHandle());
  EXPECT_EQ(api->GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(api->CloseHandle(handle));
  handle = Open(line.PortName());
  EXPECT_NE(handle, InvalidHandle());
}

// A pseudo-terminal keeps speed, stop bits and flow control (it forces 8 bits, no parity).
TEST_F(SerialLineTest, SetCommStateReachesTheDevice) {
  DCB dcb = DefaultCommConfig().dcb;
  dcb.BaudRate = 57600;
  dcb.StopBits = TWOSTOPBITS;
  dcb.Flags = dcbflag::fBinary | dcbflag::fOutX | dcbflag::fInX;
  ASSERT_TRUE(api->SetCommState(handle, &dcb));
  auto settings = line.Settings();
  EXPECT_EQ(settings.baud, 57600u);
  EXPECT_TRUE(settings.two_stop_bits);
  EXPECT_TRUE(settings.xon_xoff_out);
  EXPECT_TRUE(settings.xon_xoff_in);
  EXPECT_FALSE(settings.rts_cts);

  dcb.BaudRate = 19200;
  dcb.StopBits = ONESTOPBIT;
  dcb.Flags = dcbflag::fBinary | dcbflag::fOutxCtsFlow |
              (RTS_CONTROL_HANDSHAKE << dcbflag::fRtsControlShift);
  ASSERT_TRUE(api->SetCommState(handle, &dcb));
  settings = line.Settings();
  EXPECT_EQ(settings.baud, 19200u);
  EXPECT_FALSE(settings.two_stop_bits);
  EXPECT_TRUE(settings.rts_cts);
  EXPECT_FALSE(settings.xon_xoff_out || settings.xon_xoff_in);
}

TEST_F(SerialLineTest, NewInputFiresOnceAndIsReadInOrder) {
  line.Write("abc");
  auto first = StartWait();
  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(first.get(), std::make_pair(TRUE, EV_RXCHAR));

  // The same unread input does not fire again: only the mask change ends this wait.
  auto second = StartWait();
  if (OnWine()) {
    // Wine reports input still unread to every new wait, not only its arrival.
    ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(second.get(), std::make_pair(TRUE, EV_RXCHAR));
  } else {
    ReleaseWait(second);
  }

  // More input does.
  auto third = StartWait();
  line.Write("de");
  ASSERT_EQ(third.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(third.get(), std::make_pair(TRUE, EV_RXCHAR));

  ASSERT_EQ(WaitForInput(5), 5u);
  DWORD errors = 99;
  COMSTAT status{};
  ASSERT_TRUE(api->ClearCommError(handle, &errors, &status));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(ReadBytes(5), "abcde");
  ASSERT_TRUE(api->ClearCommError(handle, &errors, &status));
  EXPECT_EQ(status.cbInQue, 0u);
}

TEST_F(SerialLineTest, WritesReachTheOtherSideAndTxEmptyFollows) {
  ASSERT_TRUE(api->SetCommMask(handle, EV_RXCHAR | EV_TXEMPTY));
  auto wait = StartWait();
  EXPECT_EQ(WriteBytes("0\r"), std::make_pair(TRUE, DWORD{2}));
  EXPECT_EQ(line.Read(2), "0\r");
  ASSERT_EQ(wait.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(wait.get(), std::make_pair(TRUE, EV_TXEMPTY));
}

TEST_F(SerialLineTest, HangUpFailsTheWait) {
  auto wait = StartWait();
  line.HangUp();
  ASSERT_EQ(wait.wait_for(20s), std::future_status::ready);
  const auto [ok, error] = wait.get();
  EXPECT_FALSE(ok);
  if (!OnWindows()) {
    EXPECT_EQ(error, ERROR_BAD_COMMAND);
  }
  // Windows drivers report an unplug with several codes (access denied, aborted, bad command);
  // what counts is that the wait fails rather than reporting events that never come.
}

TEST_F(SerialLineTest, CloseHandleReleasesAWaitAndTheHandleGoesStale) {
  auto wait = StartWait();
  std::this_thread::sleep_for(20ms);  // usually pending by now; either order must work
  ASSERT_TRUE(api->CloseHandle(handle));
  ASSERT_EQ(wait.wait_for(20s), std::future_status::ready);
  const auto [ok, error] = wait.get();
  EXPECT_FALSE(ok);
  // Windows ends the I/O of a closed handle as cancelled; a call on it fails as invalid.
  EXPECT_TRUE(error == ERROR_INVALID_HANDLE || (OnWindows() && error == ERROR_OPERATION_ABORTED))
      << error;
  DWORD errors = 0;
  EXPECT_FALSE(api->ClearCommError(handle, &errors, nullptr));
  EXPECT_EQ(api->GetLastError(), ERROR_INVALID_HANDLE);
  handle = InvalidHandle();
}

TEST_F(SerialLineTest, PurgeDropsQueuedInput) {
  line.Write("stale");
  ASSERT_EQ(WaitForInput(5), 5u);
  ASSERT_TRUE(api->PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR));
  DWORD errors = 0;
  COMSTAT status{};
  ASSERT_TRUE(api->ClearCommError(handle, &errors, &status));
  EXPECT_EQ(status.cbInQue, 0u);
  line.Write("new");
  ASSERT_EQ(WaitForInput(3), 3u);
  EXPECT_EQ(ReadBytes(3), "new");
}

TEST_F(SerialLineTest, WhatArrivedWhileClosedIsNotReadAfterTheNextOpen) {
  api->CloseHandle(handle);
  line.Write("sent while the port was closed");
  std::this_thread::sleep_for(50ms);  // let the line discipline take it
  handle = Open(line.PortName());
  ASSERT_NE(handle, InvalidHandle());
  if (OnWine()) {
    // Wine hands over what the terminal kept while no one had it open; Windows drivers do not
    // receive while closed. The port's owner purges it.
    api->PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR);
  }
  line.Write("new");
  ASSERT_GE(WaitForInput(3), 3u);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(WaitForInput(3), 3u);
  EXPECT_EQ(ReadBytes(3), "new");
}

TEST_F(SerialLineTest, PseudoTerminalHasNoModemLinesButLineCallsSucceed) {
  DWORD modem = 99;
  EXPECT_TRUE(api->GetCommModemStatus(handle, &modem));
  EXPECT_EQ(modem, 0u);
  EXPECT_TRUE(api->EscapeCommFunction(handle, SETDTR));
  EXPECT_TRUE(api->EscapeCommFunction(handle, CLRRTS));
  EXPECT_FALSE(api->EscapeCommFunction(handle, 77));
}

TEST_F(SerialLineTest, WriteHeldByXoffEndsAtItsTimeout) {
  DCB dcb = DefaultCommConfig().dcb;
  dcb.Flags |= dcbflag::fOutX;
  ASSERT_TRUE(api->SetCommState(handle, &dcb));
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutMultiplier = 20;
  ASSERT_TRUE(api->SetCommTimeouts(handle, &timeouts));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(api->GetCommTimeouts(handle, &back));
  EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 20u);
  // XOFF: the port may not send. The marker after it shows when the line discipline has
  // taken the XOFF (input is processed in order, asynchronously).
  line.Write("\x13M");
  ASSERT_EQ(WaitForInput(1), 1u);
  const auto start = std::chrono::steady_clock::now();
  const auto [ok, written] = WriteBytes("hello\r");
  if (OnWine()) {
    // Wine fails a write its time-out ended; Windows reports it done with fewer bytes.
    EXPECT_EQ(std::make_pair(ok, written), std::make_pair(FALSE, ERROR_TIMEOUT));
    line.Write("\x11");
    return;
  }
  ASSERT_TRUE(ok);
  EXPECT_LT(written, 6u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  line.Write("\x11");  // XON
  EXPECT_EQ(WriteBytes("ok"), std::make_pair(TRUE, DWORD{2}));
}

}  // namespace
}  // namespace veldoran::win
