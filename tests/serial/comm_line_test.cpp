// The port component on a real terminal line, the same test bodies for both backends: termios
// on POSIX, the Win32 API under Wine (tests/line).
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <thread>

#include "line.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

using veldoran::testing::Line;
using veldoran::testing::OnWindows;
using veldoran::testing::OnWine;

class LinePort : public ::testing::Test {
 protected:
  LinePort() {
    comm = std::make_unique<TspComm>(nullptr, main, api);
    comm->SetComPortNo(static_cast<std::uint16_t>(line.Number()));
    comm->SetBaudRate(57600);
    comm->SetStreamProtocol(spNone);
    comm->SetBufferInSize(20000);
  }
  ~LinePort() override {
    comm.reset();
    main.ProcessUntil([] { return detail::RunningCommThreads() == 0; });
  }

  Line line;
  std::shared_ptr<win::SerialApi> api = veldoran::testing::LineSerialApi();
  LoopMainThread main;
  std::unique_ptr<TspComm> comm;
};

TEST_F(LinePort, OpensTheMappedDeviceWithItsSettings) {
  comm->SetStopBits(sbTwo);
  comm->SetActive(true);
  ASSERT_TRUE(comm->Active());
  auto settings = line.Settings();
  EXPECT_EQ(settings.baud, 57600u);
  EXPECT_TRUE(settings.two_stop_bits);
  EXPECT_FALSE(settings.rts_cts);
  EXPECT_FALSE(settings.xon_xoff_out || settings.xon_xoff_in);
  comm->SetStreamProtocol(spHardware);  // applies at once while open
  EXPECT_TRUE(line.Settings().rts_cts);
}

TEST_F(LinePort, SendsAndReceivesInOrderInFewLargeBlocks) {
  std::string received;
  int blocks = 0;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
    ++blocks;
  });
  comm->SetActive(true);
  comm->SendString("5\r");
  EXPECT_EQ(line.Read(2), "5\r");

  std::string data(16384, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 23);
  // One write from the other side; the line holds only a few kilobytes, so it is written
  // while the main thread takes the blocks.
  std::thread writer([&] { line.Write(data); });
  const bool all = main.ProcessUntil([&] { return received.size() >= data.size(); });
  writer.join();
  ASSERT_TRUE(all);
  EXPECT_EQ(received, data);
  EXPECT_LE(blocks, 64) << "received byte by byte rather than in blocks";
}

TEST_F(LinePort, UnpluggedAdapterShutsThePortDown) {
  if (OnWine()) {
    GTEST_SKIP() << "Wine ends each wait on a hung-up terminal as cancelled, as a mask change "
                    "does, so nothing tells the component the device is gone";
  }
  int closed = 0;
  comm->SetOnClose([&](TObject*) { ++closed; });
  comm->SetOnAfterReceive([](TObject*, void*, std::uint32_t) {});
  comm->SetActive(true);
  line.HangUp();
  ASSERT_TRUE(main.ProcessUntil([&] { return !comm->Active(); }));
  EXPECT_EQ(closed, 1);
  ASSERT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
  comm->SendString("0\r");  // vanishes on the closed port
}

// Reopened right after a close, while the old port's threads may still be finishing, the port
// gets everything sent to it from then on.
TEST_F(LinePort, ReopenedRightAfterACloseGetsAllItsInput) {
  std::string received;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
  });
  for (int cycle = 0; cycle < 100; ++cycle) {
    received.clear();
    comm->SetActive(true);
    std::string message = "S";
    message += std::to_string(cycle);
    message += '\r';
    line.Write(message);
    ASSERT_TRUE(main.ProcessUntil([&] { return received.size() >= message.size(); }))
        << "cycle " << cycle << ": " << received;
    EXPECT_EQ(received, message);
    comm->SetActive(false);
  }
}

