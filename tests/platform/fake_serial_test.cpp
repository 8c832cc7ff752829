// The in-memory driver and the shared kernel objects (events, overlapped completion).
#include "platform/fake/fake_serial.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace veldoran::win {
namespace {

using namespace std::chrono_literals;

TEST(KernelEvents, AutoResetManualResetPulseAndTimeout) {
  FakeSerialDriver kernel;
  const HANDLE automatic = kernel.CreateEventA(FALSE, TRUE);
  EXPECT_EQ(kernel.WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(kernel.WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);  // reset by the wait

  const HANDLE manual = kernel.CreateEventA(TRUE, FALSE);
  kernel.SetEvent(manual);
  EXPECT_EQ(kernel.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(kernel.WaitForSingleObject(manual, 0), WAIT_OBJECT_0);  // stays set
  kernel.ResetEvent(manual);
  EXPECT_EQ(kernel.WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  // A pulse with nobody waiting is lost; one with a waiter releases it.
  kernel.PulseEvent(automatic);
  EXPECT_EQ(kernel.WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  auto waiter = std::async(std::launch::async,
                           [&] { return kernel.WaitForSingleObject(automatic, INFINITE); });
  while (waiter.wait_for(5ms) != std::future_status::ready) kernel.PulseEvent(automatic);
  EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);

  ASSERT_TRUE(kernel.CloseHandle(automatic));
  EXPECT_EQ(kernel.WaitForSingleObject(automatic, 0), WAIT_FAILED);
  EXPECT_EQ(kernel.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(kernel.CloseHandle(automatic));
  kernel.CloseHandle(manual);
}

class FakeDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver.AddPort("COM3");
    handle = driver.CreateFileA("\\\\?\\COM3", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle, InvalidHandle());
    overlapped.hEvent = driver.CreateEventA(FALSE, FALSE);
  }
  void TearDown() override {
    driver.CloseHandle(handle);
    driver.CloseHandle(overlapped.hEvent);
  }

  FakeSerialDriver driver;
  HANDLE handle = InvalidHandle();
  OVERLAPPED overlapped{};
  DWORD word = 0;
};

TEST_F(FakeDriverTest, WaitStaysPendingUntilInputArrives) {
  ASSERT_TRUE(driver.SetCommMask(handle, EV_RXCHAR));
  ASSERT_FALSE(driver.WaitCommEvent(handle, &word, &overlapped));
  ASSERT_EQ(driver.GetLastError(), ERROR_IO_PENDING);
  DWORD transferred = 0;
  EXPECT_FALSE(driver.GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
  EXPECT_EQ(driver.GetLastError(), ERROR_IO_INCOMPLETE);

  driver.InjectInput("COM3", "hi");
  EXPECT_EQ(driver.WaitForSingleObject(overlapped.hEvent, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(driver.GetOverlappedResult(handle, &overlapped, &transferred, FALSE));
  EXPECT_EQ(word, EV_RXCHAR);
  EXPECT_EQ(driver.InputQueued("COM3"), 2u);
}

TEST_F(FakeDriverTest, EventsBetweenWaitsAreKeptAndMaskChangesReleaseAWait) {
  ASSERT_TRUE(driver.SetCommMask(handle, EV_RXCHAR | EV_TXEMPTY));
  driver.InjectInput("COM3", "x");
  DWORD written = 0;
  driver.WriteFile(handle, "y", 1, &written, nullptr);
  ASSERT_TRUE(driver.WaitCommEvent(handle, &word, &overlapped));  // at once
  EXPECT_EQ(word, EV_RXCHAR | EV_TXEMPTY);

  ASSERT_FALSE(driver.WaitCommEvent(handle, &word, &overlapped));
  ASSERT_TRUE(driver.SetCommMask(handle, EV_RXCHAR));
  DWORD transferred = 0;
  EXPECT_TRUE(driver.GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
  EXPECT_EQ(word, 0u);

  driver.RaiseLineError("COM3", CE_FRAME);  // EV_ERR is not in the mask: no event kept
  EXPECT_FALSE(driver.WaitCommEvent(handle, &word, &overlapped));
  driver.CloseHandle(handle);  // closing ends the pending wait
  EXPECT_FALSE(driver.GetOverlappedResult(handle, &overlapped, &transferred, TRUE));
  EXPECT_EQ(driver.GetLastError(), ERROR_OPERATION_ABORTED);
  handle = InvalidHandle();
}

TEST_F(FakeDriverTest, PortIsExclusiveAndMissingPortsFail) {
  EXPECT_EQ(driver.CreateFileA("COM3", 0, 0, 0, 0), InvalidHandle());
  EXPECT_EQ(driver.GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(driver.CreateFileA("COM4", 0, 0, 0, 0), InvalidHandle());
  EXPECT_EQ(driver.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(driver.SysErrorMessage(ERROR_FILE_NOT_FOUND),
            "The system cannot find the file specified");
}

TEST_F(FakeDriverTest, CallsFailOnDemandAndWriteHookSeesCompletedWrites) {
  std::string seen;
  driver.SetWriteHook("COM3", [&](std::string_view bytes) { seen += bytes; });
  driver.FailCalls(FakeCall::kWriteFile, ERROR_GEN_FAILURE, 1);
  DWORD written = 0;
  EXPECT_FALSE(driver.WriteFile(handle, "ab", 2, &written, nullptr));
  EXPECT_EQ(driver.GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_TRUE(driver.WriteFile(handle, "cd", 2, &written, nullptr));
  EXPECT_EQ(seen, "cd");
  EXPECT_EQ(driver.Output("COM3"), "cd");

  driver.StallWrites("COM3", true);
  OVERLAPPED write{};
  EXPECT_FALSE(driver.WriteFile(handle, "ef", 2, &written, &write));
  EXPECT_EQ(driver.GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(seen, "cd");
  driver.StallWrites("COM3", false);
  DWORD transferred = 0;
  EXPECT_TRUE(driver.GetOverlappedResult(handle, &write, &transferred, TRUE));
  EXPECT_EQ(transferred, 2u);
  EXPECT_EQ(seen, "cdef");
}

TEST_F(FakeDriverTest, CancelIoOnlyCancelsTheCallingThreadsOperations) {
  ASSERT_TRUE(driver.SetCommMask(handle, EV_RXCHAR));
  ASSERT_FALSE(driver.WaitCommEvent(handle, &word, &overlapped));
  std::thread([&] { driver.CancelIo(handle); }).join();
  EXPECT_TRUE(driver.Info("COM3").wait_pending);
  driver.CancelIo(handle);
  EXPECT_FALSE(driver.Info("COM3").wait_pending);
}

TEST_F(FakeDriverTest, UnpluggedPortFailsEveryCall) {
  ASSERT_TRUE(driver.SetCommMask(handle, EV_RXCHAR));
  ASSERT_FALSE(driver.WaitCommEvent(handle, &word, &overlapped));
  driver.Unplug("COM3");
  EXPECT_EQ(driver.WaitForSingleObject(overlapped.hEvent, 20000), WAIT_OBJECT_0);
  EXPECT_FALSE(driver.WaitCommEvent(handle, &word, &overlapped));
  EXPECT_EQ(driver.GetLastError(), ERROR_BAD_COMMAND);
  DWORD errors = 0;
  EXPECT_FALSE(driver.ClearCommError(handle, &errors, nullptr));
}

}  // namespace
}  // namespace veldoran::win
