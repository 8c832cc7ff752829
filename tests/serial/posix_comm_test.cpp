// The port component on the termios backend against real pseudo-terminals.
#include <gtest/gtest.h>
#include <termios.h>

#include <filesystem>
#include <iterator>
#include <thread>

#include "platform/posix/posix_serial.h"
#include "pty_pair.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

using veldoran::testing::PtyPair;
using veldoran::testing::TempPortMap;

class PosixPort : public ::testing::Test {
 protected:
  PosixPort() {
    map.Link(5, pty.SlavePath());
    comm = std::make_unique<TspComm>(nullptr, main, api);
    comm->SetComPortNo(5);
    comm->SetBaudRate(57600);
    comm->SetStreamProtocol(spNone);
    comm->SetBufferInSize(20000);
  }
  ~PosixPort() override {
    comm.reset();
    main.ProcessUntil([] { return detail::RunningCommThreads() == 0; });
  }

  TempPortMap map;
  PtyPair pty;
  std::shared_ptr<win::SerialApi> api = std::make_shared<win::PosixSerialApi>();
  LoopMainThread main;
  std::unique_ptr<TspComm> comm;
};

TEST_F(PosixPort, OpensTheMappedDeviceWithItsSettings) {
  comm->SetStopBits(sbTwo);
  comm->SetActive(true);
  ASSERT_TRUE(comm->Active());
  termios tio{};
  ASSERT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), speed_t{B57600});
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
  comm->SetStreamProtocol(spHardware);  // applies at once while open
  ASSERT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
}

TEST_F(PosixPort, SendsAndReceivesInOrderInFewLargeBlocks) {
  std::string received;
  int blocks = 0;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
    ++blocks;
  });
  comm->SetActive(true);
  comm->SendString("5\r");
  EXPECT_EQ(pty.Read(2), "5\r");

  std::string data(16384, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 23);
  // One write from the other side; the line holds only a few kilobytes, so it is written
  // while the main thread takes the blocks.
  std::thread writer([&] { pty.Write(data); });
  const bool all = main.ProcessUntil([&] { return received.size() >= data.size(); });
  writer.join();
  ASSERT_TRUE(all);
  EXPECT_EQ(received, data);
  EXPECT_LE(blocks, 64) << "received byte by byte rather than in blocks";
}

TEST_F(PosixPort, UnpluggedAdapterShutsThePortDown) {
  int closed = 0;
  comm->SetOnClose([&](TObject*) { ++closed; });
  comm->SetOnAfterReceive([](TObject*, void*, std::uint32_t) {});
  comm->SetActive(true);
  pty.CloseAll();
  ASSERT_TRUE(main.ProcessUntil([&] { return !comm->Active(); }));
  EXPECT_EQ(closed, 1);
  ASSERT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
  comm->SendString("0\r");  // vanishes on the closed port
}

// Descriptors this process has open.
long OpenDescriptors() {
  return static_cast<long>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                         std::filesystem::directory_iterator()));
}

// Open/receive/close cycles, and a port shut down as broken, leave no descriptor behind once
// the worker threads have ended.
TEST_F(PosixPort, OpenAndCloseLeaveNoDescriptorsBehind) {
  std::size_t received = 0;
  const auto fresh_port = [&](int number) {
    comm = std::make_unique<TspComm>(nullptr, main, api);
    comm->SetComPortNo(static_cast<std::uint16_t>(number));
    comm->SetOnAfterReceive([&](TObject*, void*, std::uint32_t count) { received += count; });
  };
  fresh_port(5);
  PtyPair other;
  map.Link(6, other.SlavePath());
  const long before = OpenDescriptors();
  for (int cycle = 0; cycle < 20; ++cycle) {
    comm->SetActive(true);
    pty.Write("x");
    ASSERT_TRUE(main.ProcessUntil([&] { return received > static_cast<std::size_t>(cycle); }));
    if (cycle % 2 == 0) {
      comm->SetActive(false);
    } else {
      fresh_port(5);  // the open one is destroyed
    }
  }
  fresh_port(6);
  comm->SetActive(true);
  other.CloseAll();
  ASSERT_TRUE(main.ProcessUntil([&] { return !comm->Active(); }));
  ASSERT_TRUE(main.ProcessUntil([] { return detail::RunningCommThreads() == 0; }));
  EXPECT_EQ(OpenDescriptors(), before - 2);  // the two the other line's ends held
}

// Reopened right after a close, while the old port's threads may still be finishing, the port
// gets everything sent to it from then on.
TEST_F(PosixPort, ReopenedRightAfterACloseGetsAllItsInput) {
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
    pty.Write(message);
    ASSERT_TRUE(main.ProcessUntil([&] { return received.size() >= message.size(); }))
        << "cycle " << cycle << ": " << received;
    EXPECT_EQ(received, message);
    comm->SetActive(false);
  }
}

TEST_F(PosixPort, OpenErrorsCarryTheSystemText) {
  comm->SetActive(true);
  TspComm second(nullptr, main, api);
  second.SetComPortNo(5);
  try {
    second.SetActive(true);
    FAIL() << "second open succeeded";
  } catch (const ESerialError& e) {
    EXPECT_EQ(std::string(e.what()), "Device \"COM5\" Open Error !!!\rDevice or resource busy");
  }
  second.SetComPortNo(251);
  try {
    second.SetActive(true);
    FAIL() << "missing port opened";
  } catch (const ESerialError& e) {
    EXPECT_EQ(std::string(e.what()), "Device \"COM251\" Open Error !!!\rNo such file or directory");
  }
  EXPECT_FALSE(second.Active());
}

TEST_F(PosixPort, StalledWriteEndsAtItsTimeoutAndIsReported) {
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
  pty.Write("\x13M");  // XOFF, then a marker that shows the XOFF was taken
  ASSERT_TRUE(main.ProcessUntil([&] { return marker == "M"; }));
  comm->SendString("hello\r");  // 6 bytes: given 120 ms
  EXPECT_EQ(errors, std::vector<std::uint32_t>{win::ERROR_TIMEOUT});
  EXPECT_TRUE(comm->Active());
  pty.Write("\x11");  // XON
  comm->SendString("ok");
  EXPECT_EQ(errors.size(), 1u);
}

// A pseudo-terminal has no modem lines: both device checks fail cleanly for want of DSR, and
// the line keeps its settings and the port goes on receiving.
TEST_F(PosixPort, DeviceChecksOnALineWithoutModemLinesFailCleanly) {
  std::string received;
  comm->SetOnAfterReceive([&](TObject*, void* buffer, std::uint32_t count) {
    received.append(static_cast<const char*>(buffer), count);
  });
  comm->SetActive(true);
  termios before{};
  ASSERT_EQ(::tcgetattr(pty.Slave(), &before), 0);
  for (int check = 0; check < 2; ++check) {
    try {
      if (check == 0) {
        comm->TestConnection();
      } else {
        std::string id;
        comm->ReadPnPId(id);
      }
      FAIL() << "no error";
    } catch (const ESerialError& e) {
      EXPECT_STREQ(e.what(), "Device Connect Initialization Error");
    }
  }
  EXPECT_TRUE(comm->Active());
  termios after{};
  ASSERT_EQ(::tcgetattr(pty.Slave(), &after), 0);
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  pty.Write("still here");
  ASSERT_TRUE(main.ProcessUntil([&] { return received == "still here"; }));
}

}  // namespace
}  // namespace veldoran::serial