TEST_F(LinePort, OpenErrorsCarryTheSystemText) {
  comm->SetActive(true);
  TspComm second(nullptr, main, api);
  second.SetComPortNo(static_cast<std::uint16_t>(line.Number()));
  const std::string device = "Device \"" + line.PortName() + "\" Open Error !!!\r";
  if (OnWine()) {
    // Wine opens a terminal twice; a busy port cannot be made there.
    second.SetActive(true);
    second.SetActive(false);
  } else {
    try {
      second.SetActive(true);
      FAIL() << "second open succeeded";
    } catch (const ESerialError& e) {
      EXPECT_EQ(std::string(e.what()),
                device + (OnWindows() ? "Access is denied" : "Device or resource busy"));
    }
  }
  second.SetComPortNo(251);
  try {
    second.SetActive(true);
    FAIL() << "missing port opened";
  } catch (const ESerialError& e) {
    EXPECT_EQ(std::string(e.what()), "Device \"COM251\" Open Error !!!\r" +
                                         api->SysErrorMessage(win::ERROR_FILE_NOT_FOUND));
  }
  EXPECT_FALSE(second.Active());
}

TEST_F(LinePort, StalledWriteEndsAtItsTimeoutAndIsReported) {
  std::vector<std::uint32_t> errors;
  comm->SetOnCommError([&](TObject*, std::uint32_t code, std::uint32_t sys, TComStateFlags, bool&) {
    errors.push_back(code * 100000 + sys);
  });
  comm->SetStreamProtocol(spXonXoff);
  comm->SetTimeoutWrite(20);
  std::string marker;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    marker.append(static_cast<const char*>(buffer), count);
  });
  comm->SetActive(true);
  line.Write("\x13M");  // XOFF, then a marker that shows the XOFF was taken
  ASSERT_TRUE(main.ProcessUntil([&] { return marker == "M"; }));
  comm->SendString("hello\r");  // 6 bytes: given 120 ms
  EXPECT_EQ(errors, std::vector<std::uint32_t>{win::ERROR_TIMEOUT});
  EXPECT_TRUE(comm->Active());
  line.Write("\x11");  // XON
  comm->SendString("ok");
  EXPECT_EQ(errors.size(), 1u);
}

// A SendData much larger than the line takes stays in flight (nobody reads the far end) when
// the component is destroyed: the destruction cancels it and waits for it, so the driver does
// not write its end into freed memory, and the line serves the next component.
TEST_F(LinePort, DestroyedWhileASendDataIsInFlight) {
  if (!OnWindows()) GTEST_SKIP() << "a POSIX write is done before SendData returns";
  comm->SetActive(true);
  const std::string block(1 << 20, 'x');
  comm->SendData(block.data(), static_cast<std::uint32_t>(block.size()));
  const auto start = std::chrono::steady_clock::now();
  comm.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  while (!line.Read(65536, std::chrono::milliseconds(200)).empty()) {
  }

  comm = std::make_unique<TspComm>(nullptr, main, api);
  comm->SetComPortNo(static_cast<std::uint16_t>(line.Number()));
  comm->SetActive(true);
  comm->SendString("0\r");
  EXPECT_EQ(line.Read(2), "0\r");
}

// A terminal line without modem lines (a pseudo-terminal; under Wine, one whose modem status
// cannot be read): both device checks fail cleanly for want of DSR, the line keeps its
// settings and the port goes on receiving.
TEST_F(LinePort, DeviceChecksWithoutModemLinesFailCleanly) {
  std::string received;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
  });
  comm->SetStopBits(sbTwo);
  comm->SetActive(true);
  const auto before = line.Settings();
  for (int check = 0; check < 2; ++check) {
    try {
      std::string id;
      check == 0 ? comm->TestConnection() : comm->ReadPnPId(id);
      ADD_FAILURE() << "no error from check " << check;
    } catch (const ESerialError& e) {
      EXPECT_STREQ(e.what(), "Device Connect Initialization Error");
    }
  }
  EXPECT_TRUE(comm->Active());
  const auto after = line.Settings();
  EXPECT_EQ(after.baud, before.baud);
  EXPECT_EQ(after.two_stop_bits, before.two_stop_bits);
  EXPECT_EQ(after.rts_cts, before.rts_cts);
  line.Write("still here");
  ASSERT_TRUE(main.ProcessUntil([&] { return received == "still here"; }));
}

}  // namespace
}  // namespace veldoran::serial
