// Sending, purging, line control, communication errors and trace lines, on the fake driver.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using testing::FakePortTest;
using testing::RecordingLog;
using win::DWORD;

class Sending : public FakePortTest {
 protected:
  Sending() {
    comm->SetLog(&log);
    comm->SetOnCommError(
        [this](TObject*, std::uint32_t code, std::uint32_t sys, TComStateFlags state, bool& flush) {
          errors.push_back({code, sys, state.ToBits()});
          flush = flush_on_error;
        });
  }
  struct Error {
    std::uint32_t code, sys, state;
    bool operator==(const Error&) const = default;
  };
  RecordingLog log;
  std::vector<Error> errors;
  bool flush_on_error = false;
};

TEST_F(Sending, ClosedPortOrEmptyTextSendsNothing) {
  EXPECT_NO_THROW(comm->SendString("0\r"));
  comm->SendChar('x');
  comm->SendData("abc", 3);
  comm->PurgeAll();
  comm->SetDTR(true);
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(log.Lines().empty());

  Open();
  const std::size_t lines = log.Lines().size();
  comm->SendString("");
  EXPECT_EQ(driver->Output("COM3"), "");
  EXPECT_EQ(log.Lines().size(), lines);
}

TEST_F(Sending, BytesGoOutAsTheyAreWithTraceLines) {
  Open();
  const std::string bytes("4\xA5\x00\xB9\r", 5);
  comm->SendString(bytes);
  comm->SendChar('A');
  comm->SendData("xyz", 3);
  EXPECT_EQ(driver->Output("COM3"), bytes + "Axyz");
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "2 spComm: Try to send string 4\xA5 ...");  // the text up to its NUL
  EXPECT_EQ(lines[2], "2 spComm: Try to send char 41h ...");
  EXPECT_EQ(lines[3], "2 spComm: Try to send the data with 3 length ...");
  EXPECT_EQ(lines[4], "2 spComm: ... the data transmittion is OK!");
  EXPECT_TRUE(errors.empty());
}

TEST_F(Sending, FailedWriteGoesToCommErrorAndMayPurge) {
  Open();
  driver->FailCalls(win::FakeCall::kWriteFile, win::ERROR_GEN_FAILURE);
  comm->SendString("0\r");
  EXPECT_EQ(errors, (std::vector<Error>{{0, win::ERROR_GEN_FAILURE, 0}}));
  EXPECT_EQ(log.Lines().back(), "1 spComm: Communication Error 0:31");
  EXPECT_TRUE(driver->Info("COM3").purges.empty());
  EXPECT_TRUE(comm->Active());

  flush_on_error = true;
  driver->FailCalls(win::FakeCall::kWriteFile, win::ERROR_GEN_FAILURE);
  comm->SendData("x", 1);
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_EQ(driver->Info("COM3").purges, std::vector<DWORD>{0x0F});
}

TEST_F(Sending, SecondSendDataWaitsForThePendingOne) {
  Open();
  driver->StallWrites("COM3", true);
  static const char kFirst[] = "first-";
  static const char kSecond[] = "second";
  comm->SendData(kFirst, 6);  // returns at once, pending
  ASSERT_EQ(driver->Info("COM3").pending_writes, 1u);
  // The second send must wait for the first: while it does, the driver never holds two.
  // (The pause only gives the second send time to start; a slow start weakens, never fails,
  // the check.)
  std::size_t pending_while_waiting = 0;
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pending_while_waiting = driver->Info("COM3").pending_writes;
    driver->StallWrites("COM3", false);
  });
  comm->SendData(kSecond, 6);
  releaser.join();
  EXPECT_EQ(pending_while_waiting, 1u);
  EXPECT_EQ(driver->Output("COM3"), "first-second");
  EXPECT_TRUE(errors.empty());
}

TEST_F(Sending, PurgesAndLineControl) {
  std::vector<TTraceStates> traced;
  comm->SetOnTraceState([&](TObject*, TTraceStates event) { traced.push_back(event); });
  Open();
  traced.clear();
  comm->PurgeInput();
  comm->PurgeOutput();
  comm->PurgeAll();
  EXPECT_EQ(driver->Info("COM3").purges, (std::vector<DWORD>{0x0A, 0x05, 0x0F}));
  comm->SetDTR(false);
  comm->SetRTS(true);
  comm->SetRTS(false);
  comm->SetDTR(true);
  EXPECT_EQ(driver->Info("COM3").escapes,
            (std::vector<DWORD>{win::CLRDTR, win::SETRTS, win::CLRRTS, win::SETDTR}));
  EXPECT_EQ(traced, (std::vector<TTraceStates>{TTraceStates{tsDSR}, TTraceStates{tsCTS},
                                               TTraceStates{tsCTS}, TTraceStates{tsDSR}}));
}

TEST_F(Sending, Rs485WithSoftwareRtsRaisesRtsAroundEachSend) {
  ASSERT_TRUE(comm->SoftwareRts());
  comm->SetRS485Mode(true);
  Open();
  EXPECT_EQ(driver->Info("COM3").dcb.Flags & 0x3000u, 0x3000u);  // RTS_CONTROL_TOGGLE
  EXPECT_EQ(driver->Info("COM3").mask, win::EV_RXCHAR | win::EV_TXEMPTY);
  bool rts_when_written = false;
  driver->SetWriteHook("COM3",
                       [&](std::string_view) { rts_when_written = driver->Info("COM3").rts; });
  comm->SendString("2FF\r");
  EXPECT_TRUE(rts_when_written);
  ASSERT_TRUE(main.ProcessUntil([&] { return !driver->Info("COM3").rts; }));
  EXPECT_EQ(driver->Info("COM3").escapes, (std::vector<DWORD>{win::SETRTS, win::CLRRTS}));

  // A communication error drops RTS too.
  driver->FailCalls(win::FakeCall::kWriteFile, win::ERROR_GEN_FAILURE);
  comm->SendString("x");
  EXPECT_FALSE(driver->Info("COM3").rts);
}

TEST_F(Sending, DriverThatTogglesRtsItselfIsLeftToIt) {
  auto toggling = std::make_shared<win::FakeSerialDriver>();
  toggling->SetDriverTogglesRts(true);
  toggling->AddPort("COM1");
  TspComm port(nullptr, main, toggling);
  EXPECT_FALSE(port.SoftwareRts());
  port.SetRS485Mode(true);
  port.SetActive(true);
  port.SendString("x");
  EXPECT_TRUE(toggling->Info("COM1").escapes.empty());
  EXPECT_EQ(toggling->Info("COM1").mask, win::EV_RXCHAR);
}

TEST(FileLog, WritesTimestampedLines) {
  char path[] = "/tmp/veldoran-log-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  {
    TspFileLog log(path);
    log.WriteText(1, "spComm: Communication Error 0:5");
    log.WriteEmpty();
    log.WriteFormat(2, "n=%d", 7);
  }
  std::ifstream in(path);
  std::string first, second, third;
  std::getline(in, first);
  std::getline(in, second);
  std::getline(in, third);
  EXPECT_TRUE(std::regex_match(
      first,
      std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[1\] spComm: Communication Error 0:5)")))
      << first;
  EXPECT_EQ(second, "");
  EXPECT_TRUE(std::regex_search(third, std::regex(R"(\[2\] n=7$)"))) << third;
  ::unlink(path);

  EXPECT_THROW(TspFileLog("/nonexistent-dir/x.log"), std::runtime_error);
}

}  // namespace
}  // namespace veldoran::serial
